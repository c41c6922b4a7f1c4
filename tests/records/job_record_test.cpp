// The job record line and its writer: what a line holds, what the reader refuses, and that the
// writer's lines reach the disk whole, survive a cut line before them and fail quietly.
#include "log/durable_file.h"
#include "records/job_record.h"
#include "records/job_record_writer.h"
#include "records/job_report.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestrel::records {
namespace {

using kestrel::testing::StationDir;

JobRecord Sample() {
  JobRecord r;
  r.station = QStringLiteral("LINE3-W2");
  r.startedAt = QDateTime(QDate(2026, 12, 9), QTime(3, 10, 46, 120), Qt::OffsetFromUTC, 3600);
  r.mode = QStringLiteral("calibration");
  r.kind = QStringLiteral("write");
  r.outcome = QStringLiteral("failed");
  r.durationMs = 8421;
  r.resultText = QStringLiteral("Write SN failed \"5\"\t\\\nIMEI1: 356938035643809 \u05ea\U0001F600") +
                 QChar(0x01) + QChar(0x1F);
  r.identities = {{QStringLiteral("BT"), QStringLiteral("00A0C6123456")},
                  {QStringLiteral("IMEI1"), QStringLiteral("356938035643809")}};
  r.steps = {{QStringLiteral("KV_BeginPhoneTest"), 0, 120, 0},
             {QStringLiteral("KV_WriteSN"), 1203, 88, -7}};
  r.passCount = 120;
  r.failCount = 4;
  r.requests = 31;
  r.retransmissions = 2;
  return r;
}

void ExpectSame(const JobRecord& a, const JobRecord& b) {
  EXPECT_EQ(a.station, b.station);
  EXPECT_EQ(a.startedAt, b.startedAt);
  EXPECT_EQ(a.startedAt.offsetFromUtc(), b.startedAt.offsetFromUtc());
  EXPECT_EQ(a.mode, b.mode);
  EXPECT_EQ(a.kind, b.kind);
  EXPECT_EQ(a.outcome, b.outcome);
  EXPECT_EQ(a.durationMs, b.durationMs);
  EXPECT_EQ(a.resultText, b.resultText);
  EXPECT_EQ(a.identities, b.identities);
  ASSERT_EQ(a.steps.size(), b.steps.size());
  for (std::size_t i = 0; i < a.steps.size(); ++i) {
    EXPECT_EQ(a.steps[i].name, b.steps[i].name);
    EXPECT_EQ(a.steps[i].startOffsetMs, b.steps[i].startOffsetMs);
    EXPECT_EQ(a.steps[i].durationMs, b.steps[i].durationMs);
    EXPECT_EQ(a.steps[i].code, b.steps[i].code);
  }
  EXPECT_EQ(a.passCount, b.passCount);
  EXPECT_EQ(a.failCount, b.failCount);
  EXPECT_EQ(a.requests, b.requests);
  EXPECT_EQ(a.retransmissions, b.retransmissions);
  EXPECT_EQ(a.host, b.host);
}

TEST(JobRecordLine, OneJsonLineThatReadsBackTheSame) {
  const QByteArray line = ComposeJobRecordLine(Sample());
  ASSERT_TRUE(line.endsWith('\n'));
  EXPECT_EQ(line.count('\n'), 1);  // the result's own line end is escaped
  const QJsonObject o = QJsonDocument::fromJson(line).object();
  EXPECT_EQ(o.value(QLatin1String("start")).toString(),
            QStringLiteral("2026-12-09T03:10:46.120+01:00"));
  EXPECT_EQ(o.value(QLatin1String("link")).toObject().value(QLatin1String("retransmissions")).toInt(), 2);
  JobRecord back;
  ASSERT_TRUE(ParseJobRecordLine(line, &back));
  ExpectSame(back, Sample());
  EXPECT_FALSE(o.contains(QLatin1String("host"))) << "only when something happened to the host";

  // A library in a host process of its own: what happened to the host comes last.
  JobRecord hosted = Sample();
  hosted.host = QStringLiteral(
      "the host ended (signal 6 (SIGABRT)) during KV_FastWriteNvInfo; a new host was started "
      "(process 4711)");
  const QByteArray hostedLine = ComposeJobRecordLine(hosted);
  EXPECT_TRUE(hostedLine.endsWith("\"host\":\"" + hosted.host.toUtf8() + "\"}\n"));
  ASSERT_TRUE(ParseJobRecordLine(hostedLine, &back));
  ExpectSame(back, hosted);
}

TEST(JobRecordLine, StartTimeKeepsItsOffset) {
  const struct {
    int offsetSeconds;
    const char* text;
  } cases[] = {{0, "2026-12-09T03:10:46.120+00:00"},
               {-5 * 3600 - 1800, "2026-12-09T03:10:46.120-05:30"},
               {14 * 3600, "2026-12-09T03:10:46.120+14:00"}};
  for (const auto& c : cases) {
    const QDateTime when(QDate(2026, 12, 9), QTime(3, 10, 46, 120), Qt::OffsetFromUTC, c.offsetSeconds);
    EXPECT_EQ(FormatRecordTime(when), QLatin1String(c.text));
    JobRecord r = Sample();
    r.startedAt = when;
    JobRecord back;
    ASSERT_TRUE(ParseJobRecordLine(ComposeJobRecordLine(r), &back));
    EXPECT_EQ(back.startedAt.time(), QTime(3, 10, 46, 120)) << c.text;  // the wall clock kept
    EXPECT_EQ(back.startedAt.offsetFromUtc(), c.offsetSeconds) << c.text;
  }
}

TEST(JobRecordLine, ReaderRefusesWhatIsNotOneWholeRecord) {
  const QByteArray whole = ComposeJobRecordLine(Sample());
  const QByteArray start = "\"start\":\"2026-12-09T03:10:46.120+01:00\"";
  const QByteArray refused[] = {
      "",
      whole.left(whole.size() / 2),                // cut by a crash
      whole.left(whole.size() - 2),                // cut just before its closing brace
      whole.trimmed() + "}",                       // trailing junk
      whole.trimmed() + whole,                     // two records run together
      "[1,2]",
      "{" + start + ",\"ms\":5}",                  // no outcome
      "{" + start + ",\"outcome\":\"passed\"}",    // no duration
      "{\"start\":\"2026-12-09 03:10:46\",\"outcome\":\"passed\",\"ms\":5}",
      "{\"start\":\"2026-02-30T03:10:46.000+01:00\",\"outcome\":\"passed\",\"ms\":5}",
      "{" + start + ",\"outcome\":\"passed\",\"ms\":\"5\"}",
      "{" + start + ",\"outcome\":\"passed\",\"ms\":99999999999999999999}",
      "{" + start + ",\"outcome\":\"passed\",\"ms\":5,\"pass\":-1}",
      "{" + start + ",\"outcome\":\"pass\x01" "ed\",\"ms\":5}",  // raw control character
      "{" + start + ",\"outcome\":\"passed\\x\",\"ms\":5}",   // unknown escape
      "{" + start + ",\"outcome\":\"passed\",\"ms\":5,\"x\":[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]}",
      "{" + start + ",\"outcome\":\"passed\",\"ms\":05}",
      "{" + start + ",\"outcome\":\"passed\",\"ms\":5,}",
  };
  for (const QByteArray& line : refused) {
    JobRecord r;
    EXPECT_FALSE(ParseJobRecordLine(line, &r)) << line.toStdString();
  }
  const QByteArray accepted[] = {
      whole.trimmed(),                                               // without its line end
      whole.trimmed() + "\r\n",
      "{" + start + ",\"outcome\":\"passed\",\"ms\":5.9,\"extra\":{\"a\":[true,false,null,-1e3]}}",
      " { " + start + " , \"outcome\" : \"passed\" , \"ms\" : 5 } ",
  };
  for (const QByteArray& line : accepted) {
    JobRecord r;
    EXPECT_TRUE(ParseJobRecordLine(line, &r)) << line.toStdString();
  }
}

TEST(JobRecordFile, NameOfTheDay) {
  EXPECT_EQ(JobRecordFileName(QDate(2026, 1, 2)), QStringLiteral("jobs-2026-01-02.jsonl"));
  EXPECT_EQ(JobRecordFileDay(QStringLiteral("jobs-2026-01-02.jsonl")), QDate(2026, 1, 2));
  for (const char* other : {"jobs-2026-1-2.jsonl", "jobs-2026-02-30.jsonl", "jobs-2026-01-02.json",
                            "xjobs-2026-01-02.jsonl", "jobs-2026-01-02.jsonl.bak"}) {
    EXPECT_FALSE(JobRecordFileDay(QLatin1String(other)).isValid()) << other;
  }
}

// --- the writer ---

TEST(JobRecordWriter, EachRecordIsSyncedWholeOnItsOwnLine) {
  StationDir dir;
  const QString log = dir.File(QStringLiteral("Log"));  // made by the writer
  std::mutex m;
  QList<QByteArray> seenAtSync;
  log::SetSyncHookForTesting([&](const QString& path) {
    // What the file holds once the bytes are synced: every line whole.
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    std::lock_guard lock(m);
    seenAtSync << f.readAll();
    return true;
  });
  {
    JobRecordWriter writer(log, [](const QString&) { ADD_FAILURE() << "no failure expected"; });
    for (int i = 0; i < 3; ++i) {
      JobRecord r = Sample();
      r.durationMs = i;
      writer.Append(std::move(r));
    }
    writer.WaitIdle();
    EXPECT_EQ(writer.written(), 3u);
  }
  log::SetSyncHookForTesting({});
  const QByteArray file = dir.Read(QStringLiteral("Log/jobs-2026-12-09.jsonl"));
  const QList<QByteArray> lines = file.split('\n');
  ASSERT_EQ(lines.size(), 4);  // three lines and the empty rest after the last line end
  for (int i = 0; i < 3; ++i) {
    JobRecord r;
    ASSERT_TRUE(ParseJobRecordLine(lines[i], &r));
    EXPECT_EQ(r.durationMs, i);
  }
  ASSERT_EQ(seenAtSync.size(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(seenAtSync[i].count('\n'), i + 1);
}

TEST(JobRecordWriter, LineCutByACrashStaysALineOfItsOwn) {
  StationDir dir;
  const QByteArray whole = ComposeJobRecordLine(Sample());
  dir.Write(QStringLiteral("Log/jobs-2026-12-09.jsonl"), whole + whole.left(40));
  {
    JobRecordWriter writer(dir.File(QStringLiteral("Log")), {});
    writer.Append(Sample());
  }  // the destructor writes what is queued
  const ShiftReport r = BuildShiftReport(dir.File(QStringLiteral("Log")), {}, {});
  EXPECT_EQ(r.records, 2);
  EXPECT_EQ(r.skippedLines, 1);
  EXPECT_TRUE(dir.Read(QStringLiteral("Log/jobs-2026-12-09.jsonl")).endsWith(whole));
}

TEST(JobRecordWriter, RecordsGoToTheFileOfTheirStartDay) {
  StationDir dir;
  {
    JobRecordWriter writer(dir.File(QStringLiteral("Log")), {});
    for (int day : {30, 31, 31}) {
      JobRecord r = Sample();
      r.startedAt = QDateTime(QDate(2026, 12, day), QTime(23, 59, 59, 999), Qt::OffsetFromUTC, 3600);
      writer.Append(std::move(r));
    }
  }
  EXPECT_EQ(dir.Read(QStringLiteral("Log/jobs-2026-12-30.jsonl")).count('\n'), 1);
  EXPECT_EQ(dir.Read(QStringLiteral("Log/jobs-2026-12-31.jsonl")).count('\n'), 2);
}

// A folder nobody may write into, the owner and root included: without write permission for a
// user, with the immutable attribute for root. False when this machine cannot make one.
bool MakeReadOnly(const QString& folder, bool on) {
  if (::geteuid() != 0) {
    QFileDevice::Permissions p = QFileDevice::ReadOwner | QFileDevice::ExeOwner;
    if (!on) p |= QFileDevice::WriteOwner;
    return QFile::setPermissions(folder, p);
  }
  // posix_spawn rather than QProcess: the thread sanitizer's runtime cannot follow QProcess's
  // fork.
  const QByteArray path = QFile::encodeName(folder);
  char flag[] = "+i";
  if (!on) flag[0] = '-';
  char name[] = "chattr";
  char* argv[] = {name, flag, const_cast<char*>(path.constData()), nullptr};
  pid_t pid = 0;
  if (::posix_spawnp(&pid, "chattr", nullptr, nullptr, argv, environ) != 0) return false;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(JobRecordWriter, ReadOnlyLogFolderIsReportedOnceAndNothingIsWritten) {
  StationDir dir;
  const QString log = dir.File(QStringLiteral("Log"));
  QDir().mkpath(log);
  if (!MakeReadOnly(log, true)) GTEST_SKIP() << "no read-only folder can be made here";
  std::mutex m;
  QStringList reports;
  std::uint64_t failed = 0;
  {
    JobRecordWriter writer(log, [&](const QString& path) {
      std::lock_guard lock(m);
      reports << path;
    });
    for (int i = 0; i < 3; ++i) writer.Append(Sample());
    writer.WaitIdle();
    failed = writer.failed();
  }
  ASSERT_TRUE(MakeReadOnly(log, false));
  EXPECT_EQ(failed, 3u);
  ASSERT_EQ(reports.size(), 1);
  EXPECT_EQ(reports[0], log + QStringLiteral("/jobs-2026-12-09.jsonl"));
  EXPECT_FALSE(QFile::exists(reports[0]));
}

TEST(JobRecordWriter, FailureReportedAgainOnlyAfterARecordWasWritten) {
  StationDir dir;
  std::atomic<bool> refuse{true};
  log::SetSyncHookForTesting([&](const QString&) { return !refuse.load(); });
  std::atomic<int> reports{0};
  {
    JobRecordWriter writer(dir.File(QStringLiteral("Log")), [&](const QString&) { ++reports; });
    const struct {
      bool refuse;
      int records;
      int reportsAfter;
    } phases[] = {{true, 3, 1}, {false, 2, 1}, {true, 2, 2}, {true, 1, 2}};
    for (const auto& phase : phases) {
      refuse = phase.refuse;
      for (int i = 0; i < phase.records; ++i) writer.Append(Sample());
      writer.WaitIdle();
      EXPECT_EQ(reports.load(), phase.reportsAfter);
    }
    EXPECT_EQ(writer.written(), 2u);
    EXPECT_EQ(writer.failed(), 6u);
  }
  log::SetSyncHookForTesting({});
}

TEST(JobRecordWriter, FullQueueDropsAndReports) {
  StationDir dir;
  std::atomic<bool> release{false};
  std::atomic<int> reports{0};
  log::SetSyncHookForTesting([&](const QString&) {
    while (!release.load()) ::usleep(1000);  // a disk that hangs
    return true;
  });
  {
    JobRecordWriter writer(dir.File(QStringLiteral("Log")), [&](const QString&) { ++reports; }, 2);
    for (int i = 0; i < 6; ++i) writer.Append(Sample());  // one in the write, two queued, three dropped
    EXPECT_GE(writer.failed(), 3u);
    EXPECT_EQ(reports.load(), 1);
    release = true;
    writer.WaitIdle();
    EXPECT_EQ(writer.written() + writer.failed(), 6u);
  }
  log::SetSyncHookForTesting({});
}

}  // namespace
}  // namespace kestrel::records
