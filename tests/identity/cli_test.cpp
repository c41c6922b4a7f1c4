// kestrel-cli imei and serial, run as an engineer runs them.
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QStringList>

namespace kestrel::identity {
namespace {

struct CliRun {
  int exitCode = -1;
  QString out;
};

CliRun Cli(const QStringList& args) {
  const testing::ChildRun run = testing::RunChild(testing::BinPath(QStringLiteral("kestrel-cli")), args);
  CliRun r;
  if (!run.finished) return r;
  r.exitCode = run.exitCode;
  r.out = QString::fromUtf8(run.out);
  return r;
}

TEST(KestrelCliImei, Arithmetic) {
  CliRun r = Cli({"imei", "check-digit", "49015420323751"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, QStringLiteral("8\n"));
  r = Cli({"imei", "full", "01234567890123"});
  EXPECT_EQ(r.out, QStringLiteral("012345678901237\n"));
  r = Cli({"imei", "next", "35999999999999"});
  EXPECT_EQ(r.out, QStringLiteral("360000000000004\n"));
  r = Cli({"imei", "next", "99999999999999"});
  EXPECT_EQ(r.out, QStringLiteral("000000000000000\n"));
  EXPECT_EQ(Cli({"imei", "full", "123456789012345"}).exitCode, 2);  // 15 digits: not a body
  EXPECT_EQ(Cli({"imei", "check-digit", "12x"}).exitCode, 2);
  EXPECT_EQ(Cli({"imei", "shuffle"}).exitCode, 2);
}

TEST(KestrelCliImei, VerifyReportsEachArgument) {
  CliRun r = Cli({"imei", "verify", "490154203237518", "356789012345672"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, QStringLiteral("490154203237518 ok\n356789012345672 ok\n"));
  // A wrong check digit and a text that is not 15 digits are both bad.
  r = Cli({"imei", "verify", "490154203237519", "356789012345672", "49015420323751"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, QStringLiteral("490154203237519 bad\n356789012345672 ok\n49015420323751 bad\n"));
}

TEST(KestrelCliSerial, TimeSerialOfAGivenTime) {
  CliRun r = Cli({"serial", "2014-05-12T05:39:01", "8"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, QStringLiteral("12053901\n"));
  EXPECT_EQ(Cli({"serial", "2014-05-12T05:39:01", "24"}).out,
            QStringLiteral("201405120539010123456789\n"));
  EXPECT_EQ(Cli({"serial", "2014-02-30T05:39:01", "8"}).exitCode, 2);
  EXPECT_EQ(Cli({"serial", "2014-05-12 05:39:01", "8"}).exitCode, 2);
  EXPECT_EQ(Cli({"serial", "2014-05-12T05:39:01", "25"}).exitCode, 2);
}

}  // namespace
}  // namespace kestrel::identity
