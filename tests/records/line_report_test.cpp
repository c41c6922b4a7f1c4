// The line's report over job summaries: a summary counts as the station's own record does (the
// fixed record files, summed by the shift report, against their summaries summed by the line's
// report), the stations are ranked by yield, the page keeps the shift report's charts for the
// line and each station, and a result text finds its string-table id.
#include "records/job_report.h"
#include "records/line_job_summary.h"
#include "records/line_report.h"
#include "resources/message_format.h"
#include "resources/string_table.h"
#include "tests/records/job_report_fixture.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include <map>
#include <tuple>

namespace kestrel::records {
namespace {

// The fixed records, each as the line would hold its summary (for `station`).
std::vector<line::LineJob> FixedSummaries(const QString& station) {
  std::vector<line::LineJob> jobs;
  const QDir dir(kestrel::testing::SourceDir() + QStringLiteral("/tests/records/job_records"));
  for (const QString& name : dir.entryList({QStringLiteral("jobs-*.jsonl")}, QDir::Files, QDir::Name)) {
    if (!JobRecordFileDay(name).isValid()) continue;  // as the shift report reads
    QFile f(dir.filePath(name));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    for (const QByteArray& line : f.readAll().split('\n')) {
      JobRecord r;
      if (!ParseJobRecordLine(line, &r)) continue;
      line::LineJob j = LineJobOf(r);
      j.station = station;
      jobs.push_back(j);
    }
  }
  return jobs;
}

void ExpectSameCounts(const ShiftReport& got, const ShiftReport& want) {
  ASSERT_EQ(got.hours.size(), want.hours.size());
  for (std::size_t i = 0; i < want.hours.size(); ++i) {
    const HourRow& g = got.hours[i];
    const HourRow& w = want.hours[i];
    SCOPED_TRACE((w.day.toString(Qt::ISODate) + QString::asprintf(" %02d", w.hour)).toStdString());
    EXPECT_EQ(g.day, w.day);
    EXPECT_EQ(g.hour, w.hour);
    EXPECT_EQ(std::tie(g.phones, g.passed, g.failed, g.stopped, g.shown),
              std::tie(w.phones, w.passed, w.failed, w.stopped, w.shown));
    EXPECT_DOUBLE_EQ(g.unitsPerHour, w.unitsPerHour);
    EXPECT_EQ(std::tie(g.medianMs, g.p95Ms), std::tie(w.medianMs, w.p95Ms));
  }
  EXPECT_EQ(std::tie(got.total.phones, got.total.passed, got.total.failed),
            std::tie(want.total.phones, want.total.passed, want.total.failed));
  ASSERT_EQ(got.failures.size(), want.failures.size());
  for (std::size_t i = 0; i < want.failures.size(); ++i) {
    EXPECT_EQ(got.failures[i].message, want.failures[i].message);
    EXPECT_EQ(got.failures[i].step, want.failures[i].step);
    EXPECT_EQ(got.failures[i].count, want.failures[i].count);
  }
}

TEST(LineReport, SummariesCountAsTheStationsOwnRecordsForTheLineAndEachStation) {
  kestrel::testing::StationDir dir;
  testing::CopyFixture(dir);
  const ShiftReport own = BuildShiftReport(dir.File(QStringLiteral("Log")), {}, {});
  ASSERT_GT(own.total.phones, 0);
  ASSERT_FALSE(own.failures.empty());

  // Two stations that ran the same jobs: each is the station's own report, the line twice it.
  std::vector<line::LineJob> jobs = FixedSummaries(QStringLiteral("W1"));
  const std::vector<line::LineJob> other = FixedSummaries(QStringLiteral("W2"));
  jobs.insert(jobs.end(), other.begin(), other.end());
  const LineReport r = SummariseLineJobs(jobs, {}, {});
  ASSERT_EQ(r.stations.size(), 2U);
  for (const LineStationReport& s : r.stations) {
    SCOPED_TRACE(s.station.toStdString());
    ExpectSameCounts(s.report, own);
    EXPECT_TRUE(s.report.slowestSteps.empty()) << "the steps' times stay in the station";
  }
  EXPECT_EQ(r.line.total.phones, 2 * own.total.phones);
  EXPECT_EQ(r.line.total.failed, 2 * own.total.failed);
  EXPECT_EQ(r.line.failures.front().count, 2 * own.failures.front().count);
  EXPECT_EQ(r.line.total.medianMs, own.total.medianMs);

  // The period asked for keeps only its days, as the station's own report does.
  const QDate day(2026, 12, 8);
  std::vector<line::LineJob> first;
  for (const line::LineJob& j : jobs) {
    if (j.started.date() == day) first.push_back(j);
  }
  const ShiftReport ownDay = BuildShiftReport(dir.File(QStringLiteral("Log")), day, day);
  const LineReport rDay = SummariseLineJobs(first, day, day);
  ExpectSameCounts(rDay.stations.front().report, ownDay);
  EXPECT_TRUE(FormatLineReportText(rDay).startsWith("period: 2026-12-08 to 2026-12-08\n2 stations"));
}

TEST(LineReport, StationsAreRankedByYieldLowestFirstAndThePageHasEachStationsCharts) {
  // (station, passed, failed): yields 50 %, 90 %, 90 % with more failures, 100 %, none.
  const struct {
    const char* station;
    int passed, failed;
  } rows[] = {{"A", 9, 1}, {"B", 1, 1}, {"C", 18, 2}, {"D", 3, 0}, {"E", 0, 0}};
  std::vector<line::LineJob> jobs;
  const QDateTime start(QDate(2026, 12, 9), QTime(8, 0), Qt::OffsetFromUTC, 3600);
  int n = 0;
  for (const auto& row : rows) {
    for (int i = 0; i < row.passed + row.failed + (row.passed + row.failed == 0 ? 1 : 0); ++i) {
      line::LineJob j;
      j.station = QLatin1String(row.station);
      j.started = start.addSecs(60 * ++n);
      j.durationMs = 20000;
      j.mode = QStringLiteral("normal");
      j.kind = QStringLiteral("write");
      j.outcome = row.passed + row.failed == 0 ? QStringLiteral("stopped")
                  : i < row.passed            ? QStringLiteral("passed")
                                              : QStringLiteral("failed");
      if (j.outcome == QLatin1String("failed")) {
        j.step = QStringLiteral("KV_FastWriteNvInfo");
        j.code = 34;
        j.message = QStringLiteral("Write IMEI failed ! Error code: 34 ! <b>");
      }
      jobs.push_back(j);
    }
  }
  const LineReport r = SummariseLineJobs(jobs, {}, {});
  QStringList order;
  for (const LineStationReport& s : r.stations) order << s.station;
  EXPECT_EQ(order, QStringList({"B", "C", "A", "D", "E"}));
  const QString text = FormatLineReportText(r);
  const qsizetype ranking = text.indexOf("stations by yield, lowest first\n");
  ASSERT_GE(ranking, 0);
  const QStringList lines = text.mid(ranking).split('\n');
  EXPECT_TRUE(lines[2].startsWith("1     B ") && lines[2].contains("50.0 %")) << lines[2].toStdString();
  EXPECT_TRUE(lines[6].startsWith("-     E ")) << lines[6].toStdString();
  EXPECT_TRUE(text.contains("\nstation C\n"));
  EXPECT_TRUE(text.contains("    4  KV_FastWriteNvInfo  Write IMEI failed ! Error code: 34 ! <b>\n"))
      << "the line's failures, ranked";

  // The page reads as XML: the line's charts and each station's, with a point per hour.
  const QByteArray page = FormatLineReportHtml(r, QStringLiteral("Line <3>"));
  std::map<QString, testing::Svg> charts;
  QString error;
  ASSERT_TRUE(testing::ReadPage(page, &charts, &error)) << error.toStdString();
  EXPECT_EQ(charts.size(), 2U * (1 + std::size(rows)));
  EXPECT_EQ(charts["line-yield-chart"].polylinePoints, 1);
  EXPECT_EQ(charts["s-B-uph-chart"].dots, 1);
  EXPECT_TRUE(page.contains("<td class=\"l\" dir=\"auto\">Write IMEI failed ! Error code: 34 ! &lt;b&gt;</td>"));
  EXPECT_FALSE(page.contains("<b>"));
}

TEST(LineReport, AResultTextFindsTheStringTableIdItWasMadeFrom) {
  using resources::FormatString;
  const struct {
    QString text;
    int id;
  } cases[] = {
      {FormatString(106, {std::int64_t{34}}) + "\nIMEI1: 350000000000017", 106},
      {FormatString(157, {std::int64_t{-2}}), 157},
      {FormatString(133, {std::int64_t{2}}), 133},
      {resources::LoadString(105) + "\nIMEI1: 350000000000017", 105},
      {FormatString(176, {QStringLiteral("a b")}), 176},
      {FormatString(139, {QStringLiteral("PRE0")}), 139},
      {resources::LoadString(103), 103},
      {QStringLiteral("Line database unreachable: cannot connect"), 0},
      {QStringLiteral("Write IMEI failed ! Error code: x !"), 0},
      {QString(), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ResultMessageId(c.text), c.id) << c.text.toStdString();
  }
  // The summary of a record: the step its failure ranks under with that step's code, the
  // message and its id, IMEI1 of 15 digits only.
  JobRecord r;
  r.startedAt = QDateTime(QDate(2026, 12, 9), QTime(3, 10, 46, 120), Qt::OffsetFromUTC, 7200);
  r.outcome = QStringLiteral("failed");
  r.resultText = cases[0].text;
  r.steps = {{"KV_WriteSN", 0, 5, 7}, {"KV_FastWriteNvInfo", 10, 5, 34}, {"KV_WriteSN", 20, 5, 0},
             {"KV_PowerOff", 30, 5, 0}};
  r.identities = {{"IMEI1", "35000000000001"}};
  line::LineJob j = LineJobOf(r);
  EXPECT_EQ(j.step, "KV_FastWriteNvInfo");
  EXPECT_EQ(j.code, 34);
  EXPECT_EQ(j.message, FormatString(106, {std::int64_t{34}}).trimmed());
  EXPECT_EQ(j.messageId, 106);
  EXPECT_TRUE(j.imei1.isEmpty());
  EXPECT_EQ(j.started.offsetFromUtc(), 7200);
  EXPECT_EQ(FailureStep(JobRecordOf(j)), FailureStep(r));
  r.steps = {{"KV_WriteSN", 0, 5, 0}};
  r.identities = {{"IMEI1", "350000000000017"}};
  j = LineJobOf(r);
  EXPECT_EQ(std::tie(j.step, j.code, j.imei1), std::tie(r.steps[0].name, r.steps[0].code, r.identities[0].second));
  r.outcome = QStringLiteral("passed");
  EXPECT_TRUE(LineJobOf(r).step.isEmpty());
}

}  // namespace
}  // namespace kestrel::records
