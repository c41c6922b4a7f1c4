// The station folder: where Kestrel.ini, IMEI.txt, IMEI.mdb, Log/ and ports/ live.
#pragma once

#include <QString>
#include <QStringList>

namespace kestrel::config {

// The first that applies:
//  1. `--station-dir DIR` (or `--station-dir=DIR`) among the arguments;
//  2. the environment variable KESTREL_STATION_DIR;
//  3. the running executable's folder, when it holds a Kestrel.ini or is writable (a build
//     tree, a station unpacked into a folder of its own);
//  4. otherwise (an installed station, whose executable's folder is read-only)
//     UserStationFolder(), created with a starter Kestrel.ini when it has none.
// The result is an absolute path without a trailing separator.
QString ResolveStationFolder(const QStringList& arguments);

// The same rule with the executable's folder given (steps 3 and 4 look at it).
QString ResolveStationFolder(const QStringList& arguments, const QString& executableFolder);

// The same rule without step 4's side effect: the folder is named, never made.
QString FindStationFolder(const QStringList& arguments, const QString& executableFolder);

// $XDG_DATA_HOME/kestrel/station; without XDG_DATA_HOME (or with a relative one, which does
// not count) $HOME/.local/share/kestrel/station.
QString UserStationFolder();

// Creates `folder` when missing and writes the starter Kestrel.ini into it when it has none.
// False when the folder or the file could not be made.
bool PrepareUserStationFolder(const QString& folder);

// The starter Kestrel.ini: normal mode on COM1, typed IMEI1, passed phones saved to IMEI.txt
// and checked against it.
QByteArray StarterSettingsText();

// Removes `--station-dir DIR` / `--station-dir=DIR` from the arguments.
QStringList WithoutStationDirArgument(const QStringList& arguments);

// The folder of the running executable (where the language module and help page live).
QString ExecutableFolder();

}  // namespace kestrel::config
