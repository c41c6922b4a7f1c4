// [PHONE] Library and Isolate: the file of the phone library the station loads at start-up,
// and whether it runs in a process of its own.
#pragma once

#include <QString>

namespace kestrel::config {

// The file named by [PHONE] Library of the station folder's Kestrel.ini: a relative path is
// taken from the station folder; a bare file name that is not there is left to the system's
// loader (its library folders). Empty when the key is absent or empty (Kestrel's own library).
// Reads the one key (two with PhoneLibrarySettings) and nothing else; writes nothing.
QString PhoneLibrarySetting(const QString& stationFolder);

// Both keys from one read of the file: the library as above, and [PHONE] Isolate, whose nonzero
// value runs the library in a host process of its own (kestrel-phone-host) behind the
// phone-library proxy (off when the key is absent, empty or not a number).
struct PhoneLibraryChoice {
  QString file;
  bool isolate = false;
};
PhoneLibraryChoice PhoneLibrarySettings(const QString& stationFolder);

}  // namespace kestrel::config
