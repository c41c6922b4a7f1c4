#include "config/station_folder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QtGlobal>

namespace kestrel::config {
namespace {

const QString kOption = QStringLiteral("--station-dir");

QString Clean(const QString& dir) { return QDir::cleanPath(QFileInfo(dir).absoluteFilePath()); }

}  // namespace

QString ExecutableFolder() {
  QString dir = QCoreApplication::applicationDirPath();
  if (dir.isEmpty()) dir = QDir::currentPath();
  return Clean(dir);
}

QString ResolveStationFolder(const QStringList& arguments) {
  for (qsizetype i = 0; i < arguments.size(); ++i) {
    const QString& a = arguments.at(i);
    if (a == kOption && i + 1 < arguments.size()) return Clean(arguments.at(i + 1));
    if (a.startsWith(kOption + QLatin1Char('='))) return Clean(a.mid(kOption.size() + 1));
  }
  const QString env = qEnvironmentVariable("KESTREL_STATION_DIR");
  if (!env.isEmpty()) return Clean(env);
  return ExecutableFolder();
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
