// The station's command line, read before anything else starts: --station-dir DIR (or
// --station-dir=DIR), --help (-h) and --version, in any order. --help and --version count
// wherever they stand; an unknown option, a missing or empty folder or a stray word refuses
// the start (exit code 2) before the phone library or the window is touched.
#pragma once

#include <QString>
#include <QStringList>

namespace kestrel::app {

struct StationArguments {
  enum class Action {
    Run,      // open the station
    Help,     // print the help text
    Version,  // print the versions
    Refuse,   // print `error` and the usage, exit code 2
  };
  Action action = Action::Run;
  QString stationDir;  // empty: not given
  QString error;       // for Refuse: what is wrong, naming the argument
};

// `arguments` as the process got them, the program first.
StationArguments ParseStationArguments(const QStringList& arguments);

}  // namespace kestrel::app
