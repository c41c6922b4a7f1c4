// kestrel-cli phone against the simulator: NAME=value lines and the library's result code
// as the exit code.
#include "tests/support/child_process.h"
#include "tests/device/phone_sim_process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

using kestrel::testing::BinPath;
using kestrel::testing::PhoneSimProcess;
using kestrel::testing::StationDir;

namespace {

struct CliResult {
  int exitCode = -1;
  QStringList lines;
};

CliResult Cli(const StationDir& station, const QStringList& args) {
  kestrel::testing::ChildProcess p;
  CliResult r;
  const QMap<QString, QString> env{{"KESTREL_SYSTEM_PORTS", "0"},
                                   {"KESTREL_OXBIND_REPLY_TIMEOUT_MS", "150"},
                                   {"KESTREL_OXBIND_ATTEMPTS", "1"}};
  if (!p.Start(BinPath("kestrel-cli"), QStringList{"phone", "--station-dir", station.path()} + args,
               env))
    return r;
  const QByteArray out = p.ReadAll(10000);
  if (p.running()) return r;  // the destructor kills it
  r.exitCode = p.exitCode();
  r.lines = QString::fromLocal8Bit(out).split('\n', Qt::SkipEmptyParts);
  return r;
}

TEST(PhoneCli, WritesAndReadsAPhone) {
  StationDir station;
  PhoneSimProcess sim(station.File("ports"), 3, station.File("phone.json"),
                      station.File("phone.log"));
  ASSERT_TRUE(sim.Start({"--fail", "KV_GetAPVersion=45"}));

  EXPECT_EQ(Cli(station,
                {"--port", "3", "write-nv", "--imei1", "356938035643809", "--bt", "0011223344AA"})
                .exitCode,
            0);
  CliResult r = Cli(station, {"--port", "3", "read-nv", "--mask", "0x5"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.lines, (QStringList{"IMEI1=356938035643809", "BT=0011223344AA"}));

  EXPECT_EQ(Cli(station, {"--port", "3", "write-sn", "2", "SN2ABCDE"}).exitCode, 0);
  EXPECT_EQ(Cli(station, {"--port", "3", "read-sn", "2"}).lines, (QStringList{"SN=SN2ABCDE"}));
  EXPECT_EQ(Cli(station, {"--port", "3", "write-secure-boot", "2", "FFFFFFFF"}).exitCode, 0);
  r = Cli(station, {"--port", "3", "read-secure-boot"});
  ASSERT_EQ(r.lines.size(), 7);
  EXPECT_EQ(r.lines[2], "ITEM2=0xffffffff");
  EXPECT_EQ(r.lines[0], "ITEM0=0x0");
  r = Cli(station, {"--port", "usb", "at", "AT+X"});
  EXPECT_EQ(r.lines, (QStringList{"REPLY=OK"}));
  EXPECT_EQ(Cli(station, {"--port", "3", "ap-version"}).exitCode, 45);
  EXPECT_TRUE(Cli(station, {"--port", "3", "version"}).lines.value(0).startsWith("VERSION=Plat:"));
  EXPECT_EQ(Cli(station, {"--port", "3", "no-such-command"}).exitCode, 2);
  EXPECT_EQ(Cli(station, {"--port", "3", "read-sn", "3"}).exitCode, 2);
  EXPECT_EQ(Cli(station, {"--port", "8", "version"}).exitCode, 4);  // KV_ERR_PORT_OPEN
}

}  // namespace
