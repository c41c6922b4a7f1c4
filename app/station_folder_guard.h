// Before the station window opens: the station folder must be one the station can work in,
// and no other station may be running on it (two stations on one folder would hand out the
// same IMEIs from the same base).
#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

namespace kestrel::app {

class StationFolderGuard {
 public:
  // Exit codes of a refused start.
  static constexpr int kUnusableFolder = 2;
  static constexpr int kFolderHeld = 3;
  // The lock file in the station folder.
  static constexpr const char* kLockName = "Kestrel.lock";

  // Checks the folder and takes its lock, held until this object goes. 0 on success; else the
  // exit code, with `message` saying what is wrong and what to do. `given`: the folder was
  // named by --station-dir or KESTREL_STATION_DIR (rather than being the executable's).
  // A lock left by a station that died is taken over.
  int Acquire(const QString& folder, bool given, QString* message);

 private:
  std::unique_ptr<QLockFile> lock_;
};

}  // namespace kestrel::app
