// kestrel-bench-job-report [--jobs N] [--days D] [--keep]
//
// 1. A month of job records (default 100,000 jobs over 30 days, 22 steps each, about one in
//    twelve failing) written to /tmp/kestrel-bench-job-report/Log, then the shift report built
//    over it five times (files read, parsed, summed, the text and the page composed).
//    Target: under 2 s.
// 2. The writer: 2,000 records appended one by one while its thread syncs each to the disk; the
//    time Append keeps the calling thread (the thread that ends a job). Target: at most 1 ms.
// 3. The station's audit observer over 2,000 jobs of 22 steps each, its writer syncing every
//    record: what all the StepFinished calls of a job cost the job thread, and what JobStarted
//    and JobEnded cost the window thread. Target: at most 1 ms per job.
#include "records/job_record.h"
#include "records/job_record_writer.h"
#include "records/job_report.h"
#include "records/job_report_format.h"
#include "station/job_audit.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using namespace kestrel::records;
using Clock = std::chrono::steady_clock;

const QString kFolder = QStringLiteral("/tmp/kestrel-bench-job-report");

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

const char* const kSteps[] = {
    "KV_SetProperty", "KV_BeginPhoneTest", "KV_EnterModeProcess", "PortArrivedWait",
    "EntrerModeWait", "KV_GetApVersion",   "KV_GetMsVersion",     "KV_WriteCuRef",
    "KV_ReadCuRef",   "KV_WriteSecureBoot", "CheckPhase",          "KV_WriteSN",
    "KV_ReadSN",      "KV_WriteNvInfo",    "KV_ReadNvInfo",       "KV_SendAt",
    "KV_SendAt",      "UpdatePhase",       "SaveResult",          "KV_PowerOff",
    "KV_EndPhoneTest", "KV_SetProperty"};

JobRecord MakeRecord(std::mt19937& rng, const QDateTime& when, std::uint32_t pass,
                     std::uint32_t fail, bool failed) {
  JobRecord r;
  r.station = QStringLiteral("LINE3-W2");
  r.startedAt = when;
  r.mode = QStringLiteral("calibration");
  r.kind = QStringLiteral("write");
  const QString imei = QStringLiteral("35%1").arg(rng() % 1000000000000ULL, 13, 10, QLatin1Char('0'));
  r.identities = {{QStringLiteral("IMEI1"), imei},
                  {QStringLiteral("BT"), QStringLiteral("00A0C6%1").arg(rng() % 0xFFFFFF, 6, 16, QLatin1Char('0'))},
                  {QStringLiteral("SN1"), QStringLiteral("KS%1").arg(rng() % 100000000, 10, 10, QLatin1Char('0'))}};
  std::int64_t at = 0;
  const std::size_t failAt = failed ? 5 + rng() % 14 : 99;
  for (std::size_t i = 0; i < std::size(kSteps); ++i) {
    const std::int64_t ms = 5 + static_cast<std::int64_t>(rng() % (i == 3 ? 4000 : 400));
    r.steps.push_back({QString::fromLatin1(kSteps[i]), at, ms, i == failAt ? 5 : 0});
    at += ms;
    if (i == failAt) break;
  }
  r.durationMs = at + 40;
  r.outcome = failed ? QStringLiteral("failed") : QStringLiteral("passed");
  r.resultText = (failed ? QStringLiteral("Write SN failed, error %1").arg(5)
                         : QStringLiteral("\u05D4\u05E6\u05DC\u05D7\u05D4")) +
                 QStringLiteral("\nIMEI1: ") + imei;
  r.passCount = pass;
  r.failCount = fail;
  r.requests = 30 + rng() % 5;
  r.retransmissions = rng() % 20 == 0 ? 1 : 0;
  return r;
}

qint64 WriteMonth(long jobs, int days) {
  QDir(kFolder).removeRecursively();
  QDir().mkpath(kFolder + QStringLiteral("/Log"));
  std::mt19937 rng(7);
  const QDate first(2026, 11, 1);
  const long perDay = jobs / days;
  qint64 bytes = 0;
  std::uint32_t pass = 0, fail = 0;
  for (int d = 0; d < days; ++d) {
    const QDate day = first.addDays(d);
    QFile file(kFolder + QStringLiteral("/Log/") + JobRecordFileName(day));
    if (!file.open(QIODevice::WriteOnly)) return -1;
    const long count = d == days - 1 ? jobs - perDay * (days - 1) : perDay;
    for (long i = 0; i < count; ++i) {
      const int sec = static_cast<int>(i * 86399 / std::max<long>(count, 1));
      const QDateTime when(day, QTime(0, 0).addSecs(sec), Qt::OffsetFromUTC, 3600);
      const bool failed = rng() % 12 == 0;
      (failed ? fail : pass)++;
      const QByteArray line = ComposeJobRecordLine(MakeRecord(rng, when, pass, fail, failed));
      bytes += file.write(line);
    }
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  long jobs = 100000;
  int days = 30;
  bool keep = false;
  const QStringList args = QCoreApplication::arguments();
  for (qsizetype i = 1; i < args.size(); ++i) {
    if (args[i] == QLatin1String("--jobs") && i + 1 < args.size()) jobs = args[++i].toLong();
    else if (args[i] == QLatin1String("--days") && i + 1 < args.size()) days = args[++i].toInt();
    else if (args[i] == QLatin1String("--keep")) keep = true;
  }
  if (jobs < 1 || days < 1) return 2;

  std::printf("== shift report: %ld jobs over %d days\n", jobs, days);
  const qint64 bytes = WriteMonth(jobs, days);
  if (bytes < 0) return 1;
  std::printf("records: %lld bytes (%.1f MB)\n", static_cast<long long>(bytes), bytes / 1048576.0);
  std::vector<double> times;
  ShiftReport report;
  for (int run = 0; run < 5; ++run) {
    const auto t0 = Clock::now();
    report = BuildShiftReport(kFolder + QStringLiteral("/Log"), {}, {});
    const QString text = FormatReportText(report);
    const QByteArray page = FormatReportHtml(report, QStringLiteral("bench"));
    times.push_back(Ms(Clock::now() - t0));
    if (text.isEmpty() || page.isEmpty()) return 1;
  }
  std::sort(times.begin(), times.end());
  std::printf("report: min %.0f ms, median %.0f ms, max %.0f ms (target < 2000 ms); %lld records, "
              "%d hours, %zu failure rows, %lld skipped\n",
              times.front(), times[times.size() / 2], times.back(),
              static_cast<long long>(report.records), static_cast<int>(report.hours.size()),
              report.failures.size(), static_cast<long long>(report.skippedLines));

  std::printf("== writer: Append while each record is synced\n");
  std::vector<double> appends;
  {
    JobRecordWriter writer(kFolder + QStringLiteral("/Log-writer"), [](const QString& path) {
      std::fprintf(stderr, "write failed: %s\n", path.toLocal8Bit().constData());
    });
    std::mt19937 rng(11);
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 0; i < 2000; ++i) {
      JobRecord r = MakeRecord(rng, now, 0, 0, false);
      const auto t0 = Clock::now();
      writer.Append(std::move(r));
      appends.push_back(Ms(Clock::now() - t0));
    }
    const auto t0 = Clock::now();
    writer.WaitIdle();
    std::printf("writer drained the rest in %.0f ms; %llu written, %llu failed\n", Ms(Clock::now() - t0),
                static_cast<unsigned long long>(writer.written()),
                static_cast<unsigned long long>(writer.failed()));
  }
  std::sort(appends.begin(), appends.end());
  std::printf("Append: median %.4f ms, 99th %.4f ms, max %.4f ms (target <= 1 ms)\n",
              appends[appends.size() / 2], appends[appends.size() * 99 / 100], appends.back());

  std::printf("== audit observer: 2000 jobs of %zu steps\n", std::size(kSteps));
  std::vector<double> stepCost;
  std::vector<double> endCost;
  {
    using namespace kestrel::station;
    JobAudit::Options o;
    o.stationFolder = kFolder + QStringLiteral("/audit");
    o.stationName = [] { return QStringLiteral("LINE3-W2"); };
    JobAudit audit(o);
    JobSummary summary;
    summary.startedAt = QDateTime::currentDateTime();
    summary.resultText = QStringLiteral("PASS\nIMEI1: 356938035643809");
    summary.identities.IMEI1 = QStringLiteral("356938035643809");
    for (int i = 0; i < 2000; ++i) {
      auto t0 = Clock::now();
      audit.JobStarted(JobKind::Write, 0, summary.startedAt);
      double windowMs = Ms(Clock::now() - t0);
      t0 = Clock::now();
      for (std::size_t k = 0; k < std::size(kSteps); ++k) {
        JobStep step;
        step.name = kSteps[k];
        step.startOffsetMs = static_cast<std::int64_t>(k) * 100;
        step.durationMs = 90;
        step.durationUs = 90000;
        audit.StepFinished(step);
      }
      stepCost.push_back(Ms(Clock::now() - t0));
      t0 = Clock::now();
      audit.JobEnded(summary);
      endCost.push_back(windowMs + Ms(Clock::now() - t0));
    }
    audit.Writer().WaitIdle();
    std::printf("written %llu, failed %llu\n",
                static_cast<unsigned long long>(audit.Writer().written()),
                static_cast<unsigned long long>(audit.Writer().failed()));
  }
  for (auto* v : {&stepCost, &endCost}) std::sort(v->begin(), v->end());
  std::printf("steps of a job (job thread): median %.4f ms, 99th %.4f ms, max %.4f ms (target <= 1 ms)\n",
              stepCost[stepCost.size() / 2], stepCost[stepCost.size() * 99 / 100], stepCost.back());
  std::printf("start + end of a job (window thread): median %.4f ms, 99th %.4f ms, max %.4f ms\n",
              endCost[endCost.size() / 2], endCost[endCost.size() * 99 / 100], endCost.back());
  if (!keep) QDir(kFolder).removeRecursively();
  return 0;
}
