// The station folder: where Kestrel.ini, IMEI.txt, IMEI.mdb, Log/ and ports/ live.
#pragma once

#include <QString>
#include <QStringList>

namespace kestrel::config {

// `--station-dir DIR` (or `--station-dir=DIR`) among the arguments wins, then the
// environment variable KESTREL_STATION_DIR, then the folder of the running executable.
// The result is an absolute path without a trailing separator.
QString ResolveStationFolder(const QStringList& arguments);

// Removes `--station-dir DIR` / `--station-dir=DIR` from the arguments.
QStringList WithoutStationDirArgument(const QStringList& arguments);

// The folder of the running executable (where the language module and help page live).
QString ExecutableFolder();

}  // namespace kestrel::config
