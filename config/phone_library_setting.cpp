#include "config/phone_library_setting.h"

#include "config/ini_file.h"

#include <QDir>
#include <QFileInfo>

namespace kestrel::config {

QString PhoneLibrarySetting(const QString& stationFolder) {
  const QDir folder(stationFolder);
  const IniFile ini(folder.filePath(QStringLiteral("Kestrel.ini")));
  const QString file =
      ini.ReadString(QStringLiteral("PHONE"), QStringLiteral("Library"), QString()).trimmed();
  if (file.isEmpty()) return {};
  const QString inFolder = QDir::cleanPath(folder.absoluteFilePath(file));
  // A bare file name that is not in the station folder goes to the system's loader, which
  // looks in the library folders.
  if (!file.contains(QLatin1Char('/')) && !QFileInfo::exists(inFolder)) return file;
  return inFolder;
}

bool PhoneIsolateSetting(const QString& stationFolder) {
  const IniFile ini(QDir(stationFolder).filePath(QStringLiteral("Kestrel.ini")));
  return ini.ReadInt(QStringLiteral("PHONE"), QStringLiteral("Isolate"), 0) != 0;
}

}  // namespace kestrel::config
