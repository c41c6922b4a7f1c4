// The checks inside a real write job of the station window, against the simulated phone: the
// AT command pauses run on the job thread while the window goes on answering, and Stop stays
// disabled until the sequence is over.
#include "tests/device/phone_sim_process.h"
#include "tests/station/phone_job_fixture.h"
#include "tests/station/station_fixture.h"

#include "ui/colour_label.h"

#include <QColor>
#include <QElapsedTimer>
#include <QTimer>

namespace kestrel::station::testing {
namespace {

class ChecksWindowTest : public StationWindowTest {
 protected:
  static constexpr int kCom = 7;

  void TearDown() override {
    window_.reset();
    QApplication::processEvents();
    if (phone_ != KV_INVALID_HANDLE) KV_ReleasePhone(phone_);
    sim_.reset();
  }

  // The simulated phone on COM7 of the station folder, then the window with a phone handle.
  StationController& OpenWithPhone(const QByteArray& ini) {
    sim_ = std::make_unique<kestrel::testing::PhoneSimProcess>(
        dir_.File(QStringLiteral("ports")), kCom, dir_.File(QStringLiteral("phone.json")),
        dir_.File(QStringLiteral("phone.log")));
    EXPECT_TRUE(sim_->Start(simOptions_)) << "simulator did not start";
    dir_.Write(QStringLiteral("Kestrel.ini"), ini);
    phone_ = KV_CreatePhone(0);
    StationStartup startup;
    startup.phone = phone_;
    startup.productVersion = QStringLiteral("1.0.0.1");
    startup.stationFolder = dir_.path();
    window_ = std::make_unique<StationController>(startup);
    window_->SetMessagePresenter([this](const QString& text) { messages_ << text; });
    window_->Initialise();
    window_->show();
    window_->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(window_.get()));
    QApplication::processEvents();
    return *window_;
  }

  QStringList SentAtCommands() const {
    QStringList sent;
    for (const QString& l : sim_->LogLines()) {
      if (l.startsWith(QStringLiteral("KV_SendATCommand "))) sent << l.mid(17);
    }
    return sent;
  }

  // Runs the write job to its end (at most 20 s).
  void WriteAndWait() {
    Click(ids::kWrite);
    QElapsedTimer clock;
    clock.start();
    while ((W().JobRunning() || !ButtonOf(ids::kWrite)->isEnabled()) && clock.elapsed() < 20000) {
      QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    QApplication::processEvents();
    ASSERT_FALSE(W().JobRunning());
  }

  QStringList simOptions_;
  PhoneHandle phone_ = KV_INVALID_HANDLE;
  std::unique_ptr<kestrel::testing::PhoneSimProcess> sim_;
};

TEST_F(ChecksWindowTest, ThreeAtCommandsTakeThreeSecondsWhileTheWindowAnswers) {
  OpenWithPhone(
      "[General]\nOperation Mode=1\nPort=7\n"
      "[Control]\nUser Privilege=1\nTavixNew=1\nOperate CURef=1\nRebootDUT=0\nSendATCmd=1\n"
      "WATCmd=AT+A|AT+B|AT+C|\n");
  RecordingObserver observer;
  W().AddJobObserver(&observer);
  int ticks = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&ticks] { ++ticks; });
  tick.start(50);

  QElapsedTimer clock;
  clock.start();
  Click(ids::kWrite);
  ASSERT_TRUE(W().JobRunning());
  // While the commands go out, Stop is disabled and a click on it changes nothing.
  bool stopTried = false;
  while ((W().JobRunning() || !ButtonOf(ids::kStop)->isEnabled()) && clock.elapsed() < 20000) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    if (!stopTried && SentAtCommands().size() == 1) {
      stopTried = true;
      // The job disabled Stop before it sent the command: its queued call is run by now.
      QApplication::processEvents();
      EXPECT_FALSE(ButtonOf(ids::kStop)->isEnabled());
      Click(ids::kStop);
    }
  }
  const qint64 elapsed = clock.elapsed();
  QApplication::processEvents();
  EXPECT_TRUE(stopTried);
  EXPECT_FALSE(W().JobRunning());
  EXPECT_GE(elapsed, 3000);
  EXPECT_EQ(SentAtCommands(), (QStringList{"AT+A", "AT+B", "AT+C"}));
  EXPECT_EQ(observer.Names().count(QStringLiteral("ATCommandPause")), 3);
  // The window's thread ran its events all along: far more than the few ticks it would get
  // if a pause held it.
  EXPECT_GE(ticks, 10);
  EXPECT_EQ(W().FailCount(), 0u);
  EXPECT_EQ(W().PassCount(), 1u);
  EXPECT_TRUE(ButtonOf(ids::kStop)->isEnabled());
}

// The version information of the last phone goes when a write starts; this phone's AP and
// software versions take its place.
TEST_F(ChecksWindowTest, VersionInformationOfTheJob) {
  OpenWithPhone(
      "[General]\nOperation Mode=1\nPort=7\nCheckAPVersion=1\nAPVersion=KS_AP_V2.1.0\n"
      "WaitForAPTime=0\n[PHONE]\nCheckVer=1\nVersion=V1.0\n"
      "[Control]\nUser Privilege=1\nTavixNew=1\nOperate CURef=1\n");
  W().SetApVersionText(QStringLiteral("the last phone's"));
  WriteAndWait();
  EXPECT_EQ(W().Bound().apVersion,
            QStringLiteral("Plat:KS6580 Project:KESTREL_AP BASE:KS_AP_V2.1.0\r\n"
                           "SW Ver:\r\nPlat:KS6580 \r\nProject:KESTREL_A1 \r\nBASE:KS_A1_V1.0.2 \r\nHW:P1"));
  EXPECT_EQ(W().PassCount(), 1u);
}

// A failed AT command ends the job with its message in red, counted as failed.
TEST_F(ChecksWindowTest, FailedAtCommandShowsItsMessage) {
  simOptions_ = {QStringLiteral("--fail-when"), QStringLiteral("KV_SendATCommand:AT+B=34")};
  OpenWithPhone(
      "[General]\nOperation Mode=1\nPort=7\n"
      "[Control]\nUser Privilege=1\nTavixNew=1\nOperate CURef=1\nRebootDUT=0\nSendATCmd=1\n"
      "WATCmd=AT+A|AT+B|AT+C|\n");
  WriteAndWait();
  EXPECT_EQ(SentAtCommands(), (QStringList{"AT+A", "AT+B"}));
  EXPECT_EQ(W().ResultText(), QStringLiteral("Set Failed(AT+B)!"));
  EXPECT_EQ(static_cast<ui::ColourLabel*>(W().Control(ids::kResult))->BrushColour(),
            QColor(255, 0, 0));
  EXPECT_EQ(W().FailCount(), 1u);
  EXPECT_EQ(W().PassCount(), 0u);
}

}  // namespace
}  // namespace kestrel::station::testing
