#include "identity/serial_numbers.h"

#include <gtest/gtest.h>

namespace kestrel::identity {
namespace {

const LocalDateTime kMay12{2014, 5, 12, 5, 39, 1};

TEST(TimeSerial, FormatsTheLocalTimeToTheLength) {
  const FixedClock clock(kMay12);
  EXPECT_EQ(TimeSerial(8, clock), QStringLiteral("12053901"));
  EXPECT_EQ(TimeSerial(12, clock), QStringLiteral("140512053901"));
  EXPECT_EQ(TimeSerial(14, clock), QStringLiteral("20140512053901"));
  EXPECT_EQ(TimeSerial(17, clock), QStringLiteral("20140512053901012"));
  EXPECT_EQ(TimeSerial(24, clock), QStringLiteral("201405120539010123456789"));
  EXPECT_EQ(TimeSerial(1, clock), QStringLiteral("1"));
  EXPECT_EQ(TimeSerial(0, clock), QString());
  // Single-digit fields keep their zero.
  EXPECT_EQ(TimeSerial(14, LocalDateTime{2009, 1, 2, 3, 4, 5}), QStringLiteral("20090102030405"));
}

config::StationSettings BothGenerated(int length) {
  config::StationSettings s;
  s.WriteSN = 1;
  s.SN1Enabled = 1;
  s.SN2Enabled = 1;
  s.AutoCreateSN1 = 1;
  s.AutoCreateSN2 = 1;
  s.SNLength = length;
  return s;
}

TEST(NextSerialNumbers, Sn2IsSn1PlusOne) {
  const FixedClock clock(kMay12);
  IdentitySet ids;
  NextSerialNumbers(BothGenerated(8), ids, clock);
  EXPECT_EQ(ids.SN1, QStringLiteral("12053901"));
  EXPECT_EQ(ids.SN2, QStringLiteral("12053902"));

  // On the 5th the leading zero is kept: still eight digits.
  NextSerialNumbers(BothGenerated(8), ids, FixedClock({2014, 5, 5, 5, 39, 1}));
  EXPECT_EQ(ids.SN1, QStringLiteral("05053901"));
  EXPECT_EQ(ids.SN2, QStringLiteral("05053902"));

  // Longer than twelve: the last twelve digits count, the rest is carried as the high part.
  NextSerialNumbers(BothGenerated(20), ids, clock);
  EXPECT_EQ(ids.SN1, QStringLiteral("20140512053901012345"));
  EXPECT_EQ(ids.SN2, QStringLiteral("20140512053901012346"));

  NextSerialNumbers(BothGenerated(24), ids, clock);
  EXPECT_EQ(ids.SN1, QStringLiteral("201405120539010123456789"));
  EXPECT_EQ(ids.SN2, QStringLiteral("201405120539010123456790"));

  NextSerialNumbers(BothGenerated(13), ids, FixedClock({2014, 12, 31, 23, 59, 59}));
  EXPECT_EQ(ids.SN1, QStringLiteral("0141231235959"));
  EXPECT_EQ(ids.SN2, QStringLiteral("0141231235960"));
  EXPECT_EQ(ids.SN2.size(), 13);
}

TEST(NextSerialNumbers, TypedSerialsAreLeftAndSn2AloneIsATimeSerial) {
  const FixedClock clock(kMay12);
  config::StationSettings s = BothGenerated(8);
  s.AutoCreateSN1 = 0;
  IdentitySet ids;
  ids.SN1 = QStringLiteral("TYPED001");
  NextSerialNumbers(s, ids, clock);
  EXPECT_EQ(ids.SN1, QStringLiteral("TYPED001"));
  EXPECT_EQ(ids.SN2, QStringLiteral("12053901"));

  // SN1 generated but not enabled: it is not generated, so SN2 is a time serial as well.
  config::StationSettings disabled = BothGenerated(8);
  disabled.SN1Enabled = 0;
  IdentitySet other;
  NextSerialNumbers(disabled, other, clock);
  EXPECT_EQ(other.SN1, QString());
  EXPECT_EQ(other.SN2, QStringLiteral("12053901"));

  config::StationSettings sn2Typed = BothGenerated(8);
  sn2Typed.AutoCreateSN2 = 0;
  IdentitySet typed2;
  typed2.SN2 = QStringLiteral("KEEP");
  NextSerialNumbers(sn2Typed, typed2, clock);
  EXPECT_EQ(typed2.SN1, QStringLiteral("12053901"));
  EXPECT_EQ(typed2.SN2, QStringLiteral("KEEP"));
}

}  // namespace
}  // namespace kestrel::identity
