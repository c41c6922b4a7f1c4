// The checks inside a real write job of the station window, against the simulated phone: the
// AT command pauses run on the job thread while the window goes on answering, and Stop stays
// disabled until the sequence is over.
#include "tests/station/job_fixture.h"
#include "tests/station/phone_job_fixture.h"
#include "ui/colour_label.h"

#include <QColor>
#include <QElapsedTimer>
#include <QTimer>

namespace kestrel::station::testing {
namespace {

class ChecksWindowTest : public JobTest {
 protected:
  QStringList SentAtCommands() const {
    QStringList sent;
    for (const QString& l : sim_->LogLines()) {
      if (l.startsWith(QStringLiteral("KV_SendATCommand "))) sent << l.mid(17);
    }
    return sent;
  }
};

TEST_F(ChecksWindowTest, ThreeAtCommandsTakeThreeSecondsWhileTheWindowAnswers) {
  ASSERT_TRUE(StartPhone());
  Open("[General]\nOperation Mode=1\nPort=3\n"
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
  ASSERT_TRUE(StartPhone());
  Open("[General]\nOperation Mode=1\nPort=3\nCheckAPVersion=1\nAPVersion=KS_AP_V2.1.0\n"
      "WaitForAPTime=0\n[PHONE]\nCheckVer=1\nVersion=V1.0\n"
      "[Control]\nUser Privilege=1\nTavixNew=1\nOperate CURef=1\n");
  W().SetApVersionText(QStringLiteral("the last phone's"));
  RunJob();
  EXPECT_EQ(W().Bound().apVersion,
            QStringLiteral("Plat:KS6580 Project:KESTREL_AP BASE:KS_AP_V2.1.0\r\n"
                           "SW Ver:\r\nPlat:KS6580 \r\nProject:KESTREL_A1 \r\nBASE:KS_A1_V1.0.2 \r\nHW:P1"));
  EXPECT_EQ(W().PassCount(), 1u);
}

// A failed AT command ends the job with its message in red, counted as failed.
TEST_F(ChecksWindowTest, FailedAtCommandShowsItsMessage) {
  ASSERT_TRUE(StartPhone({QStringLiteral("--fail-when"), QStringLiteral("KV_SendATCommand:AT+B=34")}));
  Open("[General]\nOperation Mode=1\nPort=3\n"
       "[Control]\nUser Privilege=1\nTavixNew=1\nOperate CURef=1\nRebootDUT=0\nSendATCmd=1\n"
       "WATCmd=AT+A|AT+B|AT+C|\n");
  RunJob();
  EXPECT_EQ(SentAtCommands(), (QStringList{"AT+A", "AT+B"}));
  EXPECT_EQ(W().ResultText(), QStringLiteral("Set Failed(AT+B)!"));
  EXPECT_EQ(static_cast<ui::ColourLabel*>(W().Control(ids::kResult))->BrushColour(),
            QColor(255, 0, 0));
  EXPECT_EQ(W().FailCount(), 1u);
  EXPECT_EQ(W().PassCount(), 0u);
}

}  // namespace
}  // namespace kestrel::station::testing
