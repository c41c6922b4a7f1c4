// The Bluetooth and Wi-Fi address files come from outside the station (the line's address
// plan). Any bytes as those files: the check never crashes, a range it accepts holds
// Start < End and Start <= Current <= End, and every position the station then hands out and
// writes back lies in the range and reads back from the file as written, with Start and End
// untouched. The input is the Bluetooth file, a NUL byte, then the Wi-Fi file.
#include "config/ini_file.h"
#include "config/settings_load.h"
#include "config/station_settings.h"
#include "identity/address_allocation.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace kestrel;

void Check(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "address_file_fuzz: check at line %d failed\n", line);
  std::abort();
}
#define Require(cond) Check((cond), __LINE__)

class NullSink : public config::MessageSink {
 public:
  void ShowMessage(const QString&) override { ++shown; }
  int shown = 0;
};

class NullReporter : public identity::OutcomeReporter {
 public:
  void SetResultText(const QString&) override {}
  void ShowResult(identity::ResultState) override {}
  void RecordOutcome(bool) override {}
};

QString Folder() {
  static const QString dir = [] {
    const QString d =
        QDir::tempPath() +
        QStringLiteral("/kestrel-address-fuzz-%1").arg(static_cast<long long>(::getpid()));
    QDir().mkpath(d);
    return d;
  }();
  return dir;
}

QString WriteFile(const QString& name, const QByteArray& bytes) {
  const QString path = Folder() + QLatin1Char('/') + name;
  QFile f(path);
  if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(bytes);
  return path;
}

std::uint64_t V(const QString& text) {
  return config::ParseHexAddress(text, 12);
}

void RequireInRange(const identity::AddressFileTexts& t) {
  Require(V(t.Start) <= V(t.Current) && V(t.Current) <= V(t.End));
}

// The file holds what the station believes: Start and End as read, Current as last written.
void RequireFileMatches(const QString& path, const QString& section,
                        const identity::AddressFileTexts& t) {
  const config::IniFile ini(path);
  Require(ini.ReadString(section, QStringLiteral("Start Address"), QString(), 12) == t.Start);
  Require(ini.ReadString(section, QStringLiteral("End Address"), QString(), 12) == t.End);
  Require(ini.ReadString(section, QStringLiteral("Current Address"), QString(), 12) == t.Current);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray all(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  const qsizetype nul = all.indexOf('\0');
  const QByteArray btBytes = nul < 0 ? all : all.left(nul);
  const QByteArray wifiBytes = nul < 0 ? QByteArray() : all.mid(nul + 1);

  config::StationSettings s;
  s.BT_ADDR = 1;
  s.ManualAssignBTAddr = 1;
  s.BTAddrFilePath = WriteFile(QStringLiteral("bt.ini"), btBytes);
  s.WIFI_ADDR = 1;
  s.ManualAssignWIFIAddr = 1;
  s.WIFIAddrFilePath = WriteFile(QStringLiteral("wifi.ini"), wifiBytes);
  const QString bt = QStringLiteral("BT Address");
  const QString wifi = QStringLiteral("WIFI Address");

  identity::AddressFileState state;
  NullSink sink;
  NullReporter reporter;
  const bool valid = identity::LoadAddressFiles(s, state, sink);
  Require(valid == (state.AddressConfigValid != 0));
  Require(valid == (sink.shown == 0));
  if (!valid) return 0;
  for (const auto* t : {&state.BT, &state.WIFI}) {
    Require(V(t->Start) < V(t->End));
    RequireInRange(*t);
  }
  Require(identity::CheckAddressFilePositions(s, state, sink));
  Require(sink.shown == 0);

  for (int job = 0; job < 3; ++job) {
    const QString btBefore = state.BT.Current;
    Require(identity::AdvanceAddresses(s, state, sink, reporter));
    RequireInRange(state.BT);
    RequireInRange(state.WIFI);
    Require(V(state.BT.Current) == V(btBefore) + 1 || V(state.BT.Current) == V(state.BT.Start));
    RequireFileMatches(s.BTAddrFilePath, bt, state.BT);
    RequireFileMatches(s.WIFIAddrFilePath, wifi, state.WIFI);
  }
  // A station restarted now finds the files as valid as before.
  identity::AddressFileState reloaded;
  Require(identity::LoadAddressFiles(s, reloaded, sink));
  Require(reloaded.BT.Current == state.BT.Current && reloaded.WIFI.Current == state.WIFI.Current);
  return 0;
}
