#include "config/phone_library_setting.h"

#include "config/ini_document.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <optional>

namespace kestrel::config {

PhoneLibraryChoice PhoneLibrarySettings(const QString& stationFolder) {
  const QDir folder(stationFolder);
  // One read of the file for both keys (an IniFile reads it again for each key).
  QFile ini(folder.filePath(QStringLiteral("Kestrel.ini")));
  const IniDocument doc =
      ini.open(QIODevice::ReadOnly) ? IniDocument::Parse(ini.readAll()) : IniDocument();
  PhoneLibraryChoice choice;
  const std::optional<QString> isolate =
      doc.Value(QStringLiteral("PHONE"), QStringLiteral("Isolate"));
  choice.isolate = isolate && ParseProfileInt(*isolate) != 0;
  const QString file =
      doc.Value(QStringLiteral("PHONE"), QStringLiteral("Library")).value_or(QString()).trimmed();
  if (file.isEmpty()) return choice;
  const QString inFolder = QDir::cleanPath(folder.absoluteFilePath(file));
  // A bare file name that is not in the station folder goes to the system's loader, which
  // looks in the library folders.
  choice.file = !file.contains(QLatin1Char('/')) && !QFileInfo::exists(inFolder) ? file : inFolder;
  return choice;
}

QString PhoneLibrarySetting(const QString& stationFolder) {
  return PhoneLibrarySettings(stationFolder).file;
}

}  // namespace kestrel::config
