// Helpers shared by the tests.
#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace kestrel::testing {

// A fresh station folder for one test case, removed afterwards.
class StationDir {
 public:
  StationDir();
  QString path() const { return dir_.path(); }
  QString File(const QString& name) const { return dir_.filePath(name); }
  // Writes `content` (UTF-8) to a file of the folder and returns its path.
  QString Write(const QString& name, const QByteArray& content) const;
  QByteArray Read(const QString& name) const;

 private:
  QTemporaryDir dir_;
};

// The folder holding the built executables (kestrel, kestrel-cli, the simulators).
QString BinDir();
// A built executable of the project by name.
QString BinPath(const QString& name);
// The source tree.
QString SourceDir();

}  // namespace kestrel::testing
