// The station executable: the application object does everything.
#include "app/station_app.h"

int main(int argc, char** argv) {
  return kestrel::app::StationApp::Main(argc, argv);
}
