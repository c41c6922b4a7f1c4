#include "config/station_folder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QtGlobal>

#include <unistd.h>

namespace kestrel::config {
namespace {

const QString kOption = QStringLiteral("--station-dir");
const QString kSettingsFile = QStringLiteral("Kestrel.ini");

QString Clean(const QString& dir) {
  return QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
}

bool IsWritableFolder(const QString& dir) {
  return ::access(QFile::encodeName(dir).constData(), W_OK | X_OK) == 0;
}

// The rule of ResolveStationFolder; *user tells that it came to step 4.
QString Find(const QStringList& arguments, const QString& executableFolder, bool* user) {
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& a = arguments.at(i);
    if (a == kOption && i + 1 < arguments.size()) return Clean(arguments.at(i + 1));
    if (a.startsWith(kOption + QLatin1Char('='))) return Clean(a.mid(kOption.size() + 1));
  }
  const QString env = qEnvironmentVariable("KESTREL_STATION_DIR");
  if (!env.isEmpty()) return Clean(env);
  const QString exe = Clean(executableFolder);
  if (QFileInfo::exists(QDir(exe).filePath(kSettingsFile)) || IsWritableFolder(exe)) return exe;
  *user = true;
  return UserStationFolder();
}

}  // namespace

QString ExecutableFolder() {
  QString dir = QCoreApplication::applicationDirPath();
  if (dir.isEmpty()) dir = QDir::currentPath();
  return Clean(dir);
}

QString UserStationFolder() {
  QString base = qEnvironmentVariable("XDG_DATA_HOME");
  if (base.isEmpty() || QDir::isRelativePath(base)) {
    base = qEnvironmentVariable("HOME") + QStringLiteral("/.local/share");
  }
  return Clean(base + QStringLiteral("/kestrel/station"));
}

QByteArray StarterSettingsText() {
  return QByteArrayLiteral(
      "; Kestrel.ini of this station, made at its first start. The Settings and Mode dialogs\n"
      "; change it; a key that is absent takes its default.\n"
      "; Port 1 is the link ports/COM1: kestrel-cli ports assign 1 DEVICE makes it.\n"
      "[General]\n"
      "Operation Mode=1\n"
      "Port=1\n"
      "IMEI1=1\n"
      "SaveIMEI=1\n"
      "SaveToTxt=1\n"
      "CheckRepeat=1\n"
      "CheckValid=1\n"
      "[Control]\n"
      "Language=0\n");
}

bool PrepareUserStationFolder(const QString& folder) {
  if (!QDir().mkpath(folder)) return false;
  const QString path = QDir(folder).filePath(kSettingsFile);
  if (QFileInfo::exists(path)) return true;
  QSaveFile out(path);
  if (!out.open(QIODevice::WriteOnly)) return false;
  out.write(StarterSettingsText());
  return out.commit();
}

QString ResolveStationFolder(const QStringList& arguments) {
  return ResolveStationFolder(arguments, ExecutableFolder());
}

QString ResolveStationFolder(const QStringList& arguments, const QString& executableFolder) {
  bool user = false;
  const QString folder = Find(arguments, executableFolder, &user);
  // When the folder cannot be made the station still gets its path: every file it then
  // fails to read or write is reported where that file is used.
  if (user) PrepareUserStationFolder(folder);
  return folder;
}

QString FindStationFolder(const QStringList& arguments, const QString& executableFolder) {
  bool user = false;
  return Find(arguments, executableFolder, &user);
}

QStringList WithoutStationDirArgument(const QStringList& arguments) {
  QStringList out;
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& a = arguments.at(i);
    if (a == kOption) {
      ++i;
      continue;
    }
    if (a.startsWith(kOption + QLatin1Char('='))) continue;
    out << a;
  }
  return out;
}

}  // namespace kestrel::config
