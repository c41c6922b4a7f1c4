#include "device/ampvane/instrument_map.h"

#include <gtest/gtest.h>

namespace kestrel::device::ampvane {
namespace {

using Kind = InstrumentLocation::Kind;

TEST(InstrumentMapTest, FindsEntriesBySectionAndNumberWithIniRules) {
  const InstrumentMap map = InstrumentMap::Parse(
      "\xEF\xBB\xBF; comment\r\n"
      "[gpib0]\r\n"
      "  05 = tcp://10.0.0.1:5025 \r\n"
      "5=tcp://10.0.0.2:5025\n"  // duplicate: the first wins
      "# another comment\n"
      "6=\"/dev/usbtmc1\"\n"
      "junk line\n"
      "[GPIB 1]\n"  // not a board section
      "7=/dev/ttyS0\n"
      "[GPIB2]\n"
      "7=/dev/ttyS2\n"
      "x7=/dev/ttyS9\n");
  EXPECT_EQ(map.Find(0, 5), QStringLiteral("tcp://10.0.0.1:5025"));
  EXPECT_EQ(map.Find(0, 6), QStringLiteral("/dev/usbtmc1"));
  EXPECT_EQ(map.Find(2, 7), QStringLiteral("/dev/ttyS2"));
  EXPECT_FALSE(map.Find(1, 7));
  EXPECT_FALSE(map.Find(0, 7));
  EXPECT_FALSE(map.Find(-1, 5));
  EXPECT_EQ(map.TimeoutMs(), kDefaultTimeoutMs);
}

TEST(InstrumentMapTest, TimeoutIsReadAndHeldToItsBounds) {
  EXPECT_EQ(InstrumentMap::Parse("[Ampvane]\nTimeout=750\nTimeout=900\n").TimeoutMs(), 750);
  EXPECT_EQ(InstrumentMap::Parse("[AMPVANE]\ntimeout=1\n").TimeoutMs(), kMinTimeoutMs);
  EXPECT_EQ(InstrumentMap::Parse("[Ampvane]\nTimeout=999999999\n").TimeoutMs(), kMaxTimeoutMs);
  EXPECT_EQ(InstrumentMap::Parse("[Ampvane]\nTimeout=-5\n").TimeoutMs(), kDefaultTimeoutMs);
  EXPECT_EQ(InstrumentMap::Parse("[GPIB0]\nTimeout=500\n").TimeoutMs(), kDefaultTimeoutMs);
}

TEST(InstrumentMapTest, ParsesEachKindOfLocation) {
  auto tcp = ParseLocation(QStringLiteral(" TCP://bench-psu.local:5025/ "));
  ASSERT_TRUE(tcp);
  EXPECT_EQ(tcp->kind, Kind::kTcp);
  EXPECT_EQ(tcp->host, QStringLiteral("bench-psu.local"));
  EXPECT_EQ(tcp->port, 5025);

  auto v6 = ParseLocation(QStringLiteral("tcp://[::1]:6000"));
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->host, QStringLiteral("::1"));
  EXPECT_EQ(v6->port, 6000);

  auto tmc = ParseLocation(QStringLiteral("/dev/usbtmc0"));
  ASSERT_TRUE(tmc);
  EXPECT_EQ(tmc->kind, Kind::kUsbtmc);
  EXPECT_EQ(tmc->path, QStringLiteral("/dev/usbtmc0"));
  auto tmc2 = ParseLocation(QStringLiteral("usbtmc:/dev/bench/psu"));
  ASSERT_TRUE(tmc2);
  EXPECT_EQ(tmc2->kind, Kind::kUsbtmc);

  auto serial = ParseLocation(QStringLiteral("/dev/ttyUSB0, 19200"));
  ASSERT_TRUE(serial);
  EXPECT_EQ(serial->kind, Kind::kSerial);
  EXPECT_EQ(serial->path, QStringLiteral("/dev/ttyUSB0"));
  EXPECT_EQ(serial->baud, 19200);
  auto serial2 = ParseLocation(QStringLiteral("serial:/dev/ttyS1"));
  ASSERT_TRUE(serial2);
  EXPECT_EQ(serial2->baud, 9600);
}

TEST(InstrumentMapTest, RefusesLocationsItCannotUse) {
  for (const char* bad : {"", "tcp://", "tcp://host", "tcp://host:", "tcp://:5025", "tcp://host:0",
                          "tcp://host:65536", "tcp://host:50x", "tcp://::1:5025", "tcp://[::1]5025",
                          "tcp://a b:1", "gpib0::5::instr", "COM3", "ttyUSB0", "/dev/ttyUSB0,9601",
                          "/dev/ttyUSB0,", "serial:", "usbtmc:relative"}) {
    EXPECT_FALSE(ParseLocation(QString::fromUtf8(bad))) << bad;
  }
}

}  // namespace
}  // namespace kestrel::device::ampvane
