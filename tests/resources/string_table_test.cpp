#include "resources/string_table.h"
#include "resources/message_format.h"

#include <gtest/gtest.h>

namespace kestrel::resources {
namespace {

TEST(StringTable, KeepsTextsExactlyWithTrailingBlanksAndCrLf) {
  EXPECT_EQ(LoadString(104), QString::fromUtf8("באמצע תהליך שינוי IMEI "));
  EXPECT_EQ(LoadString(113), QStringLiteral("Create Stagemark object  failed!"));
  EXPECT_EQ(LoadString(170), QStringLiteral("Input BT Address is invalid. Format: %s\r\n"));
  EXPECT_EQ(LoadString(175), QString::fromUtf8("Write CU Reference failed！"));
  for (int id = kFirstStringId; id <= kLastStringId; ++id) {
    EXPECT_FALSE(LoadString(id).isEmpty()) << id;
  }
  EXPECT_TRUE(LoadString(100).isEmpty());
  EXPECT_TRUE(LoadString(187).isEmpty());
}

class FixedProvider : public StringProvider {
 public:
  bool Lookup(int id, QString* text) const override {
    if (id != 109) return false;
    *text = QStringLiteral("Ready");
    return true;
  }
};

TEST(StringTable, ProviderAnswersFirstAndFallsBackToBuiltIn) {
  FixedProvider provider;
  SetStringProvider(&provider);
  EXPECT_EQ(LoadString(109), QStringLiteral("Ready"));
  EXPECT_EQ(LoadString(107), QStringLiteral("Open port %d failed !"));
  SetStringProvider(nullptr);
  EXPECT_EQ(LoadString(109), QString::fromUtf8("מוכן"));
}

TEST(MessageFormat, FormatsTheConversionsTheTableUses) {
  EXPECT_EQ(FormatString(106, {std::int64_t{39}}),
            QStringLiteral("Write IMEI failed ! Error code: 39 ! "));
  EXPECT_EQ(FormatString(137, {std::int64_t{75}}), QStringLiteral("Yiled: 75%"));
  EXPECT_EQ(FormatString(127, {QStringLiteral("RF")}),
            QStringLiteral("PRE0STATION RF is not passed!"));
  EXPECT_EQ(FormatText(QStringLiteral("%04d|%-3d|%x|%X|%08x"),
                       {std::int64_t{7}, std::int64_t{5}, std::int64_t{255}, std::int64_t{255},
                        std::int64_t{0x1234}}),
            QStringLiteral("0007|5  |ff|FF|00001234"));
  EXPECT_EQ(FormatText(QStringLiteral("%05d"), {std::int64_t{-42}}), QStringLiteral("-0042"));
}

TEST(MessageFormat, MismatchedOrMissingArgumentsNeverReadBeyondWhatWasGiven) {
  // A translated text may carry conversions the caller did not plan for.
  EXPECT_EQ(FormatText(QStringLiteral("%s and %d and %s"), {std::int64_t{3}}),
            QStringLiteral("3 and 0 and "));
  EXPECT_EQ(FormatText(QStringLiteral("%d"), {QStringLiteral("abc")}), QStringLiteral("0"));
  EXPECT_EQ(FormatText(QStringLiteral("100%"), {}), QStringLiteral("100%"));
  EXPECT_EQ(FormatText(QStringLiteral("%q %%"), {}), QStringLiteral("%q %"));
}

}  // namespace
}  // namespace kestrel::resources
