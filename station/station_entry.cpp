// The station window's modal run.
#include "station/station_entry.h"

#include "station/station_controller.h"

namespace kestrel::station {

int RunStationWindow(const StationStartup& startup) {
  StationController window(startup);
  window.Initialise();
  return window.exec();
}

}  // namespace kestrel::station
