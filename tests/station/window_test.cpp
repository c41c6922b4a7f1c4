// The station window: its controls by id, the buttons enabled by settings, the layout
// without serial numbers, the counters, the status line, the result composition, Escape and
// close, Help and About, and a screenshot for looking at.
#include "tests/station/station_fixture.h"

#include "resources/message_format.h"
#include "resources/string_table.h"
#include "ui/about_box.h"
#include "ui/colour_label.h"
#include "ui/fonts.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTimer>

#include <thread>

namespace kestrel::station::testing {
namespace {

using resources::LoadString;

// A line station: IMEI1 and IMEI2 scanned, Bluetooth scanned, Wi-Fi generated, both serial
// numbers written (SN1 scanned, SN2 generated).
const QByteArray kLineStation =
    "[General]\nOperation Mode=1\nPort=3\nIMEI1=1\nIMEI2=1\nBT_ADDR=1\nWIFI_ADDR=1\n"
    "AutoWIFI_ADDR=1\nWriteSN=1\nSN1=1\nSN2=1\nAutoCreateSN2=1\nSN Length=10\n"
    "[Control]\nUser Privilege=1\nTavixNew=1\n[OTHER]\nDisplayLab font size1=18\n"
    "DisplayLab font size2=26\n";

QColor Background(QWidget* w) {
  return static_cast<ui::ColourLabel*>(w)->BrushColour();
}

QString LabelText(QWidget* w) {
  return static_cast<QLabel*>(w)->text();
}

TEST_F(StationWindowTest, EveryControlOfTheWindowIsReachableByItsId) {
  Open(kLineStation);
  const struct {
    int id;
    const char* type;
  } controls[] = {
      {ids::kPortList, "QComboBox"},
      {ids::kMode, "QPushButton"},
      {ids::kSetting, "QPushButton"},
      {ids::kRead, "QPushButton"},
      {ids::kStop, "QPushButton"},
      {ids::kWrite, "QPushButton"},
      {ids::kResult, "kestrel::ui::ColourLabel"},
      {ids::kPassCount, "kestrel::ui::ColourLabel"},
      {ids::kFailCount, "kestrel::ui::ColourLabel"},
      {ids::kYield, "kestrel::ui::ColourLabel"},
      {ids::kApVersion, "QPlainTextEdit"},
      {ids::kImei1, "QLineEdit"},
      {ids::kImei2, "QLineEdit"},
      {ids::kImei3, "QLineEdit"},
      {ids::kImei4, "QLineEdit"},
      {ids::kBluetooth, "QLineEdit"},
      {ids::kWifi, "QLineEdit"},
      {ids::kSn1, "QLineEdit"},
      {ids::kSn2, "QLineEdit"},
      {ids::kSn1Label, "QLabel"},
      {ids::kSn2Label, "QLabel"},
      {ids::kUid1, "QLineEdit"},
      {ids::kUid2, "QLineEdit"},
      {ids::kUidLabel, "QLabel"},
      {ids::kHashLabel, "QLabel"},
      {ids::kHelp, "QPushButton"},
      {ids::kPortIndicator, "kestrel::ui::ColourLabel"},
      {ids::kStatusLine, "QLabel"},
      {ids::kFrame, "QFrame"},
  };
  for (const auto& c : controls) {
    QWidget* w = W().Control(c.id);
    ASSERT_NE(w, nullptr) << c.id;
    EXPECT_STREQ(w->metaObject()->className(), c.type) << c.id;
  }
  for (int id = ids::kHash1; id <= ids::kHash5; ++id) EXPECT_NE(EditOf(id), nullptr) << id;
  for (int id = ids::kFirstCuRef; id <= ids::kLastCuRef; ++id) {
    QLineEdit* e = EditOf(id);
    ASSERT_NE(e, nullptr) << id;
    EXPECT_EQ(e->maxLength(), 1);
    EXPECT_FALSE(e->isEnabled());  // Operate CURef is off
  }
  EXPECT_EQ(ButtonOf(ids::kMode)->text(), QStringLiteral("בחירת מצב"));
  EXPECT_EQ(ButtonOf(ids::kWrite)->text(), QStringLiteral("כתיבה"));
  // The title names the station folder in use.
  EXPECT_EQ(W().windowTitle(), LoadString(102) + QStringLiteral(" R1.0.0.1 \u2014 ") + dir_.path());
  EXPECT_TRUE(qobject_cast<QPlainTextEdit*>(W().Control(ids::kApVersion))->isReadOnly());
  EXPECT_EQ(EditOf(ids::kImei1)->maxLength(), 15);
  EXPECT_EQ(EditOf(ids::kBluetooth)->maxLength(), 12);
  // Secure boot off: the UID and HASH area is hidden.
  EXPECT_FALSE(W().Control(ids::kUidLabel)->isVisible());
  EXPECT_FALSE(EditOf(ids::kHash1)->isVisible());
}

TEST_F(StationWindowTest, SettingAndReadStayDisabledWithoutPrivilegeAndNewPlatform) {
  Open("[General]\nIMEI1=1\n[Control]\nUser Privilege=0\nTavixNew=0\n");
  EXPECT_FALSE(ButtonOf(ids::kSetting)->isEnabled());
  EXPECT_FALSE(ButtonOf(ids::kRead)->isEnabled());
  EXPECT_TRUE(ButtonOf(ids::kWrite)->isEnabled());
  W().EnableInputs(true);
  W().SetSettingsDialogRunner([](config::StationSettings&) { return true; });
  W().ApplyAcceptedSettings();
  EXPECT_FALSE(ButtonOf(ids::kSetting)->isEnabled());
  EXPECT_FALSE(ButtonOf(ids::kRead)->isEnabled());
  // The read key (Space here) starts nothing.
  const QString before = W().ResultText();
  PressKey(Qt::Key_Space);
  EXPECT_EQ(W().ResultText(), before);
  EXPECT_EQ(W().FailCount(), 0U);
}

TEST_F(StationWindowTest, WithoutSerialNumbersTheRowsGoAndTheWindowShrinksToTheTopLeft) {
  Open(kLineStation);
  const int fullHeight = W().height();
  const int snTop = EditOf(ids::kSn1)->geometry().top();
  const int snBottom = EditOf(ids::kSn2)->geometry().bottom();
  EXPECT_EQ(W().Control(ids::kResult)->font(), ui::FaceFont(QStringLiteral("SIMHEI"), 26, 700));
  window_.reset();

  QByteArray noSn = kLineStation;
  noSn.replace("WriteSN=1", "WriteSN=0");
  Open(noSn);
  EXPECT_FALSE(EditOf(ids::kSn1)->isVisible());
  EXPECT_FALSE(EditOf(ids::kSn2)->isVisible());
  EXPECT_FALSE(W().Control(ids::kSn1Label)->isVisible());
  EXPECT_FALSE(W().Control(ids::kSn2Label)->isVisible());
  const int h = snBottom - snTop + 1;
  EXPECT_LE(W().height(), fullHeight - h);
  EXPECT_GE(W().height(), fullHeight - h - 20);  // the rows' spacing goes with them
  EXPECT_EQ(W().pos(), W().screen()->availableGeometry().topLeft());
  EXPECT_EQ(W().Control(ids::kResult)->font(), ui::FaceFont(QStringLiteral("SIMHEI"), 18, 700));
  // The status row stays below the frame.
  EXPECT_GT(W().Control(ids::kStatusLine)->geometry().top(),
            W().Control(ids::kFrame)->geometry().bottom());
}

TEST_F(StationWindowTest, CountersShowPassFailAndYieldInTheirColours) {
  Open(kLineStation);
  EXPECT_EQ(LabelText(W().Control(ids::kYield)), QStringLiteral("Yiled: 0%"));
  for (bool passed : {true, true, false, true}) W().RecordOutcome(passed);
  QApplication::processEvents();
  EXPECT_EQ(LabelText(W().Control(ids::kPassCount)), QStringLiteral("הצליח :  3"));
  EXPECT_EQ(LabelText(W().Control(ids::kFailCount)), QStringLiteral("נכשל :1"));
  EXPECT_EQ(LabelText(W().Control(ids::kYield)), QStringLiteral("Yiled: 75%"));
  auto* pass = static_cast<ui::ColourLabel*>(W().Control(ids::kPassCount));
  auto* fail = static_cast<ui::ColourLabel*>(W().Control(ids::kFailCount));
  auto* yield = static_cast<ui::ColourLabel*>(W().Control(ids::kYield));
  EXPECT_EQ(pass->TextColour(), ui::Rgb(0, 128, 0));
  EXPECT_EQ(fail->TextColour(), ui::Rgb(255, 0, 0));
  EXPECT_EQ(yield->TextColour(), ui::Rgb(255, 255, 0));
}

TEST_F(StationWindowTest, StatusLineAndPortIndicatorFollowModeAndPortState) {
  Open(kLineStation);  // normal mode, COM3 not present
  QWidget* status = W().Control(ids::kStatusLine);
  // The English port text ends in a left-to-right mark, which keeps its "!" at its end.
  const QChar lrm(0x200E);
  EXPECT_EQ(LabelText(status), LoadString(148) + QStringLiteral(", ") + LoadString(156) + lrm);
  EXPECT_EQ(status->layoutDirection(), Qt::RightToLeft);  // a Hebrew line
  EXPECT_TRUE(W().PortWatchRunning());
  W().ShowPortState(true);
  EXPECT_EQ(LabelText(status), QStringLiteral("מצב רגיל, הפורט זוהה!"));
  EXPECT_EQ(Background(W().Control(ids::kPortIndicator)), QColor(3, 253, 23));
  W().StartPortWatch(false);
  EXPECT_FALSE(W().PortWatchRunning());
  EXPECT_EQ(Background(W().Control(ids::kPortIndicator)), QColor(254, 168, 1));
  EXPECT_EQ(LabelText(status), LoadString(148) + QStringLiteral(", ") + LoadString(156) + lrm);
  W().ShowStatusLine(0, true);
  EXPECT_EQ(LabelText(status), LoadString(149) + QStringLiteral(", ") + LoadString(155));
}

TEST_F(StationWindowTest, AFailedResultKeepsItsMessageThenOneLinePerEnabledIdentity) {
  Open(kLineStation);
  QWidget* result = W().Control(ids::kResult);
  EXPECT_EQ(LabelText(result), LoadString(109));
  EXPECT_EQ(Background(result), QColor(100, 150, 200));
  EXPECT_EQ(result->layoutDirection(), Qt::RightToLeft);

  identity::IdentitySet ids = W().Identities();
  ids.IMEI1 = QStringLiteral("356789012345672");
  ids.IMEI2 = QStringLiteral("356789012345680");
  ids.IMEI3 = QStringLiteral("999");  // slot off: not listed
  ids.BT = QStringLiteral("0011223344ff");
  ids.WIFI = QStringLiteral("00037f1234ab");
  ids.SN1 = QStringLiteral("AB12345678");
  ids.SN2 = QStringLiteral("2014051205");
  W().SetIdentities(ids);
  W().SetResultText(resources::FormatString(106, {std::int64_t{39}}));
  W().ShowResult(ResultState::Fail);
  EXPECT_EQ(LabelText(result),
            QStringLiteral("Write IMEI failed ! Error code: 39 ! \nIMEI1:356789012345672\n"
                           "IMEI2:356789012345680\nBT:0011223344ff\nWifi:00037f1234ab\n"
                           "SN1:AB12345678\nSN2:2014051205\n"));
  EXPECT_EQ(Background(result), QColor(255, 0, 0));
  EXPECT_EQ(result->layoutDirection(), Qt::LeftToRight);
  W().ShowResult(ResultState::Busy);  // Busy shows the text as it is
  EXPECT_EQ(Background(result), QColor(255, 255, 0));
  EXPECT_TRUE(LabelText(result).endsWith(QStringLiteral("SN2:2014051205\n")));
}

TEST_F(StationWindowTest, TheLongestCompositionIsCutAt255Characters) {
  QByteArray all = kLineStation;
  all.replace("IMEI2=1\n", "IMEI2=1\nIMEI3=1\nIMEI4=1\n");
  Open(all);
  identity::IdentitySet ids;
  ids.IMEI1 = ids.IMEI2 = ids.IMEI3 = ids.IMEI4 = QString(15, QLatin1Char('1'));
  ids.BT = ids.WIFI = QString(12, QLatin1Char('a'));
  ids.SN1 = ids.SN2 = QString(10, QLatin1Char('S'));
  W().SetIdentities(ids);
  W().SetResultText(LoadString(159));  // one of the longest messages
  W().ShowResult(ResultState::Pass);
  const QString text = W().ResultText();
  EXPECT_EQ(text.size(), 255);
  EXPECT_TRUE(text.startsWith(LoadString(159) + QLatin1Char('\n')));
  EXPECT_EQ(LabelText(W().Control(ids::kResult)), text);
}

TEST_F(StationWindowTest, AJobThreadReportsThroughTheWindowThread) {
  Open(kLineStation);
  std::thread job([this] {
    W().SetResultText(LoadString(105));
    W().ShowResult(ResultState::Pass);
    W().RecordOutcome(true);
    W().EnableInputs(false);
    W().StartPortWatch(false);
  });
  job.join();
  QApplication::processEvents();
  QWidget* result = W().Control(ids::kResult);
  EXPECT_TRUE(LabelText(result).startsWith(LoadString(105) + QStringLiteral("\nIMEI1:")));
  EXPECT_EQ(Background(result), QColor(0, 128, 0));
  EXPECT_EQ(LabelText(W().Control(ids::kPassCount)), QStringLiteral("הצליח :  1"));
  EXPECT_FALSE(ButtonOf(ids::kWrite)->isEnabled());
  EXPECT_FALSE(EditOf(ids::kImei1)->isEnabled());
  EXPECT_EQ(Background(W().Control(ids::kPortIndicator)), QColor(254, 168, 1));
}

TEST_F(StationWindowTest, EnterNeverClosesEscapeClosesWithoutSavingCloseSaves) {
  Open(kLineStation);
  const QByteArray before = dir_.Read(QStringLiteral("Kestrel.ini"));
  QTest::keyClick(&W(), Qt::Key_Return);
  EXPECT_TRUE(W().isVisible());
  QTest::keyClick(&W(), Qt::Key_Escape);
  EXPECT_FALSE(W().isVisible());
  window_.reset();
  EXPECT_EQ(dir_.Read(QStringLiteral("Kestrel.ini")), before);

  Open(kLineStation);
  W().close();
  EXPECT_FALSE(W().isVisible());
  const QByteArray saved = dir_.Read(QStringLiteral("Kestrel.ini"));
  EXPECT_NE(saved, before);
  EXPECT_TRUE(saved.contains("DefaultIMEI=12345678901235"));
}

TEST_F(StationWindowTest, HelpOpensThePageBesideTheExecutable) {
  EXPECT_EQ(StationController::HelpPagePath(QStringLiteral("/opt/k/kestrel")),
            QStringLiteral("/opt/k/kestrel.html"));
  EXPECT_EQ(StationController::HelpPagePath(QStringLiteral("/opt/k.1/kestrel.exe")),
            QStringLiteral("/opt/k.1/kestrel.html"));
  EXPECT_EQ(StationController::HelpPagePath(QString()), QString());

  // The page ships beside the built executables.
  QFile page(kestrel::testing::BinPath(QStringLiteral("kestrel.html")));
  ASSERT_TRUE(page.open(QIODevice::ReadOnly));
  EXPECT_TRUE(page.readAll().contains("operator help"));

  Open(kLineStation);
  QStringList opened;
  W().SetHelpOpener([&opened](const QString& path) {
    opened << path;
    return true;
  });
  W().SetExecutablePathForHelp(kestrel::testing::BinPath(QStringLiteral("kestrel")));
  Click(ids::kHelp);
  EXPECT_EQ(opened, QStringList{kestrel::testing::BinPath(QStringLiteral("kestrel.html"))});
  W().SetExecutablePathForHelp(dir_.File(QStringLiteral("nothing-here")));
  Click(ids::kHelp);
  EXPECT_EQ(opened.size(), 1);
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_TRUE(messages_[0].contains(QStringLiteral("nothing-here.html")));
}

TEST_F(StationWindowTest, TheAboutItemOpensTheAboutBoxAndAClickClosesIt) {
  Open(kLineStation);
  QAction* about = W().Controls().aboutAction;
  ASSERT_NE(about, nullptr);
  EXPECT_EQ(about->text(), LoadString(101));
  EXPECT_TRUE(W().Controls().menuBar->actions().contains(about));
  bool sawBox = false;
  QTimer::singleShot(0, &W(), [&sawBox] {
    auto* box = qobject_cast<ui::AboutBox*>(QApplication::activeModalWidget());
    sawBox = box != nullptr;
    if (box) QTest::mouseClick(box, Qt::LeftButton, {}, {10, 150});
  });
  about->trigger();
  EXPECT_TRUE(sawBox);
  EXPECT_TRUE(W().isVisible());
}

TEST_F(StationWindowTest, Screenshot) {
  QByteArray shown = kLineStation;
  shown.replace("[General]\n", "[General]\nCheckRepeat=1\n");
  Open(shown);
  dir_.Write(QStringLiteral("IMEI.txt"), "2026-12-07-09-05-03, IMEI:356789012345672\r\n");
  Scan(QStringLiteral("356789012345672"));
  Scan(QStringLiteral("356789012345680"));
  Scan(QStringLiteral("0011223344FF"));
  Scan(QStringLiteral("AB12345678"));
  PressKey(Qt::Key_Return);  // refused: IMEI1 was used before
  W().RecordOutcome(true);
  W().RecordOutcome(true);
  QApplication::processEvents();
  const QString path = QStringLiteral(KESTREL_TEST_OUTPUT_DIR "/station_window.png");
  ASSERT_TRUE(W().grab().save(path));
  EXPECT_TRUE(LabelText(W().Control(ids::kResult)).startsWith(QStringLiteral("IMEI1  ")));
  EXPECT_EQ(W().Control(ids::kResult)->layoutDirection(), Qt::RightToLeft);
  window_.reset();

  // Compact: no serial numbers, secure boot and CU reference shown.
  QByteArray compact = kLineStation;
  compact.replace("WriteSN=1", "WriteSN=0\nSecureBoot=1");
  compact.replace("[Control]\n", "[Control]\nOperate CURef=1\n");
  Open(compact);
  EXPECT_TRUE(W().Control(ids::kUidLabel)->isVisible());
  EXPECT_TRUE(EditOf(ids::kHash5)->isEnabled());
  EXPECT_TRUE(EditOf(ids::kFirstCuRef)->isEnabled());
  ASSERT_TRUE(
      W().grab().save(QStringLiteral(KESTREL_TEST_OUTPUT_DIR "/station_window_compact.png")));
}

}  // namespace
}  // namespace kestrel::station::testing
