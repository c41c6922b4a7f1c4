// Jobs end to end: the station window writes and reads a simulated phone through the phone
// library — passes, each failure with its message and count, Stop, time-outs, the repeat run.
#include "tests/station/job_fixture.h"

#include "config/ini_file.h"
#include "identity/imei.h"
#include "log/durable_file.h"
#include "resources/message_format.h"
#include "resources/string_table.h"
#include "station/job_control.h"
#include "ui/colour_label.h"
#include "ui/fonts.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>

#include <atomic>
#include <string_view>
#include <thread>

namespace kestrel::station::testing {
namespace {

using resources::FormatString;
using resources::LoadString;

constexpr std::uint64_t kBase = 35123456000001ULL;

// Normal mode on COM3: IMEI1 generated from the base, saved to IMEI.txt, fast write.
QByteArray NormalStation(const QByteArray& extra = {}) {
  return "[General]\nOperation Mode=1\nPort=3\nIMEI1=1\nIMEI1GenMode=1\nAutoCreateIMEI=1\n"
         "DefaultIMEI=35123456000001\nSaveIMEI=1\nSaveToTxt=1\n" +
         extra + "\n[Control]\nUser Privilege=1\nTavixNew=1\n";
}

// Calibration mode: the mode process catches the phone on COM3 (or, with Port=-1, on
// whatever port appears).
// `general` and `control` go first into their sections (of two equal keys, or sections, the
// first wins), `sections` after them.
QByteArray CalibrationStation(const QByteArray& port, const QByteArray& general = {},
                              const QByteArray& control = {}, const QByteArray& sections = {}) {
  return "[General]\n" + general + "\nOperation Mode=0\nPort=" + port +
         "\nIMEI1=1\nIMEI1GenMode=1\nAutoCreateIMEI=1\nDefaultIMEI=35123456000001\n"
         "SaveIMEI=1\nSaveToTxt=1\nTimeout=8000\nEntrerModeWait=0\n"
         "[Control]\n" + control + "\nUser Privilege=1\nTavixNew=1\nDUTPort=3\n" + sections;
}

QString Ini(const kestrel::testing::StationDir& dir, const char* section, const char* key) {
  return config::IniFile(dir.File(QStringLiteral("Kestrel.ini")))
      .ReadString(QLatin1String(section), QLatin1String(key), QString());
}

QColor LabelColour(StationController& w) {
  return static_cast<ui::ColourLabel*>(w.Control(ids::kResult))->BrushColour();
}

TEST_F(JobTest, NormalModeWritePassesRecordsAndMovesToTheNextImei) {
  ASSERT_TRUE(StartPhone());
  Open(NormalStation());
  RunJob();
  const QString imei = identity::FullImei(kBase);
  EXPECT_EQ(Message(), LoadString(105));
  EXPECT_EQ(LabelColour(W()), QColor(0, 128, 0));
  EXPECT_EQ(W().PassCount(), 1U);
  EXPECT_EQ(W().FailCount(), 0U);
  ASSERT_EQ(ImeiTxtLines().size(), 1);
  EXPECT_TRUE(ImeiTxtLines()[0].contains(imei));
  EXPECT_EQ(sim_->State().value(QStringLiteral("imei1")).toString(), imei);
  EXPECT_EQ(Ini(dir_, "General", "DefaultIMEI"), QStringLiteral("35123456000002"));
  // The phone library was asked in the order of a normal-mode job.
  const QStringList calls = PhoneCalls();
  ASSERT_GE(calls.size(), 3);
  EXPECT_EQ(calls[0], QStringLiteral("SYNC"));
  EXPECT_EQ(calls[1], QStringLiteral("KV_GetMsVersion"));
  EXPECT_EQ(calls[2], QStringLiteral("KV_FastWriteNvInfo"));

  // The next phone gets the next IMEI.
  RunJob();
  EXPECT_EQ(W().PassCount(), 2U);
  ASSERT_EQ(ImeiTxtLines().size(), 2);
  EXPECT_TRUE(ImeiTxtLines()[1].contains(identity::FullImei(kBase + 1)));
  EXPECT_EQ(sim_->State().value(QStringLiteral("imei1")).toString(), identity::FullImei(kBase + 1));
  EXPECT_TRUE(ButtonOf(ids::kWrite)->isEnabled());
  // For looking at: the window after a pass.
  W().grab().save(QStringLiteral(KESTREL_TEST_OUTPUT_DIR "/job_pass.png"));
}

TEST_F(JobTest, CalibrationModeWritePassesOnThePhoneTheModeProcessCaught) {
  ASSERT_TRUE(StartPhone());
  Open(CalibrationStation("3"));
  RunJob();
  EXPECT_EQ(Message(), LoadString(105));
  EXPECT_EQ(W().PassCount(), 1U);
  EXPECT_EQ(ImeiTxtLines().size(), 1);
  EXPECT_TRUE(sim_->LogLines().contains(QStringLiteral("KV_EnterModeProcess mode=10")));
}

TEST_F(JobTest, CalibrationModeByUsbTakesThePortOfAPhoneThatAppearsWhenAsked) {
  ASSERT_TRUE(StartPhone({QStringLiteral("--appear-on-mode")}, false));
  Open(CalibrationStation("-1", "AP Mode=1\n", "TESTMODE=1\n"));
  EXPECT_EQ(W().Settings().AutoPort, 1);
  Click(ids::kWrite);
  EXPECT_EQ(Message(), FormatString(108, {std::int64_t{8}}));  // Timeout 8000 ms
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Message(), LoadString(105));
  EXPECT_EQ(W().PassCount(), 1U);
  // (Port takes KV_GetUsbPort's answer for the job; a later refill of the port list by the
  // port monitor's report of the new phone sets it back to -1 in this mode, as it should.)
  EXPECT_TRUE(sim_->LogLines().contains(QStringLiteral("KV_EnterModeProcess mode=22")));
}

// --- Failures: each with its message, counted once, nothing recorded ---

struct FailureCase {
  const char* name;
  QByteArray settings;  // added to the normal-mode station
  QStringList faults;
  std::function<QString()> message;
  int savedLines;  // IMEI.txt lines after the job
  std::function<void(JobTest&)> check;
  QJsonObject phone = {};  // the phone's state before the job (default: a new phone)
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class WriteFailure : public JobTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(WriteFailure, EndsWithItsMessageAndCountsThePhoneOnce) {
  const FailureCase& c = GetParam();
  if (!c.phone.isEmpty()) dir_.Write(QStringLiteral("phone.json"), QJsonDocument(c.phone).toJson());
  ASSERT_TRUE(StartPhone(c.faults));
  Open(NormalStation(c.settings));
  RunJob();
  EXPECT_EQ(Message(), c.message()) << sim_->LogLines().join(QLatin1Char('|')).toStdString();
  EXPECT_EQ(LabelColour(W()), QColor(255, 0, 0));
  EXPECT_EQ(W().FailCount(), 1U);
  EXPECT_EQ(W().PassCount(), 0U);
  EXPECT_EQ(ImeiTxtLines().size(), c.savedLines);
  if (c.savedLines == 0) {
    EXPECT_EQ(Ini(dir_, "General", "DefaultIMEI"), QStringLiteral("35123456000001"));
  }
  if (c.check) c.check(*this);
  EXPECT_TRUE(ButtonOf(ids::kWrite)->isEnabled());
}

const QByteArray kSerials = "WriteSN=1\nSN1=1\nSN2=1\nAutoCreateSN1=1\nAutoCreateSN2=1\nSN Length=10\n";

INSTANTIATE_TEST_SUITE_P(
    NormalMode, WriteFailure,
    ::testing::Values(
        FailureCase{"no_answer_to_four_probes", {}, {QStringLiteral("--no-answer")},
                    [] { return LoadString(111); }, 0,
                    [](JobTest& job) { EXPECT_EQ(job.CallCount(QStringLiteral("KV_GetMsVersion")), 4); }},
        FailureCase{"protected_imei", {}, {QStringLiteral("--protected")},
                    [] { return LoadString(144); }, 0, {}},
        FailureCase{"sn1_fails_so_sn2_is_not_written", kSerials,
                    {QStringLiteral("--fail"), QStringLiteral("KV_WriteSN=34")},
                    [] { return FormatString(157, {std::int64_t{34}}); }, 0,
                    [](JobTest& job) {
                      EXPECT_EQ(job.CallCount(QStringLiteral("KV_WriteSN")), 1);
                      EXPECT_EQ(job.CallCount(QStringLiteral("KV_FastWriteNvInfo")), 0);
                    }},
        FailureCase{"imei_read_back_differs", "ReadBack=1\n", {QStringLiteral("--stale-nv")},
                    [] { return FormatString(180, {std::int64_t{1}}); }, 0, {}},
        // The phone acknowledges the write but keeps the address it had (the IMEI it
        // already held matches).
        FailureCase{"bluetooth_read_back_differs",
                    "ReadBack=1\nBT_ADDR=1\nAutoGenerateBT_ADDR=1\nAutoGenerateBTAddrType=1\n"
                    "InitialAddrForBT=0011223344aa\n",
                    {QStringLiteral("--stale-nv")},
                    [] { return LoadString(185); },
                    0,
                    [](JobTest& job) {
                      // The station's text became upper case in place.
                      EXPECT_TRUE(job.W().ResultText().contains(QStringLiteral("BT:0011223344AA")));
                    },
                    {{"imei1", identity::FullImei(kBase)}, {"bt", "FFFFFFFFFFFF"}}},
        FailureCase{"wifi_read_back_differs",
                    "ReadBack=1\nWIFI_ADDR=1\nAutoWIFI_ADDR=1\nAutoGenerateWifiMacType=1\n"
                    "InitialAddrForWIFI=00037f0000a0\nForeWIFI=00037F\n",
                    {QStringLiteral("--stale-nv")},
                    [] { return LoadString(186); },
                    0,
                    {},
                    {{"imei1", identity::FullImei(kBase)}, {"wifi", "00037F0000A1"}}},
        FailureCase{"read_back_call_fails", "ReadBack=1\n",
                    {QStringLiteral("--fail"), QStringLiteral("KV_FastReadNvInfo=34")},
                    [] { return LoadString(119); }, 0, {}},
        FailureCase{"write_time_limit", "WriteTimeCheck=1\nWriteTime=1\n",
                    {QStringLiteral("--delay-ms"), QStringLiteral("30")},
                    [] { return FormatString(122, {std::int64_t{1}}); }, 0,
                    [](JobTest& job) {
                      // The phone holds the IMEI, but it is not recorded as passed.
                      EXPECT_EQ(job.sim_->State().value(QStringLiteral("imei1")).toString(),
                                identity::FullImei(kBase));
                    }},
        // The line goes in the middle of the read-back's reply: the identities could not be
        // verified, so the phone fails (and nothing hangs).
        FailureCase{"line_dropped_mid_read_back", {},
                    {QStringLiteral("--drop-after-bytes"), QStringLiteral("90")},
                    [] { return LoadString(119); }, 0, {}},
        FailureCase{"usb_off_fails_after_a_pass", "Disable AutoUSB=1\n",
                    {QStringLiteral("--fail"), QStringLiteral("KV_SetUsbAutoMode=34")},
                    [] { return FormatString(179, {std::int64_t{34}}); }, 1,
                    [](JobTest& job) {
                      // The identities are on the phone: its line and the new base stay.
                      EXPECT_EQ(Ini(job.dir_, "General", "DefaultIMEI"),
                                QStringLiteral("35123456000002"));
                    }},
        FailureCase{"a_failed_write_leaves_usb_on", "Disable AutoUSB=1\n",
                    {QStringLiteral("--protected")}, [] { return LoadString(144); }, 0,
                    [](JobTest& job) {
                      EXPECT_EQ(job.CallCount(QStringLiteral("KV_SetUsbAutoMode")), 0);
                    }},
        // A power-off that fails after a failed write does not count the phone a second time.
        FailureCase{"a_failed_power_off_counts_the_phone_once", "Power Off=1\n",
                    {QStringLiteral("--protected"), QStringLiteral("--fail"),
                     QStringLiteral("KV_PowerOff=34")},
                    [] { return LoadString(184); }, 0, {}},
        FailureCase{"a_failed_phone_is_powered_off", "Power Off=1\n",
                    {QStringLiteral("--protected")}, [] { return LoadString(144); }, 0,
                    [](JobTest& job) {
                      EXPECT_EQ(job.CallCount(QStringLiteral("KV_PowerOff")), 1);
                      EXPECT_TRUE(job.sim_->State().value(QStringLiteral("powered_off")).toBool());
                    }}),
    [](const ::testing::TestParamInfo<FailureCase>& p) { return std::string(p.param.name); });

// The settings keep a counter's address in lower case; the phone keeps 6 bytes and reads
// them back in upper case, and a phone (or phone library) may answer in lower case: the
// read-back compares without regard to case, and the station's text becomes upper case.
TEST_F(JobTest, AddressReadBackPassesWhateverCaseThePhoneAnswersIn) {
  const struct {
    const char* name;
    QByteArray settings;
    QStringList faults;
    const char* shown;  // in the result text
    const char* key;    // in the phone's state
  } cases[] = {
      {"bluetooth",
       "BT_ADDR=1\nAutoGenerateBT_ADDR=1\nAutoGenerateBTAddrType=1\n"
       "InitialAddrForBT=0011223344aa\n",
       {},
       "BT:0011223344AA",
       "bt"},
      {"bluetooth, lower-case phone",
       "BT_ADDR=1\nAutoGenerateBT_ADDR=1\n"
       "AutoGenerateBTAddrType=1\nInitialAddrForBT=0011223344aa\n",
       {QStringLiteral("--lowercase-addresses")},
       "BT:0011223344AA",
       "bt"},
      {"wi-fi, lower-case phone",
       "WIFI_ADDR=1\nAutoWIFI_ADDR=1\nAutoGenerateWifiMacType=1\n"
       "InitialAddrForWIFI=00037f0000a0\nForeWIFI=00037F\n",
       {QStringLiteral("--lowercase-addresses")},
       "Wifi:00037F0000A0",
       "wifi"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(dir_.File(QStringLiteral("phone.json")));
    QFile::remove(dir_.File(QStringLiteral("IMEI.txt")));
    ASSERT_TRUE(StartPhone(c.faults));
    Open(NormalStation("ReadBack=1\n" + c.settings));
    RunJob();
    EXPECT_EQ(Message(), LoadString(105));
    EXPECT_EQ(W().PassCount(), 1U);
    EXPECT_TRUE(W().ResultText().contains(QLatin1String(c.shown)))
        << W().ResultText().toStdString();
    sim_->Stop();
    const QString shown = QLatin1String(c.shown);
    EXPECT_EQ(sim_->State().value(QLatin1String(c.key)).toString(),
              shown.mid(shown.indexOf(QLatin1Char(':')) + 1));
    window_.reset();
  }
}

// Three phones on the line, one Enter each: the initial-address counter gives each its own
// address, every one passes its read-back and is recorded.
TEST_F(JobTest, ThreeEnterPressesWriteThreePhonesWithThreeAddresses) {
  ASSERT_TRUE(StartPhone());
  Open(
      NormalStation("ReadBack=1\nBT_ADDR=1\nAutoGenerateBT_ADDR=1\nAutoGenerateBTAddrType=1\n"
                    "InitialAddrForBT=0011223344fe\n"));
  QStringList addresses;
  for (int phone = 0; phone < 3; ++phone) {
    ASSERT_TRUE(W().ReadyToWrite()) << phone;
    PressKey(Qt::Key_Return);
    ASSERT_TRUE(WaitIdle()) << phone;
    EXPECT_EQ(Message(), LoadString(105)) << phone;
    addresses << sim_->State().value(QStringLiteral("bt")).toString();
  }
  EXPECT_EQ(W().PassCount(), 3U);
  EXPECT_EQ(W().FailCount(), 0U);
  EXPECT_EQ(addresses, (QStringList{"0011223344FE", "0011223344FF", "001122334500"}));
  const QStringList lines = ImeiTxtLines();
  ASSERT_EQ(lines.size(), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(lines[i].contains(identity::FullImei(kBase + static_cast<std::uint64_t>(i))));
    EXPECT_TRUE(lines[i].contains(addresses[i], Qt::CaseInsensitive)) << lines[i].toStdString();
  }
}

TEST_F(JobTest, UsbOffAfterAPassCountsThePhoneOnceAsPassed) {
  ASSERT_TRUE(StartPhone());
  Open(NormalStation("Disable AutoUSB=1\n"));
  RunJob();
  EXPECT_EQ(Message(), LoadString(105));
  EXPECT_EQ(W().PassCount(), 1U);
  EXPECT_EQ(W().FailCount(), 0U);
  EXPECT_FALSE(sim_->State().value(QStringLiteral("usb_auto_mode")).toBool());
}

TEST_F(JobTest, AddressFileMovesOnAfterAFailedWrite) {
  const QString file = dir_.Write(QStringLiteral("bt.ini"),
                                  "[BT Address]\nStart Address=001122330000\n"
                                  "Current Address=001122330005\nEnd Address=0011223300FF\n");
  ASSERT_TRUE(StartPhone({QStringLiteral("--protected")}));
  Open(NormalStation("BT_ADDR=1\n[CUSTOMIZATION]\nManual Assign BT Addr=1\nBT Addr File Path=" +
                     file.toUtf8() + "\n[General]\n"));
  EXPECT_EQ(W().Identities().BT, QStringLiteral("001122330005"));
  RunJob();
  EXPECT_EQ(W().FailCount(), 1U);
  EXPECT_EQ(config::IniFile(file).ReadString(QStringLiteral("BT Address"),
                                              QStringLiteral("Current Address"), QString()),
            QStringLiteral("001122330006"));
}

// --- Calibration-mode waits: time-out and Stop ---

TEST_F(JobTest, NoPhoneWithinTimeoutFailsWithTheTimeoutMessage) {
  Open(CalibrationStation("-1", "Timeout=1500\n"));
  Click(ids::kWrite);
  EXPECT_EQ(Message(), FormatString(108, {std::int64_t{1}}));  // 1500 ms shows as 1 s
  QElapsedTimer t;
  t.start();
  ASSERT_TRUE(WaitIdle());
  EXPECT_GE(t.elapsed(), 1300);
  EXPECT_EQ(Message(), LoadString(103));
  EXPECT_EQ(W().FailCount(), 1U);
  EXPECT_TRUE(ButtonOf(ids::kWrite)->isEnabled());
}

TEST_F(JobTest, StopEndsAWaitingOrProbingJobWithinTheBoundAndCountsNothing) {
  const struct {
    const char* name;
    QByteArray ini;
    QStringList faults;
  } cases[] = {
      {"calibration wait", CalibrationStation("-1", "Timeout=20000\n"), {}},
      {"normal-mode probe", NormalStation(), {QStringLiteral("--no-answer")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.faults.isEmpty()) {
      ASSERT_TRUE(StartPhone(c.faults));
    }
    Open(c.ini);
    Click(ids::kWrite);
    EXPECT_TRUE(W().JobRunning());
    QThread::msleep(300);
    QApplication::processEvents();
    QElapsedTimer t;
    t.start();
    Click(ids::kStop);
    EXPECT_LT(t.elapsed(), 3000);
    EXPECT_FALSE(W().JobRunning());
    EXPECT_EQ(W().ResultText(), LoadString(115));
    EXPECT_EQ(LabelColour(W()), QColor(100, 150, 200));
    // No end-of-job message follows: the label and the counts stay.
    QThread::msleep(400);
    QApplication::processEvents();
    EXPECT_EQ(W().ResultText(), LoadString(115));
    EXPECT_EQ(W().FailCount(), 0U);
    EXPECT_EQ(W().PassCount(), 0U);
    EXPECT_TRUE(ButtonOf(ids::kWrite)->isEnabled());
    window_.reset();
    sim_.reset();
  }
}

// Holds the job thread in the step of its first probe until `release`, as a phone library whose
// call never returns holds it: the thread ignores Stop.
struct HeldProbe : JobObserver {
  void JobStarted(JobKind, int, const QDateTime&) override {}
  void JobEnded(const JobSummary&) override {}
  void StepFinished(const JobStep& step) override {
    if (std::string_view(step.name) != "KV_GetMsVersion") return;
    held = true;
    while (!release) QThread::msleep(5);
  }
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
};

TEST_F(JobTest, AThreadThatOutlivesItsStopRefusesNewJobsAtOnceAndTheWindowMayClose) {
  ASSERT_TRUE(StartPhone({QStringLiteral("--no-answer")}));
  Open(NormalStation());
  // Never freed: the station leaves the held thread behind, still waiting on it.
  auto* held = new HeldProbe;
  W().AddJobObserver(held);
  Click(ids::kWrite);
  QElapsedTimer t;
  t.start();
  while (!held->held && t.elapsed() < 5000) QApplication::processEvents();
  ASSERT_TRUE(held->held);
  Click(ids::kStop);  // within its bound; the thread stays behind
  EXPECT_EQ(W().ResultText(), LoadString(115));

  // A wait for the held thread would never end: after 5 s the watchdog lets it go, so that the
  // wait shows as a failure rather than as a hang.
  std::atomic<bool> answered{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 500 && !answered.load(); ++i) QThread::msleep(10);
    if (!answered.load()) held->release = true;
  });
  t.restart();
  Click(ids::kWrite);
  answered = true;
  watchdog.join();
  EXPECT_LT(t.elapsed(), 1000);
  EXPECT_EQ(W().ResultText(),
            QStringLiteral(
                "The phone library has not returned from its last call; restart the station."));
  EXPECT_EQ(LabelColour(W()), QColor(255, 0, 0));
  EXPECT_EQ(W().FailCount() + W().PassCount(), 0U);
  EXPECT_TRUE(ButtonOf(ids::kWrite)->isEnabled());

  // The window closes, and goes without waiting for the thread. The held thread never ends,
  // so a wait for it would not return at all; the bound catches a close that gives it the
  // join a Stop allows. What the close does take is the job records' durable write, which a
  // disk busy with other tests' syncs has been seen to hold for two seconds.
  W().close();
  EXPECT_FALSE(W().isVisible());
  t.restart();
  window_.reset();
  EXPECT_LT(t.elapsed(), JobControl::kStopJoinMs);
}

TEST_F(JobTest, TheWindowIsInVerdana13UncutAndACloseDuringAJobSaysPressStop) {
  Open(CalibrationStation("-1", "Timeout=20000\n"));
  EXPECT_EQ(W().font(), ui::DialogFont(QStringLiteral("VERDANA"), 13));
  auto* status = qobject_cast<QLabel*>(W().Control(ids::kStatusLine));
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->font(), W().font());
  // Nothing is cut: each button and one-line label is at least as large as its text needs.
  for (QWidget* w : W().findChildren<QWidget*>()) {
    auto* label = qobject_cast<QLabel*>(w);
    if (!w->isVisible() || (qobject_cast<QPushButton*>(w) == nullptr &&
                            (label == nullptr || label->wordWrap() || label->text().isEmpty()))) {
      continue;
    }
    EXPECT_GE(w->width(), w->sizeHint().width()) << w->objectName().toStdString();
    EXPECT_GE(w->height(), w->sizeHint().height()) << w->objectName().toStdString();
  }

  Click(ids::kWrite);
  ASSERT_TRUE(W().JobRunning());
  W().close();
  EXPECT_TRUE(W().isVisible());
  EXPECT_TRUE(status->text().contains(QStringLiteral("Press Stop")))
      << status->text().toStdString();
  EXPECT_GE(status->width(), status->sizeHint().width());
  W().grab().save(QStringLiteral(KESTREL_TEST_OUTPUT_DIR "/close_refused.png"));
  Click(ids::kStop);
  W().close();
  EXPECT_FALSE(W().isVisible());
}

// --- The repeat run with the bench power source ---

TEST_F(JobTest, RepeatRunWithTestCountsOneRunsTwoJobsAndRests) {
  kestrel::testing::ChildProcess power;
  ASSERT_TRUE(power.Start(kestrel::testing::BinPath(QStringLiteral("kestrel-power-sim")),
                          {QStringLiteral("--listen"), QStringLiteral("0")}));
  QByteArray ready;
  ASSERT_TRUE(power.ReadLine(&ready, 5000));
  ASSERT_TRUE(ready.startsWith("ready tcp://127.0.0.1:")) << ready.constData();
  dir_.Write(QStringLiteral("Ampvane.ini"),
             "[GPIB0]\n5=" + ready.mid(6).trimmed() + "\n");
  ASSERT_TRUE(StartPhone());
  Open(CalibrationStation(
      "3", {}, {}, "[AMPVANE]\nUseAMV=1\nTestCounts=1\nDCType=1\nDCGpibNo=0\nDCGpibAddr=5\n"));
  ASSERT_NE(W().PowerSource(), nullptr);
  Click(ids::kWrite);
  ASSERT_TRUE(WaitIdle(20000));
  EXPECT_EQ(W().PassCount(), 2U);
  EXPECT_EQ(W().PowerRepeatCount(), 0);
  EXPECT_EQ(ImeiTxtLines().size(), 2);
  QFile log(dir_.File(QStringLiteral("Log/IMEI.log")));
  ASSERT_TRUE(log.open(QIODevice::ReadOnly));
  QStringList records;
  for (const QString& r : QString::fromUtf8(log.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts)) {
    records << r.trimmed();
  }
  ASSERT_EQ(records.size(), 2);
  EXPECT_TRUE(records[0].endsWith(QStringLiteral(" 0,PASS"))) << records[0].toStdString();
  EXPECT_TRUE(records[1].endsWith(QStringLiteral(" 1,PASS"))) << records[1].toStdString();
}

// --- Read jobs ---

// Writes the phone's state before the simulator starts.
void PresetPhone(kestrel::testing::StationDir& dir, const QJsonObject& state) {
  dir.Write(QStringLiteral("phone.json"), QJsonDocument(state).toJson());
}

TEST_F(JobTest, ReadJobReadsWithTheMasksOfItsModeAndShowsWhatItRead) {
  const struct {
    const char* name;
    QByteArray ini;
    QStringList masks;
  } cases[] = {
      {"normal, IMEIs only", "[General]\nOperation Mode=1\nPort=3\nIMEI1=1\nIMEI2=1\n",
       {QStringLiteral("mask=0x3")}},
      {"normal, IMEI1 and Wi-Fi", "[General]\nOperation Mode=1\nPort=3\nIMEI1=1\nWIFI_ADDR=1\n",
       {QStringLiteral("mask=0x1"), QStringLiteral("mask=0x40")}},
      {"calibration", "[General]\nOperation Mode=0\nPort=3\nTimeout=8000\nIMEI1=1\nWIFI_ADDR=1\n",
       {QStringLiteral("mask=0x33"), QStringLiteral("mask=0x44")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PresetPhone(dir_, {{QStringLiteral("imei1"), QStringLiteral("351234560000011")},
                       {QStringLiteral("imei2"), QStringLiteral("351234560000029")},
                       {QStringLiteral("wifi"), QStringLiteral("00037F0000A0")}});
    QFile::remove(dir_.File(QStringLiteral("phone.log")));
    ASSERT_TRUE(StartPhone());
    Open(c.ini + "[Control]\nTavixNew=1\nDUTPort=3\n");
    RunJob(ids::kRead);
    QStringList reads;
    for (const QString& line : sim_->LogLines()) {
      if (line.startsWith(QLatin1String("KV_FastReadNvInfo "))) reads << line.section(' ', 1);
    }
    EXPECT_EQ(reads, c.masks);
    EXPECT_EQ(Message(), LoadString(120));
    EXPECT_EQ(W().ResultText().section('\n', 1, 1), QStringLiteral("IMEI1:351234560000011"));
    EXPECT_EQ(W().FailCount() + W().PassCount(), 0U);  // a read counts nothing
    EXPECT_FALSE(W().ReadJob());
    window_.reset();
    sim_.reset();
  }
}

TEST_F(JobTest, ReadJobWithCheckComparesWhatWasEnteredIgnoringCase) {
  const struct {
    const char* name;
    const char* typedBt;
    QString message;
    QColor colour;
  } cases[] = {
      {"match", "0011223344aa", LoadString(168), QColor(0, 128, 0)},
      {"mismatch", "0011223344AB", LoadString(169), QColor(255, 0, 0)},
      {"nothing entered", "", LoadString(120), QColor(0, 128, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PresetPhone(dir_, {{QStringLiteral("imei1"), QStringLiteral("351234560000011")},
                       {QStringLiteral("bt"), QStringLiteral("0011223344AA")}});
    ASSERT_TRUE(StartPhone());
    Open("[General]\nOperation Mode=1\nPort=3\nIMEI1=1\nBT_ADDR=1\nCheckIMEIAfterRead=1\n"
         "[Control]\nTavixNew=1\n");
    EditOf(ids::kBluetooth)->setText(QLatin1String(c.typedBt));
    RunJob(ids::kRead);
    const QString expected = c.message + QStringLiteral("\nIMEI1:351234560000011  Check:") +
                             QStringLiteral("\nBT:0011223344AA  Check:") + QLatin1String(c.typedBt);
    EXPECT_EQ(W().ResultText(), expected);
    EXPECT_EQ(LabelColour(W()), c.colour);
    EXPECT_EQ(W().FailCount() + W().PassCount(), 0U);
    window_.reset();
    sim_.reset();
  }
}

// --- The IMEI base that could not be written ---

TEST_F(JobTest, APassWhoseBaseCannotBeWrittenStopsFurtherWritesUntilItIs) {
  ASSERT_TRUE(StartPhone());
  Open(NormalStation());
  // Every write of Kestrel.ini fails (as on a full disk) from here on.
  const QString ini = dir_.File(QStringLiteral("Kestrel.ini"));
  config::IniFile::SetInterruptHookForTesting([ini](const QString& path) { return path != ini; });
  RunJob();
  EXPECT_EQ(W().PassCount(), 1U);  // the phone itself passed
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_TRUE(messages_[0].contains(ini)) << messages_[0].toStdString();
  EXPECT_TRUE(W().ImeiBaseUnsaved());

  // The next Write is refused before the phone is touched, and counts nothing.
  const int writes = CallCount(QStringLiteral("KV_FastWriteNvInfo"));
  RunJob();
  EXPECT_EQ(CallCount(QStringLiteral("KV_FastWriteNvInfo")), writes);
  EXPECT_TRUE(W().ResultText().contains(ini));
  EXPECT_EQ(W().PassCount() + W().FailCount(), 1U);

  // Once the file can be written the base goes to disk first, then the phone is written.
  config::IniFile::SetInterruptHookForTesting({});
  RunJob();
  EXPECT_FALSE(W().ImeiBaseUnsaved());
  EXPECT_EQ(W().PassCount(), 2U);
  EXPECT_EQ(Ini(dir_, "General", "DefaultIMEI"), QStringLiteral("35123456000003"));
}

TEST_F(JobTest, ALineWhoseSyncFailedIsCutAndItsImeisAreNeverOfferedAgain) {
  ASSERT_TRUE(StartPhone());
  Open(NormalStation("CheckRepeat=1\n"));
  // The first sync of IMEI.txt fails after its line was written whole (as on a failing disk).
  const QString txt = dir_.File(QStringLiteral("IMEI.txt"));
  std::atomic<bool> failed{false};
  log::SetSyncHookForTesting(
      [txt, &failed](const QString& path) { return path != txt || failed.exchange(true); });
  RunJob();
  EXPECT_EQ(Message(), LoadString(134));
  EXPECT_EQ(W().FailCount(), 1U);
  EXPECT_EQ(ImeiTxtLines(), QStringList());  // nothing of the failed line stays
  EXPECT_EQ(Ini(dir_, "General", "DefaultIMEI"), QStringLiteral("35123456000002"));

  // The next phone gets the next IMEI, passes and is recorded on a line of its own.
  RunJob();
  log::SetSyncHookForTesting({});
  EXPECT_EQ(Message(), LoadString(105));
  EXPECT_EQ(W().PassCount(), 1U);
  ASSERT_EQ(ImeiTxtLines().size(), 1);
  EXPECT_TRUE(ImeiTxtLines()[0].contains(identity::FullImei(kBase + 1)));
}

TEST_F(JobTest, ACloseWhoseSaveFailsTellsTheOperator) {
  Open(NormalStation());
  const QString ini = dir_.File(QStringLiteral("Kestrel.ini"));
  config::IniFile::SetInterruptHookForTesting([ini](const QString& path) { return path != ini; });
  W().close();
  config::IniFile::SetInterruptHookForTesting({});
  ASSERT_EQ(messages_.size(), 1);
  EXPECT_TRUE(messages_[0].contains(ini));
}

}  // namespace
}  // namespace kestrel::station::testing
