// The CU reference and the secure-boot items against the simulated phone: the bytes and
// words that reach it, what a read shows, and each failure's message and whether it counts.
#include "station/cu_secure_boot.h"
#include "station/cu_secure_boot_text.h"
#include "tests/station/phone_job_fixture.h"

#include <QJsonArray>
#include <QJsonObject>

namespace kestrel::station::testing {
namespace {

using identity::ResultState;
using CuTexts = std::array<QString, kCuRefLength>;
using BootTexts = std::array<QString, kSecureBootItems>;

class CuSecureBootTest : public PhoneJobTest {};

CuTexts CuFields(const QString& oneCharacterEach) {
  CuTexts texts;
  for (int i = 0; i < kCuRefLength && i < oneCharacterEach.size(); ++i) {
    if (oneCharacterEach[i] != QLatin1Char('_')) texts[static_cast<std::size_t>(i)] = oneCharacterEach[i];
  }
  return texts;
}

QJsonArray Words(std::initializer_list<double> values) {
  QJsonArray a;
  for (double v : values) a.append(v);
  return a;
}

// --- Texts ---

TEST(CuSecureBootTextTest, SecureBootFieldTextAsWord) {
  struct Case {
    const char* text;
    std::uint32_t value;
  };
  const Case cases[] = {
      {"FFFFFFFF", 0xFFFFFFFFu}, {"ffffffff", 0xFFFFFFFFu}, {"1a2b", 0x1A2Bu},
      {"0x10", 0x10u},           {"0X10", 0x10u},           {"", 0u},
      // Beyond 32 bits: saturated; leading zeros are no overflow.
      {"123456789ABC", 0xFFFFFFFFu}, {"100000000", 0xFFFFFFFFu}, {"00000000DEADBEEF", 0xDEADBEEFu},
      // Not a number: 0; digits up to the first other character count.
      {"zz", 0u}, {"0x", 0u}, {"-1", 0u}, {"12zz", 0x12u}, {"  7f", 0x7Fu},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ParseSecureBootValue(QString::fromLatin1(c.text)), c.value);
  }
}

TEST(CuSecureBootTextTest, CuFieldCharacterAsByte) {
  EXPECT_EQ(CuRefByte(QString()), '\0');
  EXPECT_EQ(CuRefByte(QStringLiteral("A")), 'A');
  EXPECT_EQ(CuRefByte(QStringLiteral("AB")), 'A');
  // A character of more than one byte would leave a broken text on the phone.
  EXPECT_EQ(CuRefByte(QStringLiteral("\u00e9")), '?');
  EXPECT_EQ(CuRefByte(QString::fromUcs4(U"\U0001F600", 1)), '?');
  EXPECT_EQ(CuRefFieldText('\0'), QString());
  EXPECT_EQ(CuRefFieldText('7'), QStringLiteral("7"));
}

// --- CU reference ---

TEST_F(CuSecureBootTest, WriteCuRefBytes) {
  struct Case {
    const char* name;
    QString fields;  // "_" an empty field
    QByteArray phone;
    const char* logged;
  };
  const Case cases[] = {
      // 24 characters: the first 23 reach the phone, the 24th byte is 0.
      {"24 characters", QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWX"),
       QByteArray("ABCDEFGHIJKLMNOPQRSTUVW") + QByteArray(1, '\0'), "ABCDEFGHIJKLMNOPQRSTUVW"},
      // An empty field in the middle writes 0 there: the phone's text ends before it.
      {"empty middle field", QStringLiteral("AB_D"),
       QByteArray("AB\0D", 4) + QByteArray(20, '\0'), "AB"},
      {"all empty", QString(), QByteArray(24, '\0'), ""},
      {"not one byte", QStringLiteral("A\u00e9C"), QByteArray("A?C") + QByteArray(21, '\0'), "A?C"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NewCase();
    StartPhone({{"cu_ref_hex", QString(48, QLatin1Char('f'))}});
    host_->SetCuRefTexts(CuFields(c.fields));
    EXPECT_TRUE(CuSecureBoot(job_).WriteCuRef());
    EXPECT_EQ(Logged(QStringLiteral("KV_WriteCURef")),
              QStringList{QStringLiteral("KV_WriteCURef text=") + QLatin1String(c.logged)});
    EXPECT_TRUE(host_->Results().empty());
    EXPECT_TRUE(host_->Outcomes().empty());
    EXPECT_EQ(QByteArray::fromHex(FinalState().value("cu_ref_hex").toString().toLatin1()),
              c.phone);
  }
}

TEST_F(CuSecureBootTest, ReadCuRefFillsEveryField) {
  QByteArray cu("AB\0D", 4);
  cu += QByteArray(19, '\0') + "Z";
  StartPhone({{"cu_ref_hex", QString::fromLatin1(cu.toHex())}});
  host_->SetCuRefTexts(CuFields(QStringLiteral("QQQQQQQQQQQQQQQQQQQQQQQQ")));
  EXPECT_TRUE(CuSecureBoot(job_).ReadCuRef());
  CuTexts expected;
  expected[0] = QStringLiteral("A");
  expected[1] = QStringLiteral("B");
  expected[3] = QStringLiteral("D");
  expected[23] = QStringLiteral("Z");  // the 24th field shows what the phone holds
  EXPECT_EQ(host_->CuRefTexts(), expected);
  EXPECT_TRUE(host_->Results().empty());
}

TEST_F(CuSecureBootTest, CuRefFailuresAreCounted) {
  struct Case {
    const char* call;
    const char* message;
    bool plain;  // the read's message stands alone; the write's is the verdict display
  };
  const Case cases[] = {
      {"KV_ReadCURef", "Read CU Reference failed!", true},
      {"KV_WriteCURef", "Write CU Reference failed\uFF01", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    NewCase();
    StartPhone({}, {QStringLiteral("--fail"), QLatin1String(c.call) + QStringLiteral("=34")});
    host_->SetCuRefTexts(CuFields(QStringLiteral("AB")));
    CuSecureBoot checks(job_);
    EXPECT_FALSE(std::string(c.call) == "KV_ReadCURef" ? checks.ReadCuRef() : checks.WriteCuRef());
    ExpectReported(QString::fromUtf8(c.message), ResultState::Fail, c.plain, {false});
    EXPECT_EQ(host_->Results().size(), 1u);
    EXPECT_EQ(host_->CuRefTexts(), CuFields(QStringLiteral("AB")));  // fields untouched
  }
}

// --- Secure boot ---

TEST_F(CuSecureBootTest, WriteSecureBootWords) {
  StartPhone();
  host_->SetSecureBootTexts({QStringLiteral("FFFFFFFF"), QStringLiteral("1a2b"),
                             QStringLiteral("0x10"), QString(), QStringLiteral("123456789ABC"),
                             QStringLiteral("not hex"), QStringLiteral("00000001")});
  EXPECT_TRUE(CuSecureBoot(job_).WriteSecureBoot());
  EXPECT_EQ(Logged(QStringLiteral("KV_WriteSecureBoot")),
            (QStringList{"KV_WriteSecureBoot index=0 value=0xffffffff",
                         "KV_WriteSecureBoot index=1 value=0x1a2b",
                         "KV_WriteSecureBoot index=2 value=0x10",
                         "KV_WriteSecureBoot index=3 value=0x0",
                         "KV_WriteSecureBoot index=4 value=0xffffffff",
                         "KV_WriteSecureBoot index=5 value=0x0",
                         "KV_WriteSecureBoot index=6 value=0x1"}));
  EXPECT_TRUE(host_->Results().empty());
  EXPECT_EQ(FinalState().value("secure_boot").toArray(),
            Words({4294967295.0, 0x1A2B, 0x10, 0, 4294967295.0, 0, 1}));
}

TEST_F(CuSecureBootTest, ReadSecureBootShowsLowerCaseHexWithoutLeadingZeros) {
  StartPhone({{"secure_boot", Words({4294967295.0, 0x1A2B, 0x10, 0, 1, 0xABCDEF, 2147483648.0})}});
  EXPECT_TRUE(CuSecureBoot(job_).ReadSecureBoot());
  EXPECT_EQ(host_->SecureBootTexts(),
            (BootTexts{"0xffffffff", "0x1a2b", "0x10", "0x0", "0x1", "0xabcdef", "0x80000000"}));
  EXPECT_EQ(Logged(QStringLiteral("KV_ReadSecureBoot")).size(), 7);
  EXPECT_TRUE(host_->Results().empty());
}

// A failure on item 3 leaves items 4-6 alone; it is shown, not counted.
TEST_F(CuSecureBootTest, FailureOnItemThreeStopsThere) {
  const BootTexts before{"0x1", "0x2", "0x3", "0x4", "0x5", "0x6", "0x7"};
  const QJsonArray onPhone = Words({11, 12, 13, 14, 15, 16, 17});
  const QStringList logged{"index=0", "index=1", "index=2", "index=3"};
  for (const char* call : {"KV_WriteSecureBoot", "KV_ReadSecureBoot"}) {
    SCOPED_TRACE(call);
    NewCase();
    StartPhone({{"secure_boot", onPhone}},
               {QStringLiteral("--fail-when"), QLatin1String(call) + QStringLiteral(":3=34")});
    host_->SetSecureBootTexts(before);
    CuSecureBoot checks(job_);
    const bool write = std::string(call) == "KV_WriteSecureBoot";
    EXPECT_FALSE(write ? checks.WriteSecureBoot() : checks.ReadSecureBoot());
    QStringList sent;
    for (const QString& l : Logged(QLatin1String(call))) sent << l.section(QLatin1Char(' '), 1, 1);
    EXPECT_EQ(sent, logged);
    ExpectReported(QStringLiteral("Read SecureBoot Failed!"), ResultState::Fail, false, {});
    if (write) {
      EXPECT_EQ(FinalState().value("secure_boot").toArray(), Words({1, 2, 3, 14, 15, 16, 17}));
    } else {
      // Items 0-2 were read; the rest keep their texts.
      EXPECT_EQ(host_->SecureBootTexts(),
                (BootTexts{"0xb", "0xc", "0xd", "0x4", "0x5", "0x6", "0x7"}));
    }
  }
}

TEST_F(CuSecureBootTest, EnableSecureBoot) {
  for (const bool fails : {false, true}) {
    SCOPED_TRACE(fails);
    NewCase();
    StartPhone({}, fails ? QStringList{"--fail", "KV_EnableSecureBoot=34"} : QStringList{});
    EXPECT_EQ(CuSecureBoot(job_).EnableSecureBoot(), !fails);
    if (fails) {
      ExpectReported(QStringLiteral("Enable SecureBoot Failed!"), ResultState::Fail, false, {});
    } else {
      EXPECT_TRUE(host_->Results().empty());
    }
    EXPECT_EQ(FinalState().value("secure_boot_enabled").toBool(), !fails);
  }
}

}  // namespace
}  // namespace kestrel::station::testing
