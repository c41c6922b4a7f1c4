// The identity entry fields driven by a scanner: focus advance, character filters, the SN
// cut, the IMEI1 copy, the terminating keys, and the pre-job identity check's order and
// messages.
#include "tests/station/station_fixture.h"

#include "resources/message_format.h"
#include "resources/string_table.h"
#include "ui/colour_label.h"

#include <QDir>

#include <functional>

namespace kestrel::station::testing {
namespace {

using resources::FormatString;
using resources::LoadString;

constexpr char kImei1[] = "356789012345672";  // valid check digit
constexpr char kImei2[] = "356789012345680";
constexpr char kImei3[] = "356789012345698";

// The first line of the result text (the message, without the identity lines).
QString Message(StationController& w) {
  return w.ResultText().section(QLatin1Char('\n'), 0, 0);
}

TEST_F(StationWindowTest, FifteenDigitsMoveTheFocusOnAndASixteenthStartsTheNextField) {
  Open("[General]\nIMEI1=1\nIMEI2=1\n");
  EXPECT_EQ(Focus(), EditOf(ids::kImei1));
  Scan(QStringLiteral("35678901234567"));
  EXPECT_EQ(Focus(), EditOf(ids::kImei1));
  Scan(QStringLiteral("2"));
  EXPECT_EQ(Focus(), EditOf(ids::kImei2));
  EXPECT_FALSE(W().ReadyToWrite());
  Scan(QStringLiteral("9"));  // a 16th digit of the same code
  EXPECT_EQ(Focus(), EditOf(ids::kImei2));
  EXPECT_EQ(EditOf(ids::kImei1)->text(), QString::fromLatin1(kImei1));
  EXPECT_EQ(EditOf(ids::kImei2)->text(), QStringLiteral("9"));
  EXPECT_FALSE(W().ReadyToWrite());
  EXPECT_EQ(W().Identities().IMEI1, QString::fromLatin1(kImei1));
}

TEST_F(StationWindowTest, CharacterFiltersEmptyTheField) {
  Open("[General]\nIMEI1=1\nBT_ADDR=1\n");
  Scan(QStringLiteral("35678a"));
  EXPECT_EQ(EditOf(ids::kImei1)->text(), QString());
  EXPECT_EQ(W().Identities().IMEI1, QString());

  EditOf(ids::kBluetooth)->setFocus();
  Scan(QStringLiteral("00aBcD"));
  EXPECT_EQ(EditOf(ids::kBluetooth)->text(), QStringLiteral("00aBcD"));
  Scan(QStringLiteral("g"));
  EXPECT_EQ(EditOf(ids::kBluetooth)->text(), QString());
  Scan(QStringLiteral("0011223344ff"));
  EXPECT_TRUE(W().ReadyToWrite());  // nothing after Bluetooth needs input
  EXPECT_EQ(W().Identities().BT, QStringLiteral("0011223344ff"));
}

TEST_F(StationWindowTest, ALongSerialNumberIsCutAndCompletesTheEntry) {
  Open("[General]\nWriteSN=1\nSN1=1\nSN2=1\nSN Length=8\n");
  EXPECT_EQ(Focus(), EditOf(ids::kSn1));
  Scan(QStringLiteral("AB123456"));
  EXPECT_EQ(Focus(), EditOf(ids::kSn2));
  EXPECT_FALSE(W().ReadyToWrite());
  // A pasted (or over-long scanned) code of SNLength + 3.
  EditOf(ids::kSn2)->setText(QStringLiteral("CD654321XYZ"));
  EXPECT_EQ(EditOf(ids::kSn2)->text(), QStringLiteral("CD654321"));
  EXPECT_EQ(EditOf(ids::kSn2)->cursorPosition(), 8);
  EXPECT_EQ(W().Identities().SN2, QStringLiteral("CD654321"));
  EXPECT_TRUE(W().ReadyToWrite());
  Scan(QStringLiteral("Q"));  // typed past the length: cut again, still complete
  EXPECT_EQ(EditOf(ids::kSn2)->text(), QStringLiteral("CD654321"));
  EXPECT_TRUE(W().ReadyToWrite());
}

TEST_F(StationWindowTest, EverythingGeneratedFocusesWriteAndTheWriteKeyStartsOnce) {
  // IMEI1 generated and refused as used before, so that each start counts one failure.
  const QByteArray ini =
      "[General]\nIMEI1=1\nIMEI1GenMode=1\nAutoCreateIMEI=1\nDefaultIMEI=35678901234567\n"
      "BT_ADDR=1\nAutoGenerateBT_ADDR=1\nCheckRepeat=1\n[Control]\nTavixNew=1\n";
  dir_.Write(QStringLiteral("IMEI.txt"), "2026-01-01-00-00-00, IMEI:356789012345672\r\n");
  Open(ini);
  EXPECT_EQ(EditOf(ids::kImei1)->text(), QString::fromLatin1(kImei1));
  EXPECT_EQ(EditOf(ids::kBluetooth)->text().size(), 12);
  EXPECT_EQ(Focus(), ButtonOf(ids::kWrite));
  EXPECT_TRUE(W().ReadyToWrite());
  PressKey(Qt::Key_Return);
  EXPECT_EQ(Message(W()), FormatString(133, {std::int64_t{1}}));
  EXPECT_EQ(W().FailCount(), 1U);  // one start, not a second one from the focused button
  // The refusal prepared the next identities: the same generated IMEI, Write focused again.
  EXPECT_EQ(EditOf(ids::kImei1)->text(), QString::fromLatin1(kImei1));
  EXPECT_TRUE(W().ReadyToWrite());
}

TEST_F(StationWindowTest, SpaceAsWriteKeyOnTheFocusedWriteButtonStartsOnce) {
  const QByteArray ini =
      "[SCANNER]\nOnWrite=1\n[General]\nIMEI1=1\nIMEI1GenMode=1\nAutoCreateIMEI=1\n"
      "DefaultIMEI=35678901234567\nCheckRepeat=1\n";
  dir_.Write(QStringLiteral("IMEI.txt"), "x 356789012345672\r\n");
  Open(ini);
  ASSERT_EQ(W().Settings().WriteKey, 32);
  ASSERT_EQ(Focus(), ButtonOf(ids::kWrite));
  PressKey(Qt::Key_Space);
  EXPECT_EQ(W().FailCount(), 1U);
}

TEST_F(StationWindowTest, SameImeiCopiesACompletedImei1IntoTheOtherSlots) {
  Open("[General]\nIMEI1=1\nIMEI2=1\nIMEI3=1\nIMEI4=1\nUseSameIMEI=1\n");
  EXPECT_FALSE(EditOf(ids::kImei2)->isEnabled());
  Scan(QString::fromLatin1(kImei1));
  for (int id : {ids::kImei2, ids::kImei3, ids::kImei4}) {
    EXPECT_EQ(EditOf(id)->text(), QString::fromLatin1(kImei1)) << id;
  }
  const identity::IdentitySet s = W().Identities();
  EXPECT_EQ(s.IMEI4, QString::fromLatin1(kImei1));
  EXPECT_TRUE(W().ReadyToWrite());
}

TEST_F(StationWindowTest, TheScannersEnterAfterTheLastFieldStartsTheWrite) {
  Open("[General]\nIMEI1=1\nCheckValid=1\n");
  Scan(QString::fromLatin1(kImei1));
  EXPECT_TRUE(W().ReadyToWrite());
  PressKey(Qt::Key_Return);
  // Accepted by the identity check, the job starts; no phone is connected, so the phone test
  // cannot be opened and the phone counts as failed.
  EXPECT_EQ(Message(W()), FormatString(107, {std::int64_t{W().Settings().Port}}));
  EXPECT_EQ(W().FailCount(), 1U);

  // A bad check digit is refused, counted, and the scanned field emptied.
  EditOf(ids::kImei1)->selectAll();
  Scan(QStringLiteral("356789012345673"));
  PressKey(Qt::Key_Return);
  EXPECT_EQ(Message(W()), FormatString(118, {std::int64_t{1}}));
  EXPECT_EQ(W().ResultText(),
            FormatString(118, {std::int64_t{1}}) + QStringLiteral("\nIMEI1:356789012345673\n"));
  EXPECT_EQ(W().FailCount(), 2U);
  EXPECT_EQ(EditOf(ids::kImei1)->text(), QString());
  EXPECT_EQ(Focus(), EditOf(ids::kImei1));
}

TEST_F(StationWindowTest, TheReadKeyStartsAReadWithIncompleteFields) {
  Open("[General]\nIMEI1=1\nIMEI2=1\n[Control]\nTavixNew=1\n");
  Scan(QStringLiteral("3567"));
  PressKey(Qt::Key_Space);  // ReadKey 32
  // Read mode accepts whatever the fields hold; without a phone the phone test fails to open.
  EXPECT_EQ(Message(W()), FormatString(107, {std::int64_t{W().Settings().Port}}));
  EXPECT_EQ(W().FailCount(), 1U);
  EXPECT_FALSE(W().ReadJob());
  EXPECT_TRUE(ButtonOf(ids::kRead)->isEnabled());
}

TEST_F(StationWindowTest, DuplicateImeisAreRefusedBeforeTheLengthCheck) {
  Open("[General]\nIMEI1=1\nIMEI2=1\nIMEI3=1\n");
  Scan(QStringLiteral("35678901234"));  // short
  EditOf(ids::kImei3)->setText(QStringLiteral("35678901234"));
  EditOf(ids::kImei2)->setText(QString::fromLatin1(kImei2));
  EXPECT_FALSE(W().CheckIdentitiesBeforeJob());
  EXPECT_EQ(W().ResultText(), LoadString(164));

  EditOf(ids::kImei3)->setText(QString::fromLatin1(kImei3));
  EXPECT_FALSE(W().CheckIdentitiesBeforeJob());
  EXPECT_EQ(W().ResultText(), LoadString(116));
}

TEST_F(StationWindowTest, TheIdentityCheckRefusesInItsOrder) {
  Open(
      "[General]\nIMEI1=1\nBT_ADDR=1\nWIFI_ADDR=1\nForeWIFI=00037F\nWriteSN=1\nSN1=1\n"
      "SN Length=8\nCheckValid=1\nCheck BT Valid=1\nBT   Addr. Format=1122\n");
  auto put = [this](int id, const char* text) { EditOf(id)->setText(QString::fromLatin1(text)); };
  put(ids::kImei1, kImei1);
  put(ids::kBluetooth, "00112233");
  put(ids::kWifi, "01037F123456");
  put(ids::kSn1, "AB12");
  EXPECT_FALSE(W().CheckIdentitiesBeforeJob());
  EXPECT_EQ(W().ResultText(), LoadString(117));
  put(ids::kBluetooth, "0011223344FF");
  EXPECT_FALSE(W().CheckIdentitiesBeforeJob());
  EXPECT_EQ(W().ResultText(), LoadString(151));
  put(ids::kSn1, "AB-12345");
  EXPECT_FALSE(W().CheckIdentitiesBeforeJob());
  EXPECT_EQ(W().ResultText(), LoadString(146));
  put(ids::kWifi, "00037E123456");
  EXPECT_FALSE(W().CheckIdentitiesBeforeJob());
  EXPECT_EQ(W().ResultText(), LoadString(147));
  put(ids::kWifi, "00037f123456");  // the prefix is compared without regard to case
  put(ids::kImei1, "356789012345671");
  EXPECT_FALSE(W().CheckIdentitiesBeforeJob());
  EXPECT_EQ(W().ResultText(), FormatString(118, {std::int64_t{1}}));
  put(ids::kImei1, kImei1);
  EXPECT_FALSE(W().CheckIdentitiesBeforeJob());
  EXPECT_EQ(W().ResultText(), FormatString(158, {std::int64_t{1}}));
  put(ids::kSn1, "AB123456");
  // 0011223344FF contains 1122 (a substring, not a prefix).
  EXPECT_TRUE(W().CheckIdentitiesBeforeJob());
  put(ids::kBluetooth, "001133224455");
  EXPECT_FALSE(W().CheckIdentitiesBeforeJob());
  EXPECT_EQ(W().ResultText(),
            QStringLiteral("Input BT Address is invalid. Format: 1122XXXXXXXX\r\n"));
}

TEST_F(StationWindowTest, ReadModeAcceptsEmptyFieldsButNotAnEmptySelection) {
  Open("[General]\nIMEI1=1\nBT_ADDR=1\n[Control]\nTavixNew=1\n");
  Click(ids::kRead);
  // Accepted: the read starts (and without a phone cannot open its phone test).
  EXPECT_EQ(Message(W()), FormatString(107, {std::int64_t{W().Settings().Port}}));
  window_.reset();

  Open("[General]\nIMEI1=0\n[Control]\nTavixNew=1\n");
  Click(ids::kRead);
  EXPECT_EQ(Message(W()), LoadString(121));
}

TEST_F(StationWindowTest, AReusedImeiIsRefusedWithItsSlotNumber) {
  Open("[General]\nIMEI1=1\nIMEI2=1\nCheckRepeat=1\nSaveIMEI=1\nSaveToTxt=1\n");
  dir_.Write(QStringLiteral("IMEI.txt"), "2026-01-01-00-00-00, IMEI:356789012345680\r\n");
  Scan(QString::fromLatin1(kImei1));
  Scan(QString::fromLatin1(kImei2));
  Click(ids::kWrite);
  EXPECT_EQ(Message(W()), FormatString(133, {std::int64_t{2}}));
  EXPECT_EQ(W().FailCount(), 1U);
  // Both scanned fields are emptied for the next scan; the focus is back on IMEI1.
  EXPECT_EQ(EditOf(ids::kImei1)->text(), QString());
  EXPECT_EQ(EditOf(ids::kImei2)->text(), QString());
  EXPECT_EQ(Focus(), EditOf(ids::kImei1));
}

TEST_F(StationWindowTest, AcceptedSettingsClearTheTypedFieldsAndPrepareAgain) {
  Open("[General]\nIMEI1=1\nEndAddrForBT=0102030405FF\n[Control]\nUser Privilege=1\n");
  Scan(QStringLiteral("3567"));
  W().SetResultText(QStringLiteral("old"));
  W().ShowResult(ResultState::Fail);
  W().SetSettingsDialogRunner([](config::StationSettings& s) {
    s.BT_ADDR = 1;  // Bluetooth now typed too
    s.IMEI1Enabled = 0;
    return true;
  });
  Click(ids::kSetting);
  EXPECT_EQ(EditOf(ids::kImei1)->text(), QString());
  EXPECT_EQ(W().ResultText(), LoadString(109));
  EXPECT_EQ(static_cast<ui::ColourLabel*>(W().Control(ids::kResult))->BrushColour(),
            QColor(100, 150, 200));
  EXPECT_EQ(Focus(), EditOf(ids::kBluetooth));
  EXPECT_TRUE(EditOf(ids::kBluetooth)->isEnabled());
  EXPECT_EQ(W().Settings().EndBTValue, 0x0102030405FFULL);
}

TEST_F(StationWindowTest, AfterSettingSaveTheScannersEnterStartsNothingUntilTheEntryIsComplete) {
  const struct {
    const char* name;
    std::function<void(config::StationSettings&)> save;
    int focus;
  } cases[] = {
      {"the same settings: the scanned IMEI1 is emptied", [](config::StationSettings&) {},
       ids::kImei1},
      {"IMEI1 now generated, Bluetooth now scanned",
       [](config::StationSettings& s) {
         s.IMEI1GenMode = 1;
         s.AutoCreateIMEI = 1;
         s.BT_ADDR = 1;
       },
       ids::kBluetooth},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Open("[General]\nIMEI1=1\n[Control]\nUser Privilege=1\n");
    Scan(QString::fromLatin1(kImei1));
    ASSERT_TRUE(W().ReadyToWrite());
    W().SetSettingsDialogRunner([&c](config::StationSettings& s) {
      c.save(s);
      return true;
    });
    Click(ids::kSetting);
    EXPECT_FALSE(W().ReadyToWrite());
    PressKey(Qt::Key_Return);
    EXPECT_EQ(W().ResultText(), LoadString(109));
    EXPECT_EQ(W().FailCount(), 0U);
    EXPECT_EQ(Focus(), EditOf(c.focus));
    window_.reset();  // its job records written
    EXPECT_TRUE(QDir(dir_.File(QStringLiteral("Log")))
                    .entryList({QStringLiteral("jobs-*")}, QDir::Files)
                    .isEmpty());
  }
}

}  // namespace
}  // namespace kestrel::station::testing
