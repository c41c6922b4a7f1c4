// How the application object hands over to the station window.
#pragma once

#include "device/oxbind_loader/phone_api.h"

#include <QString>

namespace kestrel::station {

struct StationStartup {
  PhoneHandle phone = KV_INVALID_HANDLE;               // the process-wide phone handle
  const device::oxbind::PhoneApi* phoneApi = nullptr;  // its library's calls (never null)
  QString phoneLibrary;      // the library's name and version, for the About box
  QString productVersion;    // e.g. "1.0.0.1"; empty when unknown
  QString stationFolder;     // Kestrel.ini, IMEI.txt, IMEI.mdb, Log/, ports/
  QString executableFolder;  // language module, help page
};

// Builds the station window and runs it modally; returns when it closes.
int RunStationWindow(const StationStartup& startup);

}  // namespace kestrel::station
