// A phone pulled out in the middle of a write and plugged back: the job fails with a message
// and records nothing, the station sees the port go and come back, and the next job passes.
#include "tests/station/job_fixture.h"

#include "identity/imei.h"
#include "resources/string_table.h"
#include "ui/colour_label.h"

#include <QComboBox>

namespace kestrel::station::testing {
namespace {

QColor IndicatorColour(StationController& w) {
  return static_cast<ui::ColourLabel*>(w.Control(ids::kPortIndicator))->BrushColour();
}

// Runs the window until `done` holds or `ms` have passed.
template <typename F>
bool Within(int ms, F done) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QApplication::processEvents();
    QThread::msleep(5);
  }
  return true;
}

TEST_F(JobTest, APhoneUnpluggedMidWriteFailsAndTheNextOnePluggedBackPasses) {
  const QColor present(3, 253, 23);
  const QColor absent(254, 168, 1);
  // Each reply takes 150 ms, so the station is still waiting for the identity write's reply
  // when the phone goes.
  ASSERT_TRUE(StartPhone({QStringLiteral("--delay-ms"), QStringLiteral("150")}));
  Open(
      "[General]\nOperation Mode=1\nPort=3\nIMEI1=1\nIMEI1GenMode=1\nAutoCreateIMEI=1\n"
      "DefaultIMEI=35123456000001\nSaveIMEI=1\nSaveToTxt=1\nReadBack=1\n"
      "[Control]\nUser Privilege=1\nTavixNew=1\n");
  ASSERT_TRUE(Within(3000, [&] { return IndicatorColour(W()) == present; }));

  Click(ids::kWrite);
  ASSERT_TRUE(Within(5000, [&] { return CallCount(QStringLiteral("KV_FastWriteNvInfo")) > 0; }));
  sim_->Stop();  // unplugged: the line closes and the port leaves the port map
  ASSERT_TRUE(WaitIdle(10000)) << "the job did not end";
  const QString message = Message();
  EXPECT_FALSE(message.isEmpty());
  EXPECT_NE(message, resources::LoadString(104));  // not left "busy"
  EXPECT_EQ(W().FailCount(), 1U) << message.toStdString();
  EXPECT_EQ(W().PassCount(), 0U);
  EXPECT_TRUE(ImeiTxtLines().isEmpty());
  EXPECT_TRUE(Within(3000, [&] { return IndicatorColour(W()) == absent; }));

  // Plugged back: the same phone on the same port. The port monitor's report refills the
  // port list; the watch shows the port present again.
  ASSERT_TRUE(StartPhone());
  auto* ports = qobject_cast<QComboBox*>(W().Control(ids::kPortList));
  ASSERT_NE(ports, nullptr);
  EXPECT_TRUE(Within(3000, [&] {
    return IndicatorColour(W()) == present && ports->findText(QStringLiteral("COM3")) >= 0;
  }));
  EXPECT_EQ(W().Settings().Port, kCom);

  RunJob();
  EXPECT_EQ(Message(), resources::LoadString(105));
  EXPECT_EQ(W().PassCount(), 1U);
  ASSERT_EQ(ImeiTxtLines().size(), 1);
  // The failed phone's IMEIs are offered again: nothing was recorded for them.
  EXPECT_TRUE(ImeiTxtLines()[0].contains(identity::FullImei(35123456000001ULL)));
  EXPECT_EQ(sim_->State().value(QStringLiteral("imei1")).toString(),
            identity::FullImei(35123456000001ULL));
}

}  // namespace
}  // namespace kestrel::station::testing
