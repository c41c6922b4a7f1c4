// What must hold of a station folder after the station was killed at any moment and before it
// starts again: the settings file and the address files parse whole, with every line the
// station does not own as it was; IMEI.txt has no torn line and no IMEI twice, and holds
// every phone the station showed as passed; DefaultIMEI lies past every recorded IMEI. With
// the database store the same holds of IMEI.mdb's rows, and the database is whole.
#pragma once

#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace kestrel::testing::crash {

// The folder the harness prepares: Kestrel.ini, bt.ini, wifi.ini, the phone on COM<port>.
struct StationPlan {
  QString folder;
  int port = 5;
  std::uint64_t firstBody = 35123456000001ULL;  // DefaultIMEI at the start
  std::uint64_t btStart = 0x001122330000ULL;
  std::uint64_t btEnd = 0x00112233FFFFULL;
  std::uint64_t wifiStart = 0x00037F000000ULL;
  std::uint64_t wifiEnd = 0x00037F00FFFFULL;
  bool database = false;  // IMEI.mdb (SaveToTxt 0) rather than IMEI.txt
};

// Writes the three files of a fresh station folder.
bool PrepareStation(const StationPlan& plan);

// What the harness knows from the runs so far.
struct History {
  QSet<QString> shownPassed;  // IMEIs of phones the station showed as passed
};

struct CheckResult {
  QStringList problems;    // empty: all held
  int recordedPhones = 0;  // lines of IMEI.txt or rows of IMEI.mdb
  std::uint64_t defaultImei = 0;
  QSet<QString> recordedImeis;
};

CheckResult CheckStation(const StationPlan& plan, const History& history);

}  // namespace kestrel::testing::crash
