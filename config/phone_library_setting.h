// [PHONE] Library: the file of the phone library the station loads at start-up.
#pragma once

#include <QString>

namespace kestrel::config {

// The file named by [PHONE] Library of the station folder's Kestrel.ini: a relative path is
// taken from the station folder; a bare file name that is not there is left to the system's
// loader (its library folders). Empty when the key is absent or empty (Kestrel's own library).
// Reads the one key and nothing else; writes nothing.
QString PhoneLibrarySetting(const QString& stationFolder);

}  // namespace kestrel::config
