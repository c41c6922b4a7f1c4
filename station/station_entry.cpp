// Minimal station window until the controller exists: the right title, nothing else.
#include "station/station_entry.h"

#include <QDialog>

namespace kestrel::station {

int RunStationWindow(const StationStartup& startup) {
  QDialog window;
  window.setWindowTitle(QStringLiteral("Kestrel R") + startup.productVersion);
  return window.exec();
}

}  // namespace kestrel::station
