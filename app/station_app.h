// The application object: the process-wide phone handle, the product version, the language
// module; runs the station window and releases the phone handle at exit.
#pragma once

#include "app/station_folder_guard.h"
#include "device/oxbind/oxbind.h"
#include "resources/language/language_module.h"

#include <QApplication>
#include <QString>

#include <memory>

namespace kestrel::app {

class StationApp : public QApplication {
 public:
  // The whole process: creates the phone handle first, before the windowing framework is
  // touched; without a handle the process ends at once (exit code 1) with nothing shown, read
  // or written. Otherwise builds the application object and runs Start.
  static int Main(int& argc, char** argv);

  // Takes over `phone` (released by Exit).
  StationApp(int& argc, char** argv, PhoneHandle phone);
  ~StationApp() override;

  StationApp(const StationApp&) = delete;
  StationApp& operator=(const StationApp&) = delete;

  // The rest of the start-up (product version, the station folder and its lock, resources),
  // then the station window's modal run; releases the phone handle and returns the exit code
  // 0 when the window has closed. A station folder that cannot be used, or that another
  // station holds, ends the start with a message and exit code 2 or 3.
  int Start();

  // Releases the phone handle (once); called by Start at its end and by the destructor.
  void Exit();

  const QString& productVersion() const { return productVersion_; }
  const resources::LanguageModule* languageModule() const { return language_.get(); }

 private:
  void ChooseResources(const QString& stationFolder, const QString& executableFolder);
  void ArmExitTimer();

  PhoneHandle phone_ = KV_INVALID_HANDLE;
  QString productVersion_;
  std::unique_ptr<resources::LanguageModule> language_;
  StationFolderGuard folderGuard_;  // the station folder's lock, held while the station runs
};

}  // namespace kestrel::app
