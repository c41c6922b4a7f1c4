// What helps the operator, on a station window against the phone simulator: the countdown of a
// calibration-mode wait (shown while the job waits, gone when the phone is reached, the wait
// times out or Stop is pressed, message 108 untouched), the job's step in the status line of a
// job longer than a second, and the verdict sounds.
#include "station/operator_aids.h"
#include "resources/message_format.h"
#include "resources/sounds/sounds.h"
#include "station/job_step_line.h"
#include "station/sound_thread.h"
#include "station/verdict_sound.h"
#include "tests/station/job_fixture.h"
#include "ui/countdown_bar.h"

#include <QDir>
#include <QLabel>

#include <atomic>
#include <functional>
#include <memory>

namespace kestrel::station::testing {
namespace {

using resources::FormatString;

// Calibration mode; `more` comes first in [General] (of two equal keys the first wins).
QByteArray Calibration(const QByteArray& port, int timeoutMs, const QByteArray& more = {}) {
  return "[General]\n" + more + "Operation Mode=0\nPort=" + port +
         "\nTimeout=" + QByteArray::number(timeoutMs) +
         "\nIMEI1=1\nIMEI1GenMode=1\nAutoCreateIMEI=1\nDefaultIMEI=35123456000001\nSaveIMEI=1\n"
         "SaveToTxt=1\nEntrerModeWait=0\n[Control]\nUser Privilege=1\nTavixNew=1\nDUTPort=3\n";
}

QByteArray Normal(const QByteArray& sections = {}) {
  return "[General]\nOperation Mode=1\nPort=3\nIMEI1=1\nIMEI1GenMode=1\nAutoCreateIMEI=1\n"
         "DefaultIMEI=35123456000001\nSaveIMEI=1\nSaveToTxt=1\n[Control]\nUser Privilege=1\n"
         "TavixNew=1\n" +
         sections;
}

class OperatorAidsTest : public JobTest {
 protected:
  ui::CountdownBar* Bar() { return qobject_cast<ui::CountdownBar*>(W().Control(ids::kCountdown)); }
  QLabel* StatusLine() { return qobject_cast<QLabel*>(W().Control(ids::kStatusLine)); }
  VerdictSound& Sound() { return W().Aids()->Sound(); }

  // Runs the event loop until `done` holds (true) or `ms` have passed (false).
  static bool Until(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
      QApplication::processEvents();
      if (done()) return true;
      QThread::msleep(5);
    }
    return false;
  }
  // Waits until the sound thread has handled every request.
  void WaitSounds() {
    ASSERT_TRUE(Until(
        [this] {
          const VerdictSound::Counts c = Sound().counts();
          return c.played + c.silent == c.requested;
        },
        5000));
  }
};

TEST_F(OperatorAidsTest, TheCountdownRunsWhileTheCalibrationJobWaitsAndGoesWithTheWait) {
  // Shown while the job waits: it counts down at least every 250 ms beside message 108.
  Open(Calibration("-1", 2500));
  ASSERT_NE(Bar(), nullptr);
  EXPECT_FALSE(Bar()->isVisible());
  Click(ids::kWrite);
  ASSERT_TRUE(Until([this] { return Bar()->isVisible(); }, 1000));
  EXPECT_EQ(W().ResultText(), FormatString(108, {std::int64_t{2}}));
  std::vector<int> values;
  for (int i = 0; i < 6; ++i) {
    QTest::qWait(250);
    values.push_back(Bar()->value());
  }
  for (std::size_t i = 1; i < values.size(); ++i) EXPECT_LT(values[i], values[i - 1]) << i;
  EXPECT_GE(values.front(), 2500 - 700);  // from Timeout
  EXPECT_LE(values.back(), 2500 - 1300);
  EXPECT_EQ(Bar()->text(), ui::CountdownBar::SecondsText(Bar()->value()));
  EXPECT_EQ(W().ResultText(), FormatString(108, {std::int64_t{2}}));
  // For looking at: the window during the wait.
  W().grab().save(QStringLiteral(KESTREL_TEST_OUTPUT_DIR "/countdown.png"));
  // The time-out ends it.
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(W().FailCount(), 1U);
  EXPECT_FALSE(Bar()->isVisible());
  EXPECT_FALSE(Bar()->Running());

  // Stop ends it at once.
  Click(ids::kWrite);
  ASSERT_TRUE(Until([this] { return Bar()->isVisible(); }, 1000));
  Click(ids::kStop);
  EXPECT_FALSE(Bar()->isVisible());
  QTest::qWait(300);
  EXPECT_FALSE(Bar()->isVisible());
  window_.reset();

  // The phone reached ends it as its sequence begins (a slow phone: the sequence takes a
  // while); the job passes.
  ASSERT_TRUE(StartPhone({QStringLiteral("--appear-after-ms"), QStringLiteral("1200"),
                          QStringLiteral("--delay-ms"), QStringLiteral("200")},
                         false));
  Open(Calibration("-1", 8000));
  Click(ids::kWrite);
  ASSERT_TRUE(Until([this] { return Bar()->isVisible(); }, 1000));
  EXPECT_EQ(Bar()->text(), QStringLiteral("8 s"));
  ASSERT_TRUE(Until([this] { return !Bar()->isVisible(); }, 5000));
  EXPECT_TRUE(W().JobRunning());
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(W().PassCount(), 1U);
  EXPECT_FALSE(Bar()->isVisible());
  window_.reset();

  // A normal-mode job has no wait.
  sim_.reset();
  ASSERT_TRUE(StartPhone({QStringLiteral("--no-answer")}));
  Open(Normal());
  Click(ids::kWrite);
  EXPECT_FALSE(Until([this] { return Bar()->isVisible(); }, 400));
  ASSERT_TRUE(WaitIdle());
}

TEST_F(OperatorAidsTest, TheStatusLineShowsTheStepOfAJobLongerThanASecond) {
  // The phone caught at once, then the mandated pause of 1500 ms: the job runs for seconds.
  ASSERT_TRUE(StartPhone());
  Open(Calibration("3", 8000, "EntrerModeWait=1500\n"));
  const QString own = StatusLine()->text();
  ASSERT_FALSE(own.isEmpty());
  QStringList seen;
  QElapsedTimer t;
  t.start();
  Click(ids::kWrite);
  while (W().JobRunning() || W().JobActive()) {
    const QString text = StatusLine()->text();
    if (text != own && (seen.isEmpty() || seen.back() != text)) {
      seen << text;
      // Nothing shows in the first second.
      EXPECT_GE(t.elapsed(), JobStepLine::kShowAfterMs - 50) << text.toStdString();
    }
    QApplication::processEvents();
    QThread::msleep(5);
    ASSERT_LT(t.elapsed(), 20000);
  }
  QApplication::processEvents();
  EXPECT_EQ(W().PassCount(), 1U);
  ASSERT_FALSE(seen.isEmpty());
  for (const QString& text : seen) {
    EXPECT_TRUE(text.startsWith(QStringLiteral("Step EntrerModeWait \u00B7 ")))
        << text.toStdString();
    EXPECT_TRUE(text.endsWith(QLatin1String(" s"))) << text.toStdString();
  }
  EXPECT_GE(seen.size(), 2) << seen.join('|').toStdString();  // the time moves on
  // The job's end gives the line its own text back.
  EXPECT_EQ(StatusLine()->text(), own);
  EXPECT_EQ(JobStepLine::StepText(QStringLiteral("KV_WriteSN"), 3240),
            QStringLiteral("Step KV_WriteSN \u00B7 3.2 s"));
}

TEST_F(OperatorAidsTest, EachVerdictHasItsSoundAndAStopOrSoundOffHasNone) {
  const QUrl pass = resources::PassSoundUrl();
  const QUrl fail = resources::FailSoundUrl();
  const struct {
    const char* what;
    QByteArray ini;
    bool phone;
    QStringList faults;
    QUrl sound;  // empty: none
  } cases[] = {
      {"passed", Normal(), true, {}, pass},
      {"failed",
       Normal(),
       true,
       {QStringLiteral("--fail"), QStringLiteral("KV_FastWriteNvInfo=9")},
       fail},
      {"timed out", Calibration("-1", 300), false, {}, fail},
      {"sound off", Normal("[OPERATOR]\nSound=0\n"), true, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    window_.reset();
    sim_.reset();
    if (c.phone) {
      ASSERT_TRUE(StartPhone(c.faults));
    }
    Open(c.ini);
    ASSERT_TRUE(Sound().SoundsReady(5000)) << "the built-in sounds did not load";
    RunJob();
    WaitSounds();
    const VerdictSound::Counts counts = Sound().counts();
    EXPECT_EQ(counts.requested, c.sound.isEmpty() ? 0 : 1);
    EXPECT_EQ(Sound().LastSound(), c.sound);
    EXPECT_EQ(W().FailCount() + W().PassCount(), 1U);
  }
  // A stop ends a job without a verdict, and so without a sound; nothing is shown about the
  // audio device, whether there is one or not.
  window_.reset();
  Open(Calibration("-1", 20000));
  Click(ids::kWrite);
  QTest::qWait(200);
  Click(ids::kStop);
  WaitSounds();
  EXPECT_EQ(Sound().counts().requested, 0);
  EXPECT_TRUE(messages_.isEmpty()) << messages_.join('|').toStdString();
}

TEST_F(OperatorAidsTest, AHundredStationsOpenedAndClosedInOneProcessLeaveTheSoundThreadAsOneDid) {
  // What the sound thread holds: its objects, all of them (the effects and what they made).
  auto held = [] {
    auto n = std::make_shared<std::atomic<int>>(-1);
    const bool posted = SoundThread::Post([n](QObject& context) {
      n->store(static_cast<int>(context.findChildren<QObject*>().size()));
    });
    return posted && Until([&] { return n->load() >= 0; }, 5000) ? n->load() : -1;
  };
  // Each station plays both verdicts and goes; what it made goes with it.
  int afterOne = -1;
  for (int i = 0; i < 100; ++i) {
    Open(Normal());
    Sound().Play(Verdict::Pass, 0);
    Sound().Play(Verdict::Fail, 0);
    WaitSounds();
    ASSERT_EQ(Sound().counts().requested, 2) << i;
    window_.reset();
    if (i == 0) afterOne = held();
  }
  EXPECT_GE(afterOne, 2) << "the two effects";
  EXPECT_EQ(held(), afterOne);
}

TEST_F(OperatorAidsTest, ABadLabelTemplateIsRefusedAtStartUpAndThePhonesStillPass) {
  const QString bad =
      dir_.Write(QStringLiteral("box.txt"), "size 50 30\ncode128 IMEI5 0 0 10 10\n");
  const struct {
    const char* setting;
    QString message;
  } cases[] = {
      {"box.txt",
       QStringLiteral("label template %1: line 2: unknown field 'IMEI5' (fields: IMEI1, IMEI2, "
                      "IMEI3, IMEI4, BT, WIFI, SN1, SN2, DATE, STATION; a text goes in quotes)")
           .arg(QDir::toNativeSeparators(bad))},
      {"missing.txt", QStringLiteral("label template %1: No such file or directory")
                          .arg(QDir::toNativeSeparators(dir_.File(QStringLiteral("missing.txt"))))},
  };
  ASSERT_TRUE(StartPhone());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting);
    window_.reset();
    messages_.clear();
    Open(Normal("[LABEL]\nPrint=1\nTemplate=" + QByteArray(c.setting) + "\n"));
    ASSERT_EQ(messages_.size(), 1);
    EXPECT_EQ(messages_[0],
              c.message + QStringLiteral("\nNo labels are printed until it is mended."));
    EXPECT_EQ(W().Aids()->LabelError(), c.message);
    EXPECT_EQ(W().Aids()->Labels(), nullptr);
    EXPECT_EQ(W().Aids()->ReprintAction(), nullptr);
    RunJob();
    EXPECT_EQ(W().PassCount(), 1U);
  }
  // Without Print=1 the template is not read at all, and nothing is said.
  window_.reset();
  messages_.clear();
  Open(Normal("[LABEL]\nPrint=0\nTemplate=box.txt\n"));
  EXPECT_TRUE(messages_.isEmpty());
  EXPECT_EQ(W().Aids()->Labels(), nullptr);
}

}  // namespace
}  // namespace kestrel::station::testing
