// kestrel-cli phone conformance against the simulator: every row passes on the default phone
// and the phone is left as it was found; each fault of the simulator fails exactly the rows
// it breaks, and the exit code says whether any row failed.
#include "tests/device/phone_sim_process.h"
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

#include <set>
#include <string>

using kestrel::testing::BinPath;
using kestrel::testing::PhoneSimProcess;
using kestrel::testing::StationDir;

namespace {

struct Table {
  int exitCode = -1;
  std::map<std::string, std::string> results;  // check -> pass, FAIL or skip
  std::map<std::string, QString> why;
  QString text;
};

Table Conformance(const StationDir& station, const QStringList& options, int timeoutMs,
                  QMap<QString, QString> env = {}) {
  kestrel::testing::ChildProcess p;
  Table t;
  env.insert("KESTREL_SYSTEM_PORTS", "0");
  env.insert("KESTREL_OXBIND_REPLY_TIMEOUT_MS", QString::number(timeoutMs));
  env.insert("KESTREL_OXBIND_ATTEMPTS", "1");
  if (!p.Start(BinPath("kestrel-cli"),
               QStringList{"phone", "--station-dir", station.path(), "conformance", "--port", "5"} +
                   options,
               env))
    return t;
  t.text = QString::fromLocal8Bit(p.ReadAll(30000));
  if (p.running()) return t;
  t.exitCode = p.exitCode();
  for (const QString& line : t.text.split('\n')) {
    const QStringList cells = line.split(" | ");
    if (cells.size() == 3 && cells[0].trimmed() != "check") {
      t.results[cells[0].trimmed().toStdString()] = cells[1].trimmed().toStdString();
      t.why[cells[0].trimmed().toStdString()] = cells[2].trimmed();
    }
  }
  return t;
}

// A phone that holds identities, serial numbers and a station record.
const char kHeldState[] =
    R"({"imei1":"356938035643809","imei3":"356938035643825","bt":"0011223344AA",)"
    R"("wifi":"A0B1C2D3E4F5","sn1":"SN1","cu_ref_hex":"4355310000000000000000000000000000000000)"
    R"(00000000","station_record":"S1RTVEFUSU9O","secure_boot":[1,2,3,4,5,6,7]})";

const std::set<std::string> kIrreversible{"KV_SetUsbAutoMode", "KV_EnableSecureBoot",
                                          "KV_EnterModeProcess", "KV_PowerOff"};

TEST(PhoneConformance, EachSimulatorFaultFailsTheRowsItBreaksAndOnlyThose) {
  const struct {
    const char* name;
    QStringList faults;
    QStringList options;
    std::set<std::string> failing;
    std::set<std::string> skipped = {};  // besides the irreversible calls when not allowed
    const char* state = kHeldState;
    bool restorable = true;  // a phone that misreports what it holds cannot be put back
  } cases[] = {
      {"the default phone", {}, {}, {}},
      {"a new phone (no identities to put back)",
       {},
       {},
       {},
       {"KV_FastWriteNvInfo", "KV_NvWriteDirect"},
       "{}"},
      {"irreversible calls too", {}, {"--allow-irreversible"}, {}},
      {"lower-case addresses",
       {"--lowercase-addresses"},
       {},
       {"KV_FastReadNvInfo", "KV_FastWriteNvInfo", "KV_NvWriteDirect"}},
      {"identity writes never stored",
       {"--stale-nv"},
       {},
       {"KV_FastWriteNvInfo", "KV_NvWriteDirect"}},
      {"protected IMEIs", {"--protected"}, {}, {"KV_FastWriteNvInfo", "KV_NvWriteDirect"}},
      {"serial numbers without terminator",
       {"--sn-no-nul"},
       {},
       {"KV_WriteSN 2"},
       {},
       kHeldState,
       false},
      {"unreadable station record",
       {"--record-unreadable"},
       {},
       {"KV_ReadStationRecord"},
       {"KV_WriteStationRecord"}},
      {"AP version fails", {"--fail", "KV_GetAPVersion=34"}, {}, {"KV_GetAPVersion"}},
      {"HELLO fails", {"--fail", "HELLO=34"}, {}, {"HELLO"}},
      {"one secure-boot item unwritable",
       {"--fail-when", "KV_WriteSecureBoot:3=34"},
       {},
       {"KV_WriteSecureBoot"}},
      {"power-off fails", {"--fail", "KV_PowerOff=34"}, {"--allow-irreversible"}, {"KV_PowerOff"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StationDir station;
    station.Write("phone.json", c.state);
    PhoneSimProcess sim(station.File("ports"), 5, station.File("phone.json"),
                        station.File("phone.log"));
    ASSERT_TRUE(sim.Start(c.faults));
    const QJsonObject before = sim.State();
    const Table t = Conformance(station, c.options, kestrel::testing::ReplyTimeoutMs(300));
    EXPECT_EQ(t.exitCode, c.failing.empty() ? 0 : 1) << t.text.toStdString();
    EXPECT_EQ(t.results.size(), 37u) << t.text.toStdString();
    std::set<std::string> failed, skipped = c.skipped;
    if (c.options.isEmpty()) skipped.insert(kIrreversible.begin(), kIrreversible.end());
    std::set<std::string> wasSkipped;
    for (const auto& [check, result] : t.results) {
      if (result == "FAIL") failed.insert(check);
      if (result == "skip") wasSkipped.insert(check);
    }
    EXPECT_EQ(failed, c.failing) << t.text.toStdString();
    EXPECT_EQ(wasSkipped, skipped);
    sim.Stop();
    const QJsonObject after = sim.State();
    if (c.options.isEmpty()) {
      if (c.restorable) {
        EXPECT_EQ(after, before) << "the phone was not left as it was found";
      }
    } else {
      EXPECT_EQ(after["powered_off"].toBool(), c.failing.count("KV_PowerOff") == 0);
      EXPECT_TRUE(after["secure_boot_enabled"].toBool());
      EXPECT_FALSE(after["usb_auto_mode"].toBool());
      EXPECT_EQ(after["boot_mode"].toInt(), 10);
    }
  }
}

// A phone that answers after the library's time-out: its first call times out and the
// time-out row fails. (Later calls may still pass: the library waits on while bytes arrive,
// and a late answer to one request stretches the wait for the next.)
TEST(PhoneConformance, APhoneAnsweringAfterTheTimeOutFails) {
  StationDir station;
  PhoneSimProcess sim(station.File("ports"), 5, station.File("phone.json"),
                      station.File("phone.log"));
  ASSERT_TRUE(sim.Start({"--delay-ms", "60"}));
  const Table t = Conformance(station, {}, 30);
  EXPECT_EQ(t.exitCode, 1);
  EXPECT_EQ(t.results.at("KV_BeginPhoneTest"), "pass");
  EXPECT_EQ(t.results.at("KV_GetMsVersion"), "FAIL");
  EXPECT_EQ(t.results.at("replies within the time-out"), "FAIL");
}

// --library FILE: the regular rows are that library's (here another maker's, an in-memory phone
// without the station-record calls); the frame rows still go to the phone on the port.
TEST(PhoneConformance, TheLibraryNamedByLibraryIsTheOneChecked) {
  StationDir station;
  station.Write("test-phone.txt", "imei1=356938035643809\n");
  PhoneSimProcess sim(station.File("ports"), 5, station.File("phone.json"),
                      station.File("phone.log"));
  ASSERT_TRUE(sim.Start());
  Table t = Conformance(station, {"--library", BinPath("libkestrel-test-phone.so")}, 300,
                        {{"KESTREL_TEST_PHONE_STATE", station.File("test-phone.txt")}});
  EXPECT_EQ(t.exitCode, 1) << t.text.toStdString();  // that phone is not a conformant one
  EXPECT_TRUE(t.why["KV_GetMsVersion"].contains("TESTPHONE_MS")) << t.text.toStdString();
  EXPECT_EQ(t.results["KV_ReadStationRecord"], "skip");
  EXPECT_TRUE(t.why["KV_ReadStationRecord"].contains("no station-record calls"));
  for (const char* frame : {"HELLO", "frame: bad checksum", "frame: repeated sequence number"})
    EXPECT_EQ(t.results[frame], "pass") << frame;
  // The library's calls never reached the simulator (the frame rows send none of these).
  for (const char* call : {"KV_ReadSN", "KV_WriteSN", "KV_ReadCURef", "KV_WriteSecureBoot"})
    EXPECT_FALSE(sim.LoggedCalls().contains(call)) << call;

  kestrel::testing::ChildProcess p;
  ASSERT_TRUE(p.Start(BinPath("kestrel-cli"),
                      {"phone", "--station-dir", station.path(), "--library",
                       station.File("none.so"), "conformance", "--port", "5"},
                      {{"KESTREL_SYSTEM_PORTS", "0"}}));
  p.ReadAll(10000);
  EXPECT_EQ(p.exitCode(), 2);
}

TEST(PhoneConformance, ItNeedsAComPortAndTakesOnlyItsOption) {
  StationDir station;
  for (const QStringList& args :
       {QStringList{"phone", "--station-dir", station.path(), "--port", "usb", "conformance"},
        QStringList{"phone", "--station-dir", station.path(), "--port", "5", "conformance",
                    "-x"}}) {
    kestrel::testing::ChildProcess p;
    ASSERT_TRUE(p.Start(BinPath("kestrel-cli"), args, {{"KESTREL_SYSTEM_PORTS", "0"}}));
    p.ReadAll(10000);
    EXPECT_EQ(p.exitCode(), 2) << args.join(' ').toStdString();
  }
  // Nothing on the port: the table says so and the check fails.
  const Table t = Conformance(station, {}, 100);
  EXPECT_EQ(t.exitCode, 1);
  EXPECT_EQ(t.results.at("KV_BeginPhoneTest"), "FAIL");
}

}  // namespace
