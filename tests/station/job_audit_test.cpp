// The station's audit observer, driven through the observer calls the job control makes: what
// record each kind of job leaves, which steps belong to it, and the phone link's counts of the
// job alone, against the phone simulator.
#include "device/oxbind/oxbind.h"
#include "device/ports/port_map.h"
#include "records/job_record.h"
#include "records/job_report.h"
#include "station/job_audit.h"
#include "tests/device/phone_sim_process.h"
#include "tests/support/test_support.h"
#include "tests/support/linked_phone_api.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <chrono>
#include <thread>

namespace kestrel::station {
namespace {

using kestrel::testing::StationDir;

JobStep Step(const char* name, std::int64_t at, std::int64_t ms, std::int32_t code) {
  JobStep s;
  s.name = name;
  s.startOffsetMs = at;
  s.durationMs = ms;
  s.durationUs = ms * 1000;
  s.code = code;
  return s;
}

const QDateTime kStart(QDate(2026, 12, 9), QTime(8, 0, 0), Qt::OffsetFromUTC, 7200);

std::vector<records::JobRecord> ReadRecords(const StationDir& dir) {
  std::vector<records::JobRecord> out;
  QDir log(dir.File(QStringLiteral("Log")));
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

JobAudit::Options Options(const StationDir& dir, PhoneHandle phone = KV_INVALID_HANDLE) {
  JobAudit::Options o;
  o.stationFolder = dir.path();
  o.phone = phone;
  o.kv = &kestrel::testing::LinkedPhoneApi();
  o.stationName = [] { return QStringLiteral("LINE3-W2"); };
  return o;
}

JobSummary Summary(JobKind kind, int mode, JobOutcome outcome, const QString& text) {
  JobSummary s;
  s.kind = kind;
  s.operationMode = mode;
  s.startedAt = kStart;
  s.durationMs = 4321;
  s.outcome = outcome;
  s.resultText = text;
  s.identities.IMEI1 = QStringLiteral("356938035643809");
  s.identities.SN1 = QStringLiteral("KS00012345");
  s.passCount = 7;
  s.failCount = 2;
  return s;
}

struct JobCase {
  const char* what;
  JobKind kind;
  int mode;
  std::vector<JobStep> steps;
  JobOutcome outcome;
  const char* text;
  const char* outcomeName;
  const char* failureStep;  // as the report ranks it; "" for no failure
};

TEST(JobAudit, EachKindOfJobLeavesItsRecord) {
  const JobCase cases[] = {
      {"pass", JobKind::Write, 0,
       {Step("KV_BeginPhoneTest", 0, 20, 0), Step("EntrerModeWait", 30, 500, 0), Step("KV_WriteSN", 540, 80, 0)},
       JobOutcome::Passed, "PASS\nIMEI1: 356938035643809", "passed", ""},
      {"failed phone call", JobKind::Write, 0,
       {Step("KV_BeginPhoneTest", 0, 20, 0), Step("KV_WriteSN", 40, 90, 5), Step("KV_PowerOff", 140, 30, 0)},
       JobOutcome::Failed, "Write SN failed 5\nIMEI1: 356938035643809", "failed", "KV_WriteSN"},
      {"failure after a wait", JobKind::Write, 0,
       {Step("KV_BeginPhoneTest", 0, 20, 0), Step("EntrerModeWait", 30, 500, 0)},
       JobOutcome::Failed, "Compare failed", "failed", "EntrerModeWait"},
      {"time-out", JobKind::Write, 0,
       {Step("KV_EnterModeProcess", 0, 5, 0), Step("Timeout", 5, 40000, 0), Step("KV_StopModeProcess", 40005, 3, 0)},
       JobOutcome::TimedOut, "\u05ea\u05dd \u05d4\u05d6\u05de\u05df!", "timed-out", "KV_StopModeProcess"},
      {"stop", JobKind::Write, 0, {Step("KV_EnterModeProcess", 0, 5, 0)}, JobOutcome::Stopped,
       "\u05d4\u05de\u05e9\u05ea\u05de\u05e9 \u05e2\u05e6\u05e8!", "stopped", ""},
      {"refused before the phone test", JobKind::Write, 1, {}, JobOutcome::Failed, "IMEI1 used",
       "failed", "-"},
      {"read shown", JobKind::Read, 1, {Step("KV_GetMsVersion", 0, 12, 0)}, JobOutcome::Shown,
       "nothing to read", "shown", ""},
  };
  StationDir dir;
  {
    JobAudit audit(Options(dir));
    for (const JobCase& c : cases) {
      audit.JobStarted(c.kind, c.mode, kStart);
      // The steps come from the job thread.
      std::thread job([&] {
        for (const JobStep& s : c.steps) audit.StepFinished(s);
      });
      job.join();
      audit.JobEnded(Summary(c.kind, c.mode, c.outcome, QString::fromUtf8(c.text)));
    }
    audit.Writer().WaitIdle();
  }
  const std::vector<records::JobRecord> got = ReadRecords(dir);
  ASSERT_EQ(got.size(), std::size(cases));
  for (std::size_t i = 0; i < got.size(); ++i) {
    const JobCase& c = cases[i];
    const records::JobRecord& r = got[i];
    SCOPED_TRACE(c.what);
    EXPECT_EQ(r.station, QStringLiteral("LINE3-W2"));
    EXPECT_EQ(records::FormatRecordTime(r.startedAt), QStringLiteral("2026-12-09T08:00:00.000+02:00"));
    EXPECT_EQ(r.kind, c.kind == JobKind::Read ? QStringLiteral("read") : QStringLiteral("write"));
    EXPECT_EQ(r.mode, c.mode == 0 ? QStringLiteral("calibration") : QStringLiteral("normal"));
    EXPECT_EQ(r.outcome, QLatin1String(c.outcomeName));
    EXPECT_EQ(r.resultText, QString::fromUtf8(c.text));
    EXPECT_EQ(r.durationMs, 4321);
    EXPECT_EQ(r.passCount, 7u);
    EXPECT_EQ(r.failCount, 2u);
    const std::vector<std::pair<QString, QString>> ids = {
        {QStringLiteral("IMEI1"), QStringLiteral("356938035643809")},
        {QStringLiteral("SN1"), QStringLiteral("KS00012345")}};
    EXPECT_EQ(r.identities, ids);
    ASSERT_EQ(r.steps.size(), c.steps.size());
    for (std::size_t k = 0; k < c.steps.size(); ++k) {
      EXPECT_EQ(r.steps[k].name, QLatin1String(c.steps[k].name));
      EXPECT_EQ(r.steps[k].startOffsetMs, c.steps[k].startOffsetMs);
      EXPECT_EQ(r.steps[k].durationMs, c.steps[k].durationMs);
      EXPECT_EQ(r.steps[k].code, c.steps[k].code);
    }
    if (*c.failureStep != 0) {
      EXPECT_EQ(records::FailureStep(r), QLatin1String(c.failureStep));
    }
  }
}

TEST(JobAudit, StepsOutsideAJobBelongToNoRecord) {
  StationDir dir;
  {
    JobAudit audit(Options(dir));
    audit.StepFinished(Step("before", 0, 1, 0));
    audit.JobStarted(JobKind::Write, 0, kStart);
    audit.StepFinished(Step("KV_BeginPhoneTest", 0, 1, 0));
    audit.JobEnded(Summary(JobKind::Write, 0, JobOutcome::Stopped, QStringLiteral("stopped")));
    audit.StepFinished(Step("KV_EndPhoneTest", 3100, 1, 0));  // the stopped thread winding down
    audit.JobStarted(JobKind::Write, 0, kStart);
    audit.StepFinished(Step("KV_WriteSN", 0, 1, 0));
    audit.JobEnded(Summary(JobKind::Write, 0, JobOutcome::Passed, QStringLiteral("PASS")));
  }
  const std::vector<records::JobRecord> got = ReadRecords(dir);
  ASSERT_EQ(got.size(), 2u);
  ASSERT_EQ(got[0].steps.size(), 1u);
  EXPECT_EQ(got[0].steps[0].name, QStringLiteral("KV_BeginPhoneTest"));
  ASSERT_EQ(got[1].steps.size(), 1u);
  EXPECT_EQ(got[1].steps[0].name, QStringLiteral("KV_WriteSN"));
}

TEST(JobAudit, WriteFailureReachesTheCallbackAndTheJobGoesOn) {
  StationDir dir;
  dir.Write(QStringLiteral("Log"), "a file where the folder should be");
  std::atomic<int> reports{0};
  JobAudit::Options o = Options(dir);
  o.onFailure = [&](const QString&) { ++reports; };
  {
    JobAudit audit(o);
    for (int i = 0; i < 2; ++i) {
      audit.JobStarted(JobKind::Write, 0, kStart);
      audit.JobEnded(Summary(JobKind::Write, 0, JobOutcome::Passed, QStringLiteral("PASS")));
    }
    audit.Writer().WaitIdle();
    EXPECT_EQ(audit.Writer().failed(), 2u);
  }
  EXPECT_EQ(reports.load(), 1);
}

// The link counts of a record are those of its own job, over a line that loses replies.
TEST(JobAudit, LinkCountsOfTheJobAloneAgainstTheSimulator) {
  StationDir dir;
  qputenv("KESTREL_SYSTEM_PORTS", "0");
  device::ports::SetStationFolder(dir.path());
  const PhoneHandle h = KV_CreatePhone(0);
  ASSERT_NE(h, KV_INVALID_HANDLE);
  ASSERT_EQ(KV_SetProperty(h, KV_PROP_REPLY_TIMEOUT, 80, 0), KV_OK);
  ASSERT_EQ(KV_SetProperty(h, KV_PROP_ATTEMPTS, 10, 0), KV_OK);
  kestrel::testing::PhoneSimProcess sim(dir.File(QStringLiteral("ports")), 5,
                                        dir.File(QStringLiteral("phone.json")),
                                        dir.File(QStringLiteral("phone.log")));
  ASSERT_TRUE(sim.Start({QStringLiteral("--corrupt-rate"), QStringLiteral("0.005"),
                         QStringLiteral("--seed"), QStringLiteral("3")}));
  const int calls[] = {12, 3};
  {
    JobAudit audit(Options(dir, h));
    for (int n : calls) {
      audit.JobStarted(JobKind::Read, 1, kStart);
      const PortChannel c{KV_CHANNEL_COM, 5, 115200};
      ASSERT_EQ(KV_BeginPhoneTest(h, &c), KV_OK);
      for (int i = 0; i < n; ++i) {
        char text[256] = {};
        ASSERT_EQ(KV_GetMsVersion(h, text, sizeof(text)), KV_OK) << i;
      }
      KV_EndPhoneTest(h);
      audit.JobEnded(Summary(JobKind::Read, 1, JobOutcome::Passed, QStringLiteral("PASS")));
    }
  }
  KV_ReleasePhone(h);
  device::ports::SetStationFolder(QString());
  const std::vector<records::JobRecord> got = ReadRecords(dir);
  ASSERT_EQ(got.size(), 2u);
  // One request per call (a retry is a retransmission of the same request); with one byte in
  // two hundred spoiled, twelve calls see at least one retry.
  EXPECT_EQ(got[0].requests, 12u);
  EXPECT_GT(got[0].retransmissions, 0u);
  EXPECT_EQ(got[1].requests, 3u);
  EXPECT_LE(got[1].retransmissions, 30u);
}

}  // namespace
}  // namespace kestrel::station
