// The station window's Setting and Mode commands with their real dialogs: the operator's
// changes reach the record at Save or Select, and Kestrel.ini only when the window closes; a
// refused Save followed by Cancel changes nothing; the window re-applies what was accepted.
#include "config/ini_file.h"
#include "resources/string_table.h"
#include "tests/station/station_fixture.h"
#include "tests/ui/dialog_driver.h"
#include "ui/mode_dialog.h"
#include "ui/settings_dialog.h"

#include <QLabel>

namespace kestrel::station::testing {
namespace {

namespace sid = ui::settings_ids;
namespace mid = ui::mode_ids;
using ui::testing::ClickOn;
using ui::testing::TypeInto;
using ui::testing::WhenModal;

class DialogCommandsTest : public StationWindowTest {
 protected:
  QByteArray Ini() { return dir_.Read(QStringLiteral("Kestrel.ini")); }
  int IniInt(const char* section, const char* key) {
    return config::IniFile(dir_.File(QStringLiteral("Kestrel.ini")))
        .ReadInt(QString::fromLatin1(section), QString::fromLatin1(key), -99);
  }
  QString IniText(const char* section, const char* key) {
    return config::IniFile(dir_.File(QStringLiteral("Kestrel.ini")))
        .ReadString(QString::fromLatin1(section), QString::fromLatin1(key), QString());
  }
  QString StatusLine() { return qobject_cast<QLabel*>(W().Control(ids::kStatusLine))->text(); }
};

TEST_F(DialogCommandsTest, SavedSettingsReachTheFileOnlyWhenTheWindowCloses) {
  Open("[General]\nIMEI1=1\nIMEI1GenMode=1\nAutoCreateIMEI=1\nDefaultIMEI=35000000000001\n"
       "BT_ADDR=1\nAutoGenerateBT_ADDR=1\nAutoGenerateBTAddrType=1\nCheckRepeat=0\n"
       "[Control]\nUser Privilege=1\n");
  const QByteArray before = Ini();
  WhenModal<ui::SettingsDialog>([](ui::SettingsDialog* d) {
    ClickOn(d->Control(sid::kImei2));
    ClickOn(d->Control(sid::kCheckRepeat));
    TypeInto(qobject_cast<QLineEdit*>(d->Control(sid::kBaseImei)), QStringLiteral("35000000000100"));
    TypeInto(qobject_cast<QLineEdit*>(d->Control(sid::kBtEndAddr)), QStringLiteral("0A0B0C0D0EFF"));
    ClickOn(d->Control(sid::kSave));
  });
  Click(ids::kSetting);
  EXPECT_TRUE(messages_.isEmpty()) << messages_.join(QLatin1Char('|')).toStdString();
  // The record has the edit and the window applied it; the file is as it was.
  EXPECT_EQ(W().Settings().CheckRepeat, 1);
  EXPECT_EQ(W().Settings().IMEI2Enabled, 1);
  EXPECT_EQ(W().Settings().EndBTValue, 0x0A0B0C0D0EFFULL);
  EXPECT_TRUE(EditOf(ids::kImei2)->isEnabled());
  EXPECT_EQ(Ini(), before);

  W().close();
  EXPECT_EQ(IniInt("General", "CheckRepeat"), 1);
  EXPECT_EQ(IniInt("General", "IMEI2"), 1);
  EXPECT_EQ(IniText("General", "EndAddrForBT"), QStringLiteral("0a0b0c0d0eff"));
  // The next phone's IMEI1 came from the new base; the base given back at close is the new one.
  EXPECT_EQ(IniText("General", "DefaultIMEI"), QStringLiteral("35000000000100"));
}

TEST_F(DialogCommandsTest, ARefusedSaveThenCancelLeavesTheRecordAndTheFile) {
  Open("[General]\nIMEI1=1\nAutoCreateIMEI=1\nDefaultIMEI=35000000000001\nCheckRepeat=0\n"
       "[Control]\nUser Privilege=1\n");
  const config::StationSettings before = W().Settings();
  WhenModal<ui::SettingsDialog>([](ui::SettingsDialog* d) {
    ClickOn(d->Control(sid::kCheckRepeat));
    TypeInto(qobject_cast<QLineEdit*>(d->Control(sid::kBaseImei)), QStringLiteral("123"));
    ClickOn(d->Control(sid::kSave));
    EXPECT_TRUE(d->isVisible());
    ClickOn(d->Control(sid::kCancel));
  });
  Click(ids::kSetting);
  // The refusal went where the window's messages go.
  EXPECT_EQ(messages_, QStringList{ui::settings_messages::kBaseImeiLength});
  EXPECT_EQ(W().Settings(), before);
  W().close();
  EXPECT_EQ(IniInt("General", "CheckRepeat"), 0);
  EXPECT_EQ(IniText("General", "DefaultIMEI"), QStringLiteral("35000000000001"));
}

TEST_F(DialogCommandsTest, ModeSelectionChangesTheStatusLineAndReachesTheFileAtClose) {
  const struct {
    int answer;  // Select or Cancel, after choosing calibration mode
    int mode;
    int statusString;
  } cases[] = {
      {mid::kSelect, 0, 149},
      {mid::kCancel, 1, 148},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    Open("[General]\nOperation Mode=1\nDisable AutoUSB=1\nPort=3\n[Control]\nRebootDUT=0\n"
         "SendATCmd=1\n");
    const QByteArray before = Ini();
    WhenModal<ui::ModeSelectionDialog>([&](ui::ModeSelectionDialog* d) {
      ClickOn(d->Control(mid::kCalibrationMode));
      ClickOn(d->Control(c.answer));
    });
    Click(ids::kMode);
    EXPECT_EQ(W().Settings().OperationMode, c.mode);
    // With the port watch running, its next tick rewrites the status line.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return StatusLine().startsWith(resources::LoadString(c.statusString)); }, 3000))
        << StatusLine().toStdString();
    EXPECT_EQ(Ini(), before);
    W().close();
    EXPECT_EQ(IniInt("General", "Operation Mode"), c.mode);
    // Calibration mode chosen without "without rebooting": the phone is rebooted.
    EXPECT_EQ(IniInt("Control", "RebootDUT"), c.mode == 0 ? 1 : 0);
    EXPECT_EQ(IniInt("General", "Disable AutoUSB"), 1);
  }
}

}  // namespace
}  // namespace kestrel::station::testing
