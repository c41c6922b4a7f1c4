// The Settings dialog on a record loaded from a Kestrel.ini, driven with clicks and typed
// keys: the opening states, the reactions, the key filter and the base-IMEI rule, the three
// checks of Save (which store nothing when one refuses), what Save stores, the layout without
// serial numbers, the address-file picker, and a screenshot.
#include "ui/settings_dialog.h"

#include "config/settings_load.h"
#include "resources/message_format.h"
#include "resources/string_table.h"
#include "tests/support/test_support.h"
#include "tests/ui/dialog_driver.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>

#include <memory>
#include <string>
#include <vector>

namespace kestrel::ui {
namespace {

namespace id = settings_ids;
namespace msg = settings_messages;
using config::StationSettings;
using testing::ClickOn;
using testing::ExpectNoClippedTexts;
using testing::TypeInto;
using testing::WhenModal;

class SettingsDialogTest : public ::testing::Test {
 protected:
  void TearDown() override {
    dialog_.reset();
    QApplication::processEvents();
  }

  // Loads `ini` as the station does, then opens the dialog on the record.
  SettingsDialog& Open(const QByteArray& ini) {
    const QString path = dir_.Write(QStringLiteral("Kestrel.ini"), ini);
    settings_ = config::LoadSettings(path, config::SettingsLoadContext{});
    return OpenOnRecord();
  }
  SettingsDialog& OpenOnRecord() {
    dialog_ = std::make_unique<SettingsDialog>(&settings_);
    dialog_->SetMessagePresenter([this](const QString& text) { messages_ << text; });
    dialog_->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
    opened_ = settings_;
    return *dialog_;
  }

  QWidget* W(int controlId) {
    QWidget* w = dialog_->Control(controlId);
    EXPECT_NE(w, nullptr) << controlId;
    return w;
  }
  QCheckBox* Box(int controlId) { return qobject_cast<QCheckBox*>(W(controlId)); }
  QLineEdit* Edit(int controlId) { return qobject_cast<QLineEdit*>(W(controlId)); }
  QComboBox* List(int controlId) { return qobject_cast<QComboBox*>(W(controlId)); }
  void Click(int controlId) { ClickOn(W(controlId)); }
  void Save() { Click(id::kSave); }
  QString LastMessage() const { return messages_.isEmpty() ? QString() : messages_.last(); }

  kestrel::testing::StationDir dir_;
  StationSettings settings_;
  StationSettings opened_;  // the record as the dialog left it after opening
  std::unique_ptr<SettingsDialog> dialog_;
  QStringList messages_;
};

TEST_F(SettingsDialogTest, ImeiBoxesEnableEachOtherAsAChain) {
  Open("[General]\nIMEI1=0\n");
  const int watched[] = {id::kImei2, id::kImei3, id::kImei4, id::kSameImei,
                         id::kImei1List, id::kImei1List + 1, id::kImei1List + 2, id::kImei4List};
  auto states = [&] {
    std::string s;
    for (const int c : watched) {
      s += W(c)->isEnabled() ? 'E' : 'd';
      if (auto* b = qobject_cast<QCheckBox*>(W(c))) s += b->isChecked() ? 'x' : '-';
      s += ' ';
    }
    return s;
  };
  //                    IMEI2 IMEI3 IMEI4 Same  lists 1080-1083
  EXPECT_EQ(states(), "d- d- d- d- d d d d ");
  const struct {
    int click;
    const char* after;
  } steps[] = {
      {id::kImei1, "E- E- E- d- E d d d "},     // IMEI1 enables 2-4, not Same IMEI
      {id::kImei2, "Ex E- E- E- E E d d "},     // IMEI2 enables Same IMEI
      {id::kImei3, "Ex Ex E- E- E E E d "},
      {id::kSameImei, "Ex Ex E- Ex E d d d "},  // Same IMEI shuts the lists of 2-4
      {id::kImei2, "E- Ex E- Ex E d E d "},     // IMEI3 still ticked: Same IMEI stays
      {id::kImei3, "E- E- E- d- E d d d "},     // the last one unticks and disables it
      {id::kImei4, "E- E- Ex E- E d d E "},
      {id::kImei1, "d- d- d- d- d d d d "},     // IMEI1 off takes everything with it
  };
  for (const auto& step : steps) {
    Click(step.click);
    EXPECT_EQ(states(), step.after) << "after clicking " << step.click;
  }
}

TEST_F(SettingsDialogTest, GenerationListsHoldTheStringTableTextsRightToLeft) {
  Open("[General]\nIMEI1=1\nIMEI2=1\nIMEI1GenMode=2\nIMEI2GenMode=2\n");
  QComboBox* first = List(id::kImei1List);
  QComboBox* second = List(id::kImei1List + 1);
  ASSERT_EQ(first->count(), 2);
  ASSERT_EQ(second->count(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(second->itemText(i), resources::LoadString(160 + i));
  EXPECT_EQ(first->layoutDirection(), Qt::RightToLeft);
  // IMEI1 has no "incremented" entry: a loaded 2 shows as index 1 and becomes 1 in the record,
  // which stays so after Cancel. IMEI2 keeps its 2.
  EXPECT_EQ(first->currentIndex(), 1);
  EXPECT_EQ(second->currentIndex(), 2);
  EXPECT_EQ(settings_.IMEI1GenMode, 1);
  Click(id::kCancel);
  EXPECT_EQ(dialog_->result(), QDialog::Rejected);
  EXPECT_EQ(settings_.IMEI1GenMode, 1);
  EXPECT_EQ(settings_.IMEI2GenMode, 2);
}

TEST_F(SettingsDialogTest, BaseImeiMustBeFourteenDigitsOnlyWhenCreatedAutomatically) {
  const struct {
    const char* ini;
    const char* typed;  // null: the field is left as opened
    bool fieldEnabled;
    QString refusal;  // empty: accepted
    const char* stored;
  } cases[] = {
      {"IMEI1=1\nAutoCreateIMEI=1\nDefaultIMEI=35000000000001\n", "1234567890123", true,
       msg::kBaseImeiLength, nullptr},
      {"IMEI1=1\nAutoCreateIMEI=1\nDefaultIMEI=35000000000001\n", "", true, msg::kBaseImeiLength,
       nullptr},
      {"IMEI1=1\nAutoCreateIMEI=1\nDefaultIMEI=35000000000001\n", "12345678901234", true, {},
       "12345678901234"},
      {"IMEI1=1\nAutoCreateIMEI=1\nDefaultIMEI=123\n", nullptr, true, msg::kBaseImeiLength,
       nullptr},
      // Without automatic creation the field is shut and any base is accepted as it stands.
      {"IMEI1=1\nAutoCreateIMEI=0\nDefaultIMEI=123\n", nullptr, false, {}, "123"},
      {"IMEI1=1\nAutoCreateIMEI=0\nDefaultIMEI=123\n", "99999999999999", false, {}, "123"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.ini) + " typed " + (c.typed ? c.typed : "(nothing)"));
    messages_.clear();
    Open(QByteArray("[General]\n") + c.ini);
    EXPECT_EQ(Edit(id::kBaseImei)->isEnabled(), c.fieldEnabled);
    if (c.typed != nullptr) TypeInto(Edit(id::kBaseImei), QString::fromLatin1(c.typed));
    Save();
    if (c.refusal.isEmpty()) {
      EXPECT_TRUE(messages_.isEmpty()) << LastMessage().toStdString();
      EXPECT_EQ(dialog_->result(), QDialog::Accepted);
      EXPECT_EQ(settings_.DefaultIMEI, QString::fromLatin1(c.stored));
    } else {
      EXPECT_EQ(LastMessage(), c.refusal);
      EXPECT_TRUE(dialog_->isVisible());
      EXPECT_EQ(settings_, opened_);
    }
  }
}

TEST_F(SettingsDialogTest, ANonDigitEmptiesTheWholeBaseImeiField) {
  Open("[General]\nIMEI1=1\nAutoCreateIMEI=1\nDefaultIMEI=35000000000001\n");
  QLineEdit* base = Edit(id::kBaseImei);
  EXPECT_EQ(base->text(), QStringLiteral("35000000000001"));
  const struct {
    const char* typed;
    const char* shown;
  } cases[] = {
      {"123", "123"}, {"12345a", ""}, {"a", ""}, {"9 9", "9"}, {"1234567890123456", "12345678901234"},
  };
  for (const auto& c : cases) {
    TypeInto(base, QString::fromLatin1(c.typed));
    EXPECT_EQ(base->text(), QString::fromLatin1(c.shown)) << c.typed;
  }
  // Digits typed after the field was emptied start a new base.
  TypeInto(base, QStringLiteral("12a"));
  QTest::keyClicks(base, QStringLiteral("77"));
  EXPECT_EQ(base->text(), QStringLiteral("77"));
}

TEST_F(SettingsDialogTest, VersionMustBeLongerThanTheLowerLimitAndApVersionThanFive) {
  const QString limit5 = resources::FormatString(163, {std::int64_t{5}});
  ASSERT_EQ(limit5, QStringLiteral("The length of version must be > 5 !"));
  const struct {
    const char* version;
    const char* apVersion;  // null: AP version not checked
    QString refusal;
    const char* storedVersion;
  } cases[] = {
      {"12345", nullptr, limit5, nullptr},
      {"  12345  ", nullptr, limit5, nullptr},  // blanks at the ends do not count
      {"", nullptr, msg::kVersionMissing, nullptr},
      {"   ", nullptr, msg::kVersionMissing, nullptr},
      {"123456", nullptr, {}, "123456"},
      {" 1.2.3.4 ", nullptr, {}, "1.2.3.4"},
      {"123456", "12345", msg::kApVersionShort, nullptr},
      {"123456", "", msg::kApVersionShort, nullptr},
      {"123456", "AP_V01", {}, "123456"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("version '") + c.version + "' AP " + (c.apVersion ? c.apVersion : "-"));
    messages_.clear();
    Open("[PHONE]\nCheckVer=1\nVer Length LowerLimit=5\nVersion=LOADED1\n");
    ASSERT_TRUE(Box(id::kCheckVersion)->isChecked());
    EXPECT_EQ(Edit(id::kVersion)->text(), QStringLiteral("LOADED1"));
    TypeInto(Edit(id::kVersion), QString::fromLatin1(c.version));
    if (c.apVersion != nullptr) {
      Click(id::kCheckApVersion);
      EXPECT_TRUE(Edit(id::kApVersion)->isEnabled());
      TypeInto(Edit(id::kApVersion), QString::fromLatin1(c.apVersion));
    }
    Save();
    if (c.refusal.isEmpty()) {
      EXPECT_TRUE(messages_.isEmpty()) << LastMessage().toStdString();
      EXPECT_EQ(settings_.Version, QString::fromLatin1(c.storedVersion));
      EXPECT_EQ(settings_.CheckVer, 1);
      EXPECT_EQ(settings_.CheckAPVersion, c.apVersion != nullptr ? 1 : 0);
      if (c.apVersion != nullptr) {
        EXPECT_EQ(settings_.APVersion, QString::fromLatin1(c.apVersion));
      }
    } else {
      EXPECT_EQ(messages_, QStringList{c.refusal});
      EXPECT_EQ(settings_, opened_);
    }
  }
}

TEST_F(SettingsDialogTest, ARefusedSaveStoresNothingAndCancelThenKeepsTheOpenedRecord) {
  Open("[General]\nIMEI1=1\nIMEI2=1\nIMEI1GenMode=2\nAutoCreateIMEI=1\nDefaultIMEI=35000000000001\n"
       "CheckRepeat=0\nBT_ADDR=1\nAutoGenerateBT_ADDR=1\nAutoGenerateBTAddrType=1\n"
       "[PHONE]\nCheckVer=1\nVer Length LowerLimit=3\nVersion=V1.0.0\n");
  // The opening made its two corrections only.
  StationSettings expected = opened_;
  EXPECT_EQ(opened_.IMEI1GenMode, 1);
  // Edits everywhere, with all three checked values wrong: each Save names the first one.
  Click(id::kCheckRepeat);
  Click(id::kImei2);
  Click(id::kCheckApVersion);
  TypeInto(Edit(id::kBtInitialAddr), QStringLiteral("AABBCCDDEEFF"));
  TypeInto(Edit(id::kBaseImei), QStringLiteral("123"));
  TypeInto(Edit(id::kVersion), QStringLiteral("V1"));
  TypeInto(Edit(id::kApVersion), QStringLiteral("AP"));
  const struct {
    int field;
    const char* correction;
    QString refusal;
  } rounds[] = {
      {id::kBaseImei, "35000000000099", msg::kBaseImeiLength},
      {id::kVersion, "V1.0.1", resources::FormatString(163, {std::int64_t{3}})},
      {id::kApVersion, "AP_V0001", msg::kApVersionShort},
  };
  for (const auto& r : rounds) {
    Save();
    EXPECT_EQ(LastMessage(), r.refusal);
    EXPECT_EQ(settings_, expected) << "a refused Save changed the record";
    TypeInto(Edit(r.field), QString::fromLatin1(r.correction));
  }
  Click(id::kCancel);
  EXPECT_EQ(dialog_->result(), QDialog::Rejected);
  EXPECT_EQ(settings_, expected);
  EXPECT_EQ(messages_.size(), 3);
}

TEST_F(SettingsDialogTest, OpeningCorrectsStagemarkWithoutTheNewPlatform) {
  Open("[General]\nStagemark=1\n[Control]\nTavixNew=1\n");
  EXPECT_TRUE(Box(id::kStagemark)->isChecked());
  EXPECT_TRUE(Box(id::kStagemark)->isEnabled());
  // The same record without TavixNew: the box is shut and the record corrected at opening.
  settings_.TavixNew = 0;
  settings_.Stagemark = 1;
  OpenOnRecord();
  EXPECT_FALSE(Box(id::kStagemark)->isChecked());
  EXPECT_FALSE(Box(id::kStagemark)->isEnabled());
  EXPECT_EQ(settings_.Stagemark, 0);
  Click(id::kCancel);
  EXPECT_EQ(settings_.Stagemark, 0);
}

TEST_F(SettingsDialogTest, ResultStoreBoxesActAsOneSwitch) {
  // Opening states: "Save IMEI", then txt and mdb as ticked (x/-) and enabled (E/d).
  const struct {
    const char* ini;
    const char* states;
  } openings[] = {
      {"SaveIMEI=0\nSaveToTxt=1\n", "- -d -d"},
      {"SaveIMEI=1\nSaveToTxt=1\n", "x xE -d"},
      {"SaveIMEI=1\nSaveToTxt=0\n", "x -d xE"},
  };
  auto states = [&] {
    auto two = [](QCheckBox* b) {
      return std::string(1, b->isChecked() ? 'x' : '-') + (b->isEnabled() ? 'E' : 'd');
    };
    return std::string(1, Box(id::kSaveImei)->isChecked() ? 'x' : '-') + " " +
           two(Box(id::kSaveToTxt)) + " " + two(Box(id::kSaveToMdb));
  };
  for (const auto& o : openings) {
    Open(QByteArray("[General]\n") + o.ini);
    EXPECT_EQ(states(), o.states) << o.ini;
  }

  Open("[General]\nSaveIMEI=0\n");
  const struct {
    int click;
    const char* states;
  } steps[] = {
      {id::kSaveImei, "x xE -d"},
      {id::kSaveToTxt, "x -d xE"},  // clicking the ticked one moves the choice
      {id::kSaveToMdb, "x xE -d"},
      {id::kSaveToMdb, "x xE -d"},  // disabled: the click does nothing
      {id::kSaveToTxt, "x -d xE"},
  };
  for (const auto& s : steps) {
    Click(s.click);
    EXPECT_EQ(states(), s.states) << "after clicking " << s.click;
  }
  Save();
  EXPECT_EQ(settings_.SaveIMEI, 1);
  EXPECT_EQ(settings_.SaveToTxt, 0);

  Open("[General]\nSaveIMEI=1\nSaveToTxt=1\n");
  Click(id::kSaveImei);
  EXPECT_EQ(states(), "- -d -d");
  Save();
  EXPECT_EQ(settings_.SaveIMEI, 0);
  EXPECT_EQ(settings_.SaveToTxt, 0);
}

TEST_F(SettingsDialogTest, InitialAddressFieldsTakeOnlyHexDigitsAndBackspace) {
  Open("[General]\nBT_ADDR=1\nAutoGenerateBT_ADDR=1\nAutoGenerateBTAddrType=1\n"
       "WIFI_ADDR=1\nAutoWIFI_ADDR=1\nAutoGenerateWifiMacType=1\n");
  const struct {
    int field;
    const char* typed;
    const char* shown;
  } cases[] = {
      {id::kBtInitialAddr, "0aB9fF", "0aB9fF"},
      {id::kBtInitialAddr, "xyz", ""},
      {id::kBtInitialAddr, "12:34-56 78", "12345678"},
      {id::kWifiInitialAddr, "gG00hH", "00"},
      {id::kWifiInitialAddr, "00037F00000A99", "00037F00000A"},  // at most 12
      {id::kBtEndAddr, "xyz:1", "xyz:1"},  // the end fields take anything
      {id::kWifiEndAddr, "G-H", "G-H"},
  };
  for (const auto& c : cases) {
    TypeInto(Edit(c.field), QString::fromLatin1(c.typed));
    EXPECT_EQ(Edit(c.field)->text(), QString::fromLatin1(c.shown)) << c.field << " " << c.typed;
  }
  QLineEdit* bt = Edit(id::kBtInitialAddr);
  TypeInto(bt, QStringLiteral("12"));
  QTest::keyClick(bt, Qt::Key_Backspace);
  EXPECT_EQ(bt->text(), QStringLiteral("1"));
}

TEST_F(SettingsDialogTest, AddressesAreStoredInLowerCase) {
  Open("[General]\nBT_ADDR=1\nAutoGenerateBT_ADDR=1\nAutoGenerateBTAddrType=1\n"
       "WIFI_ADDR=1\nAutoWIFI_ADDR=1\nAutoGenerateWifiMacType=1\n");
  TypeInto(Edit(id::kBtInitialAddr), QStringLiteral("0A0B0C0D0E0F"));
  TypeInto(Edit(id::kBtEndAddr), QStringLiteral("0A0B0C0D0EFF"));
  TypeInto(Edit(id::kWifiInitialAddr), QStringLiteral("00037FABCDEF"));
  TypeInto(Edit(id::kWifiEndAddr), QStringLiteral("00037FFFFFFF"));
  Save();
  EXPECT_EQ(settings_.InitialAddrForBT, QStringLiteral("0a0b0c0d0e0f"));
  EXPECT_EQ(settings_.EndAddrForBT, QStringLiteral("0a0b0c0d0eff"));
  EXPECT_EQ(settings_.InitialAddrForWIFI, QStringLiteral("00037fabcdef"));
  EXPECT_EQ(settings_.EndAddrForWIFI, QStringLiteral("00037fffffff"));
}

// Control states after opening on an ini and clicking some controls, one row per behaviour.
TEST_F(SettingsDialogTest, ReactionsEnableAndTickTheControlsTheyGovern) {
  const char* const btGenerated =
      "[General]\nBT_ADDR=1\nAutoGenerateBT_ADDR=1\nAutoGenerateBTAddrType=0\n";
  const char* const btManual =
      "[General]\nBT_ADDR=1\nAutoGenerateBT_ADDR=1\nAutoGenerateBTAddrType=1\n"
      "[CUSTOMIZATION]\nManual Assign BT Addr=1\nBT Addr File Path=/lines/bt.ini\n";
  const char* const wifiManual =
      "[General]\nWIFI_ADDR=1\nAutoWIFI_ADDR=0\n[CUSTOMIZATION]\nManual Assign WIFI Addr=1\n";
  const struct {
    const char* ini;
    std::vector<int> clicks;
    std::vector<int> enabled;
    std::vector<int> disabled;
    std::vector<int> ticked;
    std::vector<int> unticked;
  } cases[] = {
      // Bluetooth generated from the clock: radios on, the address edits shut until
      // "Initial Addr." is chosen, shut again by "System Time".
      {btGenerated, {}, {id::kBtSystemTime, id::kBtFromInitial, id::kGenerateBluetooth},
       {id::kBtInitialAddr, id::kBtEndAddr, id::kBtManualLabel, id::kBtFilePath, id::kBtBrowse},
       {id::kGenerateBluetooth}, {}},
      {btGenerated, {id::kBtFromInitial}, {id::kBtInitialAddr, id::kBtEndAddr}, {}, {}, {}},
      {btGenerated, {id::kBtFromInitial, id::kBtSystemTime}, {},
       {id::kBtInitialAddr, id::kBtEndAddr}, {}, {}},
      // Unticking "generate" or the Bluetooth box shuts the whole generation group.
      {btGenerated, {id::kGenerateBluetooth}, {},
       {id::kBtSystemTime, id::kBtFromInitial, id::kBtInitialAddr, id::kBtEndAddr}, {}, {}},
      {btGenerated, {id::kBtFromInitial, id::kBluetooth}, {},
       {id::kGenerateBluetooth, id::kBtSystemTime, id::kBtInitialAddr, id::kBtEndAddr}, {},
       {id::kGenerateBluetooth}},
      {btGenerated, {id::kBtFromInitial, id::kBluetooth, id::kBluetooth}, {id::kGenerateBluetooth},
       {id::kBtSystemTime, id::kBtInitialAddr}, {}, {id::kGenerateBluetooth}},
      // Wi-Fi "Auto-Generate" and "Initial Addr." open and shut the Wi-Fi address edits.
      {"[General]\nWIFI_ADDR=1\nAutoWIFI_ADDR=1\nAutoGenerateWifiMacType=1\n",
       {}, {id::kWifiInitialAddr, id::kWifiEndAddr}, {}, {}, {}},
      {"[General]\nWIFI_ADDR=1\nAutoWIFI_ADDR=1\nAutoGenerateWifiMacType=1\n",
       {id::kWifiAutoGenerate}, {}, {id::kWifiInitialAddr, id::kWifiEndAddr}, {}, {}},
      {"[General]\nWIFI_ADDR=0\nAutoWIFI_ADDR=1\n", {},
       {}, {id::kGenerateWifi, id::kWifiAutoGenerate, id::kWifiInitialAddr}, {}, {}},
      {"[General]\nWIFI_ADDR=0\n", {id::kWifi, id::kGenerateWifi, id::kWifiFromInitial},
       {id::kGenerateWifi, id::kWifiAutoGenerate, id::kWifiInitialAddr, id::kWifiEndAddr}, {}, {}, {}},
      // Addresses from an address file: the file row instead of the generation controls;
      // the Bluetooth box then opens and shuts only the file row.
      {btManual, {}, {id::kBtManualLabel, id::kBtFilePath, id::kBtBrowse},
       {id::kBtSystemTime, id::kBtFromInitial, id::kBtInitialAddr, id::kBtEndAddr,
        id::kGenerateBluetooth}, {}, {}},
      {btManual, {id::kBluetooth}, {},
       {id::kBtManualLabel, id::kBtFilePath, id::kBtBrowse, id::kGenerateBluetooth}, {},
       {id::kBluetooth}},
      {"[General]\nBT_ADDR=0\n[CUSTOMIZATION]\nManual Assign BT Addr=1\n", {},
       {}, {id::kBtManualLabel, id::kBtFilePath, id::kBtBrowse}, {}, {}},
      {wifiManual, {}, {id::kWifiManualLabel, id::kWifiFilePath, id::kWifiBrowse},
       {id::kWifiAutoGenerate, id::kWifiFromInitial, id::kWifiInitialAddr, id::kWifiEndAddr,
        id::kGenerateWifi}, {}, {}},
      {wifiManual, {id::kWifi, id::kWifi}, {id::kWifiFilePath, id::kWifiBrowse},
       {id::kGenerateWifi}, {id::kWifi}, {}},
      // Version, AP version, serial numbers, secure boot.
      {"[PHONE]\nCheckVer=0\nVersion=V9.9\n", {}, {}, {id::kVersion}, {}, {id::kCheckVersion}},
      {"[PHONE]\nCheckVer=0\nVersion=V9.9\n", {id::kCheckVersion}, {id::kVersion}, {}, {}, {}},
      {"[General]\nCheckAPVersion=0\n", {id::kCheckApVersion}, {id::kApVersion}, {}, {}, {}},
      {"[General]\nCheckAPVersion=1\nAPVersion=AP_V0001\n", {id::kCheckApVersion}, {},
       {id::kApVersion}, {}, {}},
      {"[General]\nWriteSN=1\nSN1=1\nAutoCreateSN1=1\nSN2=0\nAutoCreateSN2=1\n", {},
       {id::kAutoSn1}, {id::kAutoSn2}, {id::kSn1, id::kAutoSn1}, {id::kSn2, id::kAutoSn2}},
      {"[General]\nWriteSN=1\nSN1=1\nAutoCreateSN1=1\n", {id::kSn1}, {}, {id::kAutoSn1}, {},
       {id::kAutoSn1}},
      {"[General]\nWriteSN=1\nSN2=0\n", {id::kSn2, id::kAutoSn2}, {id::kAutoSn2}, {},
       {id::kAutoSn2}, {}},
      {"[General]\nSecureBoot=0\nEnableSecure=1\n", {}, {}, {id::kEnableSecure},
       {id::kEnableSecure}, {id::kSecureBoot}},
      {"[General]\nSecureBoot=0\n", {id::kSecureBoot}, {id::kEnableSecure}, {}, {}, {}},
      // The W/G-T/G list follows the WG box only at opening.
      {"[General]\nQuarl=1\n", {}, {id::kQuarlVariant}, {}, {id::kQuarl}, {}},
      {"[General]\nQuarl=1\n", {id::kQuarl}, {id::kQuarlVariant}, {}, {}, {id::kQuarl}},
      {"[General]\nQuarl=0\n", {id::kQuarl}, {}, {id::kQuarlVariant}, {id::kQuarl}, {}},
  };
  int row = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE("row " + std::to_string(row++) + ": " + c.ini);
    Open(c.ini);
    for (const int click : c.clicks) Click(click);
    for (const int e : c.enabled) EXPECT_TRUE(W(e)->isEnabled()) << e << " enabled";
    for (const int d : c.disabled) EXPECT_FALSE(W(d)->isEnabled()) << d << " disabled";
    for (const int t : c.ticked) EXPECT_TRUE(Box(t)->isChecked()) << t << " ticked";
    for (const int u : c.unticked) EXPECT_FALSE(Box(u)->isChecked()) << u << " unticked";
  }
}

TEST_F(SettingsDialogTest, TickingCheckVersionShowsTheRecordsVersionAndUntickingEmptiesIt) {
  Open("[PHONE]\nCheckVer=0\nVersion=V9.9.9\n");
  EXPECT_EQ(Edit(id::kVersion)->text(), QString());
  Click(id::kCheckVersion);
  EXPECT_EQ(Edit(id::kVersion)->text(), QStringLiteral("V9.9.9"));
  Click(id::kCheckVersion);
  EXPECT_EQ(Edit(id::kVersion)->text(), QString());
  EXPECT_FALSE(Edit(id::kVersion)->isEnabled());
}

// Each control reaches its own field when clicked and saved.
TEST_F(SettingsDialogTest, SaveStoresEachControlInItsField) {
  const char* const ini =
      "[General]\nIMEI1=1\nIMEI2=1\nBT_ADDR=1\nAutoGenerateBT_ADDR=1\nWIFI_ADDR=1\n"
      "AutoWIFI_ADDR=1\nWriteSN=1\nSN1=1\nSN2=1\nSecureBoot=1\nQuarl=1\n[Control]\nTavixNew=1\n"
      "[PHONE]\nCheckVer=1\nVersion=V1.0\n";
  const struct {
    int click;
    int StationSettings::*field;
    int before;
    int after;
  } cases[] = {
      {id::kImei1, &StationSettings::IMEI1Enabled, 1, 0},
      {id::kImei2, &StationSettings::IMEI2Enabled, 1, 0},
      {id::kImei3, &StationSettings::IMEI3Enabled, 0, 1},
      {id::kImei4, &StationSettings::IMEI4Enabled, 0, 1},
      {id::kSameImei, &StationSettings::UseSameIMEI, 0, 1},
      {id::kStagemark, &StationSettings::Stagemark, 0, 1},
      {id::kBluetooth, &StationSettings::BT_ADDR, 1, 0},
      {id::kGenerateBluetooth, &StationSettings::AutoGenerateBT_ADDR, 1, 0},
      {id::kBtFromInitial, &StationSettings::AutoGenerateBTAddrType, 0, 1},
      {id::kWifi, &StationSettings::WIFI_ADDR, 1, 0},
      {id::kGenerateWifi, &StationSettings::AutoWIFI_ADDR, 1, 0},
      {id::kWifiFromInitial, &StationSettings::AutoGenerateWifiMacType, 0, 1},
      {id::kCheckValid, &StationSettings::CheckValid, 0, 1},
      {id::kCheckRepeat, &StationSettings::CheckRepeat, 0, 1},
      {id::kSaveImei, &StationSettings::SaveIMEI, 0, 1},
      {id::kSn1, &StationSettings::SN1Enabled, 1, 0},
      {id::kAutoSn2, &StationSettings::AutoCreateSN2, 0, 1},
      {id::kQuarl, &StationSettings::Quarl, 1, 0},
      {id::kSecureBoot, &StationSettings::SecureBoot, 1, 0},
      {id::kEnableSecure, &StationSettings::EnableSecure, 0, 1},
      {id::kPowerOff, &StationSettings::PowerOff, 0, 1},
      {id::kApMode, &StationSettings::APMode, 0, 1},
      {id::kCheckImeiAfterRead, &StationSettings::CheckIMEIAfterRead, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.click);
    Open(ini);
    ASSERT_EQ(settings_.*c.field, c.before);
    Click(c.click);
    Save();
    EXPECT_EQ(settings_.*c.field, c.after);
    // Nothing else changed.
    StationSettings rest = settings_;
    rest.*c.field = c.before;
    if (c.click == id::kImei1) rest.IMEI2Enabled = 1;  // IMEI1 off unticks IMEI2
    if (c.click == id::kSaveImei) rest.SaveToTxt = 0;  // the text file is the first choice
    if (c.click == id::kBluetooth) rest.AutoGenerateBT_ADDR = 1;
    if (c.click == id::kWifi) rest.AutoWIFI_ADDR = 1;
    if (c.click == id::kSn1) rest.AutoCreateSN1 = 0;
    EXPECT_EQ(rest, opened_);
  }
}

TEST_F(SettingsDialogTest, SaveKeepsAnUnchangedRecordAsItWasOpened) {
  Open("[General]\nIMEI1=1\nIMEI2=1\nIMEI3=1\nIMEI1GenMode=1\nIMEI2GenMode=2\nIMEI3GenMode=0\n"
       "AutoCreateIMEI=1\nDefaultIMEI=35000000000001\nBT_ADDR=1\nAutoGenerateBT_ADDR=1\n"
       "AutoGenerateBTAddrType=1\nInitialAddrForBT=0a0b0c0d0e01\nEndAddrForBT=0a0b0c0d0eff\n"
       "WIFI_ADDR=1\nAutoWIFI_ADDR=1\nAutoGenerateWifiMacType=0\nSaveIMEI=1\nSaveToTxt=0\n"
       "CheckValid=1\nCheckRepeat=1\nWriteSN=1\nSN1=1\nAutoCreateSN1=1\nCheckIMEIAfterRead=1\n"
       "CheckAPVersion=1\nAPVersion=AP_V0001\nSecureBoot=1\nEnableSecure=1\nQuarl=1\n"
       "Power Off=1\nAP Mode=1\n[PHONE]\nCheckVer=1\nVer Length LowerLimit=2\nVersion=V1.2.3\n"
       "[CUSTOMIZATION]\nBT Addr File Path=/a/bt.ini\nWIFI Addr File Path=/a/wifi.ini\n");
  Save();
  EXPECT_TRUE(messages_.isEmpty()) << LastMessage().toStdString();
  EXPECT_EQ(dialog_->result(), QDialog::Accepted);
  EXPECT_EQ(settings_, opened_);
}

TEST_F(SettingsDialogTest, WithoutSerialNumbersTheRowGoesAndTheDialogShrinksToTheTopLeft) {
  Open("[General]\nWriteSN=1\nSN1=1\n");
  const int fullHeight = dialog_->height();
  const int saveTop = W(id::kSave)->mapTo(dialog_.get(), QPoint(0, 0)).y();
  const int secureTop = W(id::kSecureBoot)->mapTo(dialog_.get(), QPoint(0, 0)).y();
  EXPECT_TRUE(W(id::kSnGroup)->isVisible());

  // Serial-number switches in the record stay as they are without serial numbers.
  Open("[General]\nWriteSN=0\n");
  settings_.SN1Enabled = 1;
  settings_.AutoCreateSN1 = 1;
  OpenOnRecord();
  for (const int hidden : {id::kSnGroup, id::kSn1, id::kAutoSn1, id::kSn2, id::kAutoSn2}) {
    EXPECT_FALSE(W(hidden)->isVisible()) << hidden;
  }
  const int d = saveTop - W(id::kSave)->mapTo(dialog_.get(), QPoint(0, 0)).y();
  EXPECT_GT(d, 10);
  EXPECT_EQ(dialog_->height(), fullHeight - d);
  EXPECT_EQ(secureTop - W(id::kSecureBoot)->mapTo(dialog_.get(), QPoint(0, 0)).y(), d);
  const QScreen* screen = QApplication::primaryScreen();
  EXPECT_EQ(dialog_->pos(), screen->availableGeometry().topLeft());
  // Everything below the row stays inside the dialog and usable.
  for (const int below : {id::kSecureBoot, id::kEnableSecure, id::kPowerOff,
                          id::kCheckImeiAfterRead, id::kSave, id::kCancel}) {
    const QRect r(W(below)->mapTo(dialog_.get(), QPoint(0, 0)), W(below)->size());
    EXPECT_TRUE(W(below)->isVisible()) << below;
    EXPECT_TRUE(dialog_->rect().contains(r)) << below;
  }
  Click(id::kCheckImeiAfterRead);
  Save();
  EXPECT_EQ(settings_.SN1Enabled, 1);
  EXPECT_EQ(settings_.AutoCreateSN1, 1);
  EXPECT_EQ(settings_.CheckIMEIAfterRead, 1);
}

TEST_F(SettingsDialogTest, FilePickerPutsTheChosenPathIntoTheAddressFileRow) {
  const QString btFile = dir_.Write(QStringLiteral("bt.ini"), "[BT Address]\n");
  const QString wifiFile = dir_.Write(QStringLiteral("wifi.txt"), "[WIFI Address]\n");
  Open("[General]\nBT_ADDR=1\nWIFI_ADDR=1\n[CUSTOMIZATION]\nManual Assign BT Addr=1\n"
       "Manual Assign WIFI Addr=1\nBT Addr File Path=old.ini\n");
  const struct {
    int browse;
    int path;
    QString chosen;  // empty: the operator cancels
    QString shown;
  } cases[] = {
      {id::kBtBrowse, id::kBtFilePath, QString(), QStringLiteral("old.ini")},
      {id::kBtBrowse, id::kBtFilePath, btFile, btFile},
      {id::kWifiBrowse, id::kWifiFilePath, wifiFile, wifiFile},
  };
  for (const auto& c : cases) {
    QStringList filters;
    WhenModal<QFileDialog>([&](QFileDialog* picker) {
      filters = picker->nameFilters();
      if (c.chosen.isEmpty()) {
        picker->reject();
      } else {
        // The operator puts the path into the file-name field and presses Enter.
        auto* name = picker->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(name, nullptr);
        name->setText(c.chosen);
        QTest::keyClick(name, Qt::Key_Return);
      }
    });
    Click(c.browse);
    EXPECT_EQ(filters, QStringList{SettingsDialog::AddressFileFilter()});
    EXPECT_EQ(Edit(c.path)->text(), c.shown);
  }
  Save();
  EXPECT_EQ(settings_.BTAddrFilePath, btFile);
  EXPECT_EQ(settings_.WIFIAddrFilePath, wifiFile);
}

TEST_F(SettingsDialogTest, RefusalsAppearInAPlainMessageBoxByDefault) {
  Open("[General]\nIMEI1=1\nAutoCreateIMEI=1\nDefaultIMEI=123\n");
  dialog_->SetMessagePresenter({});
  QString shown;
  WhenModal<QMessageBox>([&](QMessageBox* box) {
    shown = box->text();
    box->accept();
  });
  Save();
  EXPECT_EQ(shown, msg::kBaseImeiLength);
  EXPECT_TRUE(dialog_->isVisible());
}

TEST_F(SettingsDialogTest, WithoutARecordTheDialogOpensEmptyAndSaveDoesNothing) {
  dialog_ = std::make_unique<SettingsDialog>(nullptr);
  dialog_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog_.get()));
  EXPECT_EQ(List(id::kImei1List)->count(), 0);
  Save();
  EXPECT_TRUE(dialog_->isVisible());
  Click(id::kCancel);
  EXPECT_FALSE(dialog_->isVisible());
}

TEST_F(SettingsDialogTest, Screenshot) {
  Open("[General]\nIMEI1=1\nIMEI2=1\nIMEI3=1\nIMEI4=0\nIMEI1GenMode=1\nIMEI2GenMode=2\n"
       "AutoCreateIMEI=1\nDefaultIMEI=35000000000001\nBT_ADDR=1\nAutoGenerateBT_ADDR=1\n"
       "AutoGenerateBTAddrType=1\nWIFI_ADDR=1\nAutoWIFI_ADDR=0\nSaveIMEI=1\nSaveToTxt=1\n"
       "CheckRepeat=1\nWriteSN=1\nSN1=1\nAutoCreateSN1=1\nSecureBoot=1\nQuarl=1\n"
       "[PHONE]\nCheckVer=1\nVersion=V1.2.3\n[CUSTOMIZATION]\nManual Assign WIFI Addr=1\n"
       "WIFI Addr File Path=/station/wifi.ini\n");
  ExpectNoClippedTexts(*dialog_);
  const QString path = QStringLiteral(KESTREL_TEST_OUTPUT_DIR "/settings_dialog.png");
  ASSERT_TRUE(dialog_->grab().save(path));

  Open("[General]\nWriteSN=0\nIMEI1=1\n");
  ExpectNoClippedTexts(*dialog_);
  ASSERT_TRUE(dialog_->grab().save(QStringLiteral(KESTREL_TEST_OUTPUT_DIR "/settings_dialog_no_sn.png")));
}

}  // namespace
}  // namespace kestrel::ui
