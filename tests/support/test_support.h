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

// A reply time-out for a phone that is expected to answer: `ms` times KESTREL_TEST_TIME_SCALE
// (a whole number, 1 when unset). A sanitizer build or a machine running several tests per
// core answers late now and then; a test of a phone that does not answer (or answers later
// than its time-out on purpose) sets its own time-out and takes no scale.
int ReplyTimeoutMs(int ms);

}  // namespace kestrel::testing
