#include "identity/imei.h"

#include "config/ini_file.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QString>

#include <cstdint>
#include <random>
#include <string>

namespace kestrel::identity {
namespace {

constexpr std::uint64_t kBodyLimit = 100000000000000ULL;  // 10^14

// Luhn validation of a whole digit string, written independently of the station's code:
// from the right, every second digit starting with the second-to-last is doubled, and the
// string is valid when the sum is a multiple of 10.
bool LuhnValid(const std::string& digits) {
  int sum = 0;
  bool twice = false;
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    int d = *it - '0';
    if (twice) {
      d *= 2;
      if (d > 9) d -= 9;
    }
    sum += d;
    twice = !twice;
  }
  return sum % 10 == 0;
}

std::string Body14(std::uint64_t body) {
  std::string text = std::to_string(body);
  return std::string(14 - text.size(), '0') + text;
}

TEST(ImeiCheckDigit, KnownVectors) {
  EXPECT_EQ(ImeiCheckDigit(49015420323751ULL), 8);
  EXPECT_EQ(ImeiCheckDigit(35678901234567ULL), 2);
  EXPECT_EQ(ImeiCheckDigit(0), 0);
  EXPECT_EQ(FullImei(49015420323751ULL), QStringLiteral("490154203237518"));
  EXPECT_EQ(FullImei(35678901234567ULL), QStringLiteral("356789012345672"));
  // Leading zeros are kept: 15 digits.
  EXPECT_EQ(FullImei(1234567890123ULL), QStringLiteral("012345678901237"));
  EXPECT_EQ(FullImei(0), QStringLiteral("000000000000000"));
}

TEST(ImeiCheckDigit, AgreesWithIndependentLuhnOverRandomBodies) {
  std::mt19937_64 rng(20140512);
  std::uniform_int_distribution<std::uint64_t> anyBody(0, kBodyLimit - 1);
  std::uniform_int_distribution<int> width(1, 14);
  for (int i = 0; i < 200000; ++i) {
    // Bodies of every width, so that short bodies (leading zeros) are covered as well.
    std::uint64_t body = anyBody(rng);
    const int digits = width(rng);
    std::uint64_t limit = 1;
    for (int k = 0; k < digits; ++k) limit *= 10;
    body %= limit;

    const int check = ImeiCheckDigit(body);
    ASSERT_GE(check, 0);
    ASSERT_LE(check, 9);
    const std::string body14 = Body14(body);
    ASSERT_TRUE(LuhnValid(body14 + char('0' + check))) << body14 << " check " << check;
    // Exactly one digit completes the body.
    for (int other = 0; other < 10; ++other) {
      if (other == check) continue;
      ASSERT_FALSE(LuhnValid(body14 + char('0' + other))) << body14;
    }
    const QString full = FullImei(body);
    ASSERT_EQ(full.toStdString(), body14 + char('0' + check));
    ASSERT_TRUE(VerifyImeiCheckDigit(full));
    QString wrong = full;
    wrong[14] = QChar(u'0' + (check + 1 + i % 9) % 10);
    ASSERT_FALSE(VerifyImeiCheckDigit(wrong)) << wrong.toStdString();
  }
}

TEST(NextImeiFromPrefix, IncrementsAndWraps) {
  EXPECT_EQ(NextImeiFromPrefix(QStringLiteral("35678901234567")),
            QStringLiteral("356789012345680"));
  // Carry out of the low twelve digits into the high part.
  EXPECT_EQ(NextImeiFromPrefix(QStringLiteral("35999999999999")),
            QStringLiteral("360000000000004"));
  // The last body wraps to body 0.
  EXPECT_EQ(NextImeiFromPrefix(QStringLiteral("99999999999999")),
            QStringLiteral("000000000000000"));
  // Leading zeros survive.
  EXPECT_EQ(NextImeiFromPrefix(QStringLiteral("01234567890122")),
            QStringLiteral("012345678901237"));
  // Short prefixes are plain numbers.
  EXPECT_EQ(NextImeiFromPrefix(QStringLiteral("123")), FullImei(124));
  EXPECT_EQ(NextImeiFromPrefix(QString()), FullImei(1));
  // A 13-character prefix has a one-digit high part that wraps at 9.
  EXPECT_EQ(NextImeiFromPrefix(QStringLiteral("9999999999999")), QStringLiteral("000000000000000"));
  EXPECT_EQ(NextImeiFromPrefix(QStringLiteral("4999999999999")), FullImei(5000000000000ULL));
}

TEST(NextImeiFromPrefix, IsBodyPlusOneModuloTenToTheFourteenth) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<std::uint64_t> anyBody(0, kBodyLimit - 1);
  for (int i = 0; i < 20000; ++i) {
    std::uint64_t body = anyBody(rng);
    if (i % 4 == 0) body = body / 1000000000000ULL * 1000000000000ULL + 999999999999ULL;
    const QString prefix = QString::fromStdString(Body14(body));
    ASSERT_EQ(NextImeiFromPrefix(prefix), FullImei((body + 1) % kBodyLimit)) << body;
  }
}

TEST(VerifyImeiCheckDigit, ReadsTheLeadingNumber) {
  EXPECT_TRUE(VerifyImeiCheckDigit(QStringLiteral("490154203237518")));
  EXPECT_FALSE(VerifyImeiCheckDigit(QStringLiteral("490154203237519")));
  EXPECT_TRUE(VerifyImeiCheckDigit(QStringLiteral("000000000000000")));
  EXPECT_TRUE(VerifyImeiCheckDigit(QString()));  // reads 0, whose check digit is 0
}

config::StationSettings Slots(int mode1, int mode2 = -1, int mode3 = -1, int mode4 = -1) {
  config::StationSettings s;
  s.DefaultIMEI = QStringLiteral("35678901234567");
  s.IMEI1Enabled = 1;
  s.IMEI1GenMode = mode1;
  if (mode2 >= 0) {
    s.IMEI2Enabled = 1;
    s.IMEI2GenMode = mode2;
  }
  if (mode3 >= 0) {
    s.IMEI3Enabled = 1;
    s.IMEI3GenMode = mode3;
  }
  if (mode4 >= 0) {
    s.IMEI4Enabled = 1;
    s.IMEI4GenMode = mode4;
  }
  return s;
}

constexpr std::uint64_t kDefault = 35678901234567ULL;

TEST(PrepareImeis, GeneratesFromTheBaseAndFromThePreviousSlot) {
  IdentitySet ids;
  std::uint64_t base = 0;
  PrepareImeis(Slots(1, 1), ids, base);
  EXPECT_EQ(ids.IMEI1, QStringLiteral("356789012345672"));
  EXPECT_EQ(ids.IMEI2, QStringLiteral("356789012345680"));
  EXPECT_EQ(base, 35678901234569ULL);

  IdentitySet inc;
  base = 0;
  PrepareImeis(Slots(1, 2), inc, base);
  EXPECT_EQ(inc.IMEI2, QStringLiteral("356789012345680"));
  EXPECT_EQ(base, 35678901234569ULL);

  // Each incremented slot follows the slot before it, whatever that slot's mode.
  IdentitySet four;
  base = 0;
  PrepareImeis(Slots(2, 2, 1, 2), four, base);
  EXPECT_EQ(four.IMEI1, FullImei(kDefault));
  EXPECT_EQ(four.IMEI2, FullImei(kDefault + 1));
  EXPECT_EQ(four.IMEI3, FullImei(kDefault + 2));
  EXPECT_EQ(four.IMEI4, FullImei(kDefault + 3));
  EXPECT_EQ(base, kDefault + 4);

  // The base is reloaded from DefaultIMEI at every preparation.
  PrepareImeis(Slots(2, 2, 1, 2), four, base);
  EXPECT_EQ(four.IMEI1, FullImei(kDefault));
  EXPECT_EQ(base, kDefault + 4);
}

TEST(GeneratedImeiCount, IsHowFarPreparationMovesTheBase) {
  config::StationSettings same = Slots(1, 1, 1);
  same.UseSameIMEI = 1;
  const config::StationSettings cases[] = {Slots(0),       Slots(1),       Slots(1, 1),
                                           Slots(2, 2, 1, 2), Slots(0, 1, 2), Slots(0, 2),
                                           same};
  for (const config::StationSettings& s : cases) {
    IdentitySet ids;
    std::uint64_t base = 0;
    PrepareImeis(s, ids, base);
    EXPECT_EQ(static_cast<std::uint64_t>(GeneratedImeiCount(s)), base - kDefault)
        << s.IMEI1GenMode << s.IMEI2GenMode << s.IMEI3GenMode << s.IMEI4GenMode;
  }
  EXPECT_EQ(GeneratedImeiCount(Slots(2, 2, 1, 2)), 4);
  EXPECT_EQ(GeneratedImeiCount(same), 1);
}

TEST(PrepareImeis, LeavesTypedAndDisabledSlots) {
  IdentitySet ids;
  ids.IMEI1 = QStringLiteral("typed1");
  ids.IMEI2 = QStringLiteral("typed2");
  std::uint64_t base = 0;
  PrepareImeis(Slots(0, 2), ids, base);
  EXPECT_EQ(ids.IMEI1, QStringLiteral("typed1"));
  EXPECT_EQ(ids.IMEI2, QStringLiteral("typed2"));  // filled by the derive at job start
  EXPECT_EQ(base, kDefault);

  // Typed IMEI1, generated IMEI2: the base gives IMEI2.
  PrepareImeis(Slots(0, 1), ids, base);
  EXPECT_EQ(ids.IMEI1, QStringLiteral("typed1"));
  EXPECT_EQ(ids.IMEI2, FullImei(kDefault));
  EXPECT_EQ(base, kDefault + 1);

  // A disabled slot takes nothing from the base.
  config::StationSettings s = Slots(1, 1, 1);
  s.IMEI2Enabled = 0;
  IdentitySet gap;
  gap.IMEI2 = QStringLiteral("old");
  PrepareImeis(s, gap, base);
  EXPECT_EQ(gap.IMEI2, QStringLiteral("old"));
  EXPECT_EQ(gap.IMEI3, FullImei(kDefault + 1));
  EXPECT_EQ(base, kDefault + 2);
}

TEST(PrepareImeis, UseSameImeiCopiesImei1IntoEveryEnabledSlot) {
  config::StationSettings s = Slots(1, 1, 2, 0);
  s.UseSameIMEI = 1;
  IdentitySet ids;
  std::uint64_t base = 0;
  PrepareImeis(s, ids, base);
  EXPECT_EQ(ids.IMEI1, FullImei(kDefault));
  EXPECT_EQ(ids.IMEI2, ids.IMEI1);
  EXPECT_EQ(ids.IMEI3, ids.IMEI1);
  EXPECT_EQ(ids.IMEI4, ids.IMEI1);
  EXPECT_EQ(base, kDefault + 1);
}

TEST(PrepareImeis, UnreadableDefaultStartsAtZero) {
  config::StationSettings s = Slots(1);
  s.DefaultIMEI = QStringLiteral("x35678901234567");
  IdentitySet ids;
  std::uint64_t base = 99;
  PrepareImeis(s, ids, base);
  EXPECT_EQ(ids.IMEI1, QStringLiteral("000000000000000"));
  EXPECT_EQ(base, 1U);
}

TEST(DeriveImeisFromTyped, FillsIncrementedSlotsFromTypedImei1) {
  IdentitySet ids;
  ids.IMEI1 = QStringLiteral("356789012345672");
  DeriveImeisFromTyped(Slots(0, 2, 2), ids);
  EXPECT_EQ(ids.IMEI2, QStringLiteral("356789012345680"));
  EXPECT_EQ(ids.IMEI3, QStringLiteral("356789012345698"));

  // Typed slots in between are kept and do not move the prefix.
  IdentitySet mixed;
  mixed.IMEI1 = QStringLiteral("356789012345672");
  mixed.IMEI2 = QStringLiteral("490154203237518");
  DeriveImeisFromTyped(Slots(0, 0, 2), mixed);
  EXPECT_EQ(mixed.IMEI2, QStringLiteral("490154203237518"));
  EXPECT_EQ(mixed.IMEI3, QStringLiteral("356789012345680"));

  // A generated IMEI1 leaves incremented slots to the preparation.
  IdentitySet generated;
  generated.IMEI1 = QStringLiteral("356789012345672");
  generated.IMEI2 = QStringLiteral("prepared");
  DeriveImeisFromTyped(Slots(1, 2), generated);
  EXPECT_EQ(generated.IMEI2, QStringLiteral("prepared"));

  config::StationSettings same = Slots(0, 2, 1, 0);
  same.UseSameIMEI = 1;
  IdentitySet copies;
  copies.IMEI1 = QStringLiteral("356789012345672");
  DeriveImeisFromTyped(same, copies);
  EXPECT_EQ(copies.IMEI2, copies.IMEI1);
  EXPECT_EQ(copies.IMEI3, copies.IMEI1);
  EXPECT_EQ(copies.IMEI4, copies.IMEI1);
}

TEST(DeriveImeisFromTyped, IsNeededOnlyWithATypedSlot) {
  EXPECT_TRUE(NeedsImeiDerivation(Slots(0)));
  EXPECT_TRUE(NeedsImeiDerivation(Slots(1, 0)));
  EXPECT_FALSE(NeedsImeiDerivation(Slots(1, 1, 2)));
  config::StationSettings off = Slots(0, 0);
  off.IMEI1Enabled = 0;
  EXPECT_FALSE(NeedsImeiDerivation(off));
  config::StationSettings disabledTyped = Slots(1, 0);
  disabledTyped.IMEI2Enabled = 0;
  EXPECT_FALSE(NeedsImeiDerivation(disabledTyped));
}

TEST(ImeiBasePersistence, StoreAfterPassWritesDefaultImeiAtOnce) {
  testing::StationDir dir;
  const QString path = dir.Write(QStringLiteral("Kestrel.ini"),
                                 "; station\n[General]\nIMEI1=1\nDefaultIMEI=35678901234567\n"
                                 "[PHONE]\nVersion=2.0\n");
  config::StationSettings s = Slots(1);
  ASSERT_TRUE(StoreImeiBaseAfterPass(s, 1234, path));
  EXPECT_EQ(s.DefaultIMEI, QStringLiteral("00000000001234"));
  const config::IniFile ini(path);
  EXPECT_EQ(ini.ReadString(QStringLiteral("General"), QStringLiteral("DefaultIMEI"), QString()),
            QStringLiteral("00000000001234"));
  EXPECT_EQ(ini.ReadInt(QStringLiteral("General"), QStringLiteral("IMEI1"), 0), 1);
  EXPECT_EQ(ini.ReadString(QStringLiteral("PHONE"), QStringLiteral("Version"), QString()),
            QStringLiteral("2.0"));
  EXPECT_TRUE(dir.Read(QStringLiteral("Kestrel.ini")).startsWith("; station"));
}

TEST(ImeiBasePersistence, CloseGivesBackTheImeisOfTheUnwrittenPhone) {
  testing::StationDir dir;
  const QString path = dir.File(QStringLiteral("Kestrel.ini"));
  // IMEI1 typed, IMEI2 and IMEI3 generated: one phone passes, the next is prepared, then the
  // station closes.
  config::StationSettings s = Slots(0, 1, 1);
  s.AutoCreateIMEI = 1;
  IdentitySet ids;
  std::uint64_t base = 0;
  PrepareImeis(s, ids, base);
  ASSERT_TRUE(StoreImeiBaseAfterPass(s, base, path));
  EXPECT_EQ(s.DefaultIMEI, QStringLiteral("35678901234569"));
  PrepareImeis(s, ids, base);
  EXPECT_EQ(base, kDefault + 4);
  EXPECT_EQ(ImeiBaseForSave(s, base), kDefault + 2);
  EXPECT_EQ(ImeiBaseForSaveText(s, base), QStringLiteral("35678901234569"));
}

TEST(ImeiBasePersistence, CloseStepBackFollowsTheEnabledSlots) {
  config::StationSettings s = Slots(1, 1, 1, 1);
  s.AutoCreateIMEI = 1;
  EXPECT_EQ(ImeiBaseForSave(s, kDefault + 4), kDefault + 1);  // back by 3
  s.IMEI4Enabled = 0;
  EXPECT_EQ(ImeiBaseForSave(s, kDefault + 3), kDefault + 1);  // back by 2
  s.IMEI3Enabled = 0;
  EXPECT_EQ(ImeiBaseForSave(s, kDefault + 2), kDefault + 1);  // back by 1
  s.IMEI2Enabled = 0;
  s.IMEI4Enabled = 1;
  EXPECT_EQ(ImeiBaseForSave(s, kDefault + 2), kDefault + 1);  // any of 2-4: back by 1
  s.IMEI4Enabled = 0;
  EXPECT_EQ(ImeiBaseForSave(s, kDefault + 1), kDefault + 1);  // IMEI1 only: kept

  config::StationSettings same = Slots(1, 1, 1, 1);
  same.AutoCreateIMEI = 1;
  same.UseSameIMEI = 1;
  EXPECT_EQ(ImeiBaseForSave(same, kDefault + 1), kDefault + 1);
  config::StationSettings manual = Slots(1, 1, 1, 1);
  EXPECT_EQ(ImeiBaseForSave(manual, kDefault + 4), kDefault + 4);
}

TEST(ImeiBasePersistence, CloseNeverStepsBelowTheLastPassedBase) {
  // IMEI2 typed, only IMEI3 generated: stepping back by two would hand out again the IMEI3
  // of the phone that passed last.
  config::StationSettings s = Slots(0, 0, 1);
  s.AutoCreateIMEI = 1;
  IdentitySet ids;
  std::uint64_t base = 0;
  PrepareImeis(s, ids, base);
  EXPECT_EQ(base, kDefault + 1);
  EXPECT_EQ(ImeiBaseForSave(s, base), kDefault);
  // A base no preparation has set keeps the stored one.
  EXPECT_EQ(ImeiBaseForSave(s, 0), kDefault);
  config::StationSettings plain = Slots(0);
  EXPECT_EQ(ImeiBaseForSave(plain, 0), kDefault);
}

}  // namespace
}  // namespace kestrel::identity
