// The audit record as the station writes it: a station window on a temporary station folder,
// a simulated phone on COM1, jobs started with the Write button. One record per job in
// Log/jobs-YYYY-MM-DD.jsonl: a pass, a failure at each kind of step (refused before the phone
// test, the port not opened, the probe unanswered, the station-record library, a phone-library
// call of the sequence), a time-out and a stop.
#include "device/oxbind/oxbind.h"
#include "records/job_record.h"
#include "records/job_record_writer.h"
#include "records/job_report.h"
#include "records/job_report_format.h"
#include "station/job_audit.h"
#include "tests/device/phone_sim_process.h"
#include "tests/station/station_fixture.h"
#include "tests/support/test_support.h"

#include <QDir>
#include <QFile>
#include <QLabel>

#include <map>

namespace kestrel::station::testing {
namespace {

using kestrel::testing::PhoneSimProcess;

// Normal mode (or calibration mode, `mode` 0) on COM1, IMEI1 generated, passed phones to
// IMEI.txt; `extra` adds [General] keys.
QByteArray Ini(const QByteArray& extra = {}, int mode = 1) {
  return "[General]\r\nOperation Mode=" + QByteArray::number(mode) +
         "\r\nPort=1\r\nIMEI1=1\r\nIMEI1GenMode=1\r\n"
         "AutoCreateIMEI=1\r\nDefaultIMEI=35123456000001\r\nSaveIMEI=1\r\nSaveToTxt=1\r\n"
         "CheckRepeat=1\r\nCheckValid=1\r\nCurrentStationName=LINE3-W2\r\n" +
         extra + "[Control]\r\nUser Privilege=1\r\nTavixNew=1\r\nLanguage=1\r\n";
}

class JobAuditStationTest : public StationWindowTest {
 protected:
  void SetUp() override {
    StationWindowTest::SetUp();
    phone_ = KV_CreatePhone(0);
    ASSERT_NE(phone_, KV_INVALID_HANDLE);
    // Short waits so that an unanswered probe ends quickly.
    ASSERT_EQ(
        KV_SetProperty(phone_, KV_PROP_REPLY_TIMEOUT, kestrel::testing::ReplyTimeoutMs(150), 0),
        KV_OK);
    ASSERT_EQ(KV_SetProperty(phone_, KV_PROP_ATTEMPTS, 1, 0), KV_OK);
  }
  void TearDown() override {
    StationWindowTest::TearDown();
    sim_.reset();
    KV_ReleasePhone(phone_);
  }

  void StartSim(const QStringList& extra = {}) {
    sim_ = std::make_unique<PhoneSimProcess>(dir_.File(QStringLiteral("ports")), 1,
                                             dir_.File(QStringLiteral("phone.json")),
                                             dir_.File(QStringLiteral("phone.log")));
    ASSERT_TRUE(sim_->Start(extra)) << "simulator did not start";
  }

  // Waits until `count` records have been handed to the disk (written or failed).
  bool WaitRecords(std::uint64_t count, int ms = 30000) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
      const records::JobRecordWriter& w = W().Audit()->Writer();
      if (w.written() + w.failed() >= count) return true;
      QTest::qWait(20);
    }
    return false;
  }

  std::vector<records::JobRecord> Records() {
    std::vector<records::JobRecord> out;
    const QDir log(dir_.File(QStringLiteral("Log")));
    for (const QString& name : log.entryList({QStringLiteral("jobs-*.jsonl")}, QDir::Files, QDir::Name)) {
      QFile f(log.filePath(name));
      if (!f.open(QIODevice::ReadOnly)) continue;
      for (const QByteArray& line : f.readAll().split('\n')) {
        records::JobRecord r;
        if (!line.isEmpty() && records::ParseJobRecordLine(line, &r)) out.push_back(r);
      }
    }
    return out;
  }

  // Clicks Write and returns the job's record.
  records::JobRecord WriteOnce() {
    const std::uint64_t before = W().Audit()->Writer().written();
    Click(ids::kWrite);
    EXPECT_TRUE(WaitRecords(before + 1)) << "no record";
    const std::vector<records::JobRecord> all = Records();
    return all.empty() ? records::JobRecord{} : all.back();
  }

  static QStringList StepNames(const records::JobRecord& r) {
    QStringList names;
    for (const records::JobRecordStep& s : r.steps) names << s.name;
    return names;
  }

  std::unique_ptr<PhoneSimProcess> sim_;
};

TEST_F(JobAuditStationTest, APassedPhoneThenItsReadBack) {
  StartSim();
  Open(Ini());
  const records::JobRecord r = WriteOnce();
  EXPECT_EQ(r.outcome, QStringLiteral("passed"));
  EXPECT_EQ(r.station, QStringLiteral("LINE3-W2"));
  EXPECT_EQ(r.kind, QStringLiteral("write"));
  EXPECT_EQ(r.mode, QStringLiteral("normal"));
  EXPECT_EQ(r.passCount, 1u);
  EXPECT_EQ(r.failCount, 0u);
  // The IMEI written, as IMEI.txt has it.
  ASSERT_EQ(r.identities.size(), 1u);
  EXPECT_EQ(r.identities[0].first, QStringLiteral("IMEI1"));
  EXPECT_EQ(r.identities[0].second.size(), 15);
  EXPECT_TRUE(dir_.Read(QStringLiteral("IMEI.txt")).contains("IMEI:" + r.identities[0].second.toLatin1()))
      << dir_.Read(QStringLiteral("IMEI.txt")).toStdString() << " / " << r.identities[0].second.toStdString();
  EXPECT_EQ(r.resultText, W().ResultText());
  const QStringList names = StepNames(r);
  for (const char* step : {"KV_BeginPhoneTest", "KV_GetMsVersion", "KV_FastWriteNvInfo",
                           "KV_FastReadNvInfo", "KV_EndPhoneTest"}) {
    EXPECT_TRUE(names.contains(QLatin1String(step))) << step << " in " << names.join(' ').toStdString();
  }
  for (const records::JobRecordStep& s : r.steps) {
    EXPECT_EQ(s.code, 0) << s.name.toStdString();
    EXPECT_GE(s.startOffsetMs, 0);
    EXPECT_LE(s.startOffsetMs + s.durationMs, r.durationMs + 1) << s.name.toStdString();
  }
  EXPECT_GE(r.requests, 3u);  // the probe, the write and its read-back at least
  const QDateTime now = QDateTime::currentDateTime();
  EXPECT_LE(std::abs(r.startedAt.secsTo(now)), 60);
  EXPECT_EQ(r.startedAt.offsetFromUtc(), now.offsetFromUtc());

  // The read job's record holds the identities read from the phone.
  const std::uint64_t before = W().Audit()->Writer().written();
  Click(ids::kRead);
  ASSERT_TRUE(WaitRecords(before + 1));
  const records::JobRecord read = Records().back();
  EXPECT_EQ(read.kind, QStringLiteral("read"));
  EXPECT_EQ(read.passCount, 1u);  // a read is not counted
  ASSERT_FALSE(read.identities.empty()) << read.resultText.toStdString();
  EXPECT_EQ(read.identities[0], r.identities[0]);
  EXPECT_TRUE(StepNames(read).contains(QStringLiteral("KV_FastReadNvInfo")));
}

struct FailureCase {
  const char* what;
  QStringList simArgs;  // empty: no phone at all
  QByteArray ini;
  const char* step;     // as the report ranks the failure
  int code;             // that step's code (-1: no such step)
};

TEST_F(JobAuditStationTest, AFailureAtEachKindOfStep) {
  const FailureCase cases[] = {
      {"refused before the phone test", {"--seed", "1"},
       "BT_ADDR=1\r\nAutoGenerateBT_ADDR=0\r\n", "-", -1},
      {"port not opened", {}, "Port=7\r\n", "KV_BeginPhoneTest", KV_ERR_PORT_OPEN},
      {"probe unanswered", {"--no-answer"}, "", "KV_GetMsVersion", KV_ERR_TIMEOUT},
      {"station record", {"--station-failed", "PREV"},
       "Stagemark=1\r\nCheckStationName=PREV\r\n", "CheckPhase", 0},
      {"phone-library call", {"--fail", "KV_FastWriteNvInfo=9"}, "", "KV_FastWriteNvInfo", 9},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.what);
    window_.reset();
    QFile::remove(dir_.File(QStringLiteral("phone.json")));
    sim_.reset();
    if (!c.simArgs.isEmpty()) StartSim(c.simArgs);
    Open(Ini(c.ini));
    const std::uint32_t failsBefore = W().FailCount();
    const records::JobRecord r = WriteOnce();
    EXPECT_EQ(r.outcome, QStringLiteral("failed"));
    EXPECT_EQ(r.failCount, failsBefore + 1);
    EXPECT_EQ(records::FailureStep(r), QLatin1String(c.step)) << StepNames(r).join(' ').toStdString();
    EXPECT_EQ(records::FailureMessage(r), W().ResultText().section(QLatin1Char('\n'), 0, 0).trimmed());
    if (c.code > 0) {
      ASSERT_FALSE(r.steps.empty());
      bool seen = false;
      for (const records::JobRecordStep& s : r.steps) seen = seen || (s.name == QLatin1String(c.step) && s.code == c.code);
      EXPECT_TRUE(seen) << c.step << " with code " << c.code;
    }
    if (QLatin1String(c.step) == QLatin1String("-")) {
      EXPECT_TRUE(r.steps.empty());
    }
  }
  // One file for all of them, one line each.
  EXPECT_EQ(Records().size(), std::size(cases));
}

TEST_F(JobAuditStationTest, ATimeOutInCalibrationMode) {
  Open(Ini("Timeout=1500\r\n", 0));
  const records::JobRecord r = WriteOnce();
  EXPECT_EQ(r.outcome, QStringLiteral("timed-out"));
  EXPECT_EQ(r.mode, QStringLiteral("calibration"));
  EXPECT_EQ(r.failCount, 1u);
  const QStringList names = StepNames(r);
  EXPECT_TRUE(names.contains(QStringLiteral("KV_EnterModeProcess"))) << names.join(' ').toStdString();
  EXPECT_TRUE(names.contains(QStringLiteral("KV_StopModeProcess"))) << names.join(' ').toStdString();
  EXPECT_GE(r.durationMs, 1500);
  EXPECT_EQ(records::FailureMessage(r), W().ResultText().section(QLatin1Char('\n'), 0, 0).trimmed());
}

TEST_F(JobAuditStationTest, AStopWhileWaitingForOrProbingThePhone) {
  const struct {
    const char* what;
    QByteArray ini;
    bool phone;  // a phone that does not answer
    const char* step;
  } cases[] = {
      {"calibration wait", Ini("Timeout=30000\r\n", 0), false, "KV_EnterModeProcess"},
      {"normal-mode probe", Ini(), true, "KV_GetMsVersion"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    window_.reset();
    sim_.reset();
    QDir(dir_.File(QStringLiteral("Log"))).removeRecursively();
    if (c.phone) StartSim({QStringLiteral("--no-answer")});
    Open(c.ini);
    Click(ids::kWrite);
    QTest::qWait(300);
    ASSERT_TRUE(W().JobRunning());
    Click(ids::kStop);
    ASSERT_TRUE(WaitRecords(1, 10000));
    QTest::qWait(200);  // nothing else may follow
    const std::vector<records::JobRecord> all = Records();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].outcome, QStringLiteral("stopped"));
    EXPECT_EQ(all[0].failCount, 0u);
    EXPECT_EQ(W().FailCount(), 0u);
    EXPECT_LT(all[0].durationMs, 10000);
    EXPECT_TRUE(StepNames(all[0]).contains(QLatin1String(c.step)));
  }
}

TEST_F(JobAuditStationTest, ARecordThatCannotBeWrittenIsShownInTheStatusLineAndThePhonePasses) {
  StartSim();
  dir_.Write(QStringLiteral("Log"), "a file where the folder should be");
  Open(Ini());
  const std::uint64_t before = W().Audit()->Writer().failed();
  Click(ids::kWrite);
  ASSERT_TRUE(WaitRecords(before + 1));
  QTest::qWait(100);  // the report is queued to the window
  QApplication::processEvents();
  EXPECT_EQ(W().PassCount(), 1u);
  const auto* status = qobject_cast<QLabel*>(W().Control(ids::kStatusLine));
  ASSERT_NE(status, nullptr);
  EXPECT_TRUE(status->text().startsWith(QStringLiteral("Job record not written: "))) << status->text().toStdString();
}

// A short shift on the demo station's settings (typed Bluetooth address, generated IMEI1):
// passes, phones whose identity write fails, phones that do not answer, a phone refused for a
// missing address. The report over its records counts what the window counted. The page is
// kept in the build folder as demo_shift_report.html (the README's sample page).
TEST_F(JobAuditStationTest, ShiftReportOfTheDemoStationCountsWhatTheWindowCounted) {
  QFile demo(kestrel::testing::SourceDir() + QStringLiteral("/resources/demo/Kestrel.ini"));
  ASSERT_TRUE(demo.open(QIODevice::ReadOnly));
  const QByteArray ini = demo.readAll().replace("[General]", "[General]\r\nCurrentStationName=DEMO");
  struct Batch {
    QStringList simArgs;
    int jobs;
    bool typeAddress;
  } const batches[] = {
      {{"--delay-ms", "15"}, 6, true},
      {{"--delay-ms", "15", "--fail", "KV_FastWriteNvInfo=9"}, 2, true},
      {{"--delay-ms", "25"}, 5, true},
      {{"--no-answer"}, 2, true},
      {{"--delay-ms", "15"}, 1, false},
      {{"--delay-ms", "15", "--fail", "KV_FastReadNvInfo=11"}, 1, true},
      {{"--delay-ms", "40"}, 4, true},
  };
  StartSim(batches[0].simArgs);
  Open(ini);
  int address = 0x10;
  std::uint64_t records = 0;
  for (const Batch& b : batches) {
    if (&b != &batches[0]) {
      sim_.reset();
      StartSim(b.simArgs);
    }
    for (int i = 0; i < b.jobs; ++i) {
      QLineEdit* bt = EditOf(ids::kBluetooth);
      ASSERT_NE(bt, nullptr);
      bt->setText(QString());
      if (b.typeAddress) bt->setText(QStringLiteral("00A0C6%1").arg(address++, 6, 16, QLatin1Char('0')).toUpper());
      Click(ids::kWrite);
      ASSERT_TRUE(WaitRecords(++records)) << "job " << records;
    }
  }
  const records::ShiftReport report =
      records::BuildShiftReport(dir_.File(QStringLiteral("Log")), {}, {});
  EXPECT_EQ(report.records, static_cast<std::int64_t>(records));
  EXPECT_EQ(report.skippedLines, 0);
  EXPECT_EQ(report.total.passed, static_cast<int>(W().PassCount()));
  EXPECT_EQ(report.total.failed, static_cast<int>(W().FailCount()));
  EXPECT_EQ(report.total.passed, 15);
  EXPECT_EQ(report.total.failed, 6);
  std::map<QString, int> byStep;
  for (const records::FailureRow& f : report.failures) byStep[f.step] += f.count;
  EXPECT_EQ(byStep[QStringLiteral("KV_FastWriteNvInfo")], 2);
  EXPECT_EQ(byStep[QStringLiteral("KV_GetMsVersion")], 2);
  EXPECT_EQ(byStep[QStringLiteral("KV_FastReadNvInfo")], 1);
  EXPECT_EQ(byStep[QStringLiteral("-")], 1);

  QFile page(QStringLiteral(KESTREL_TEST_OUTPUT_DIR "/demo_shift_report.html"));
  ASSERT_TRUE(page.open(QIODevice::WriteOnly));
  page.write(records::FormatReportHtml(report, QStringLiteral("Kestrel shift report: demo station")));
  QFile text(QStringLiteral(KESTREL_TEST_OUTPUT_DIR "/demo_shift_report.txt"));
  ASSERT_TRUE(text.open(QIODevice::WriteOnly));
  text.write(records::FormatReportText(report).toUtf8());
}

}  // namespace
}  // namespace kestrel::station::testing
