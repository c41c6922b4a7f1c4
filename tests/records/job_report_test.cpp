// The shift report over a fixed record file whose answers were worked out by hand
// (tests/records/job_records: two days, a cut line in the middle of one, a cut last line), and
// kestrel-cli report run on it as an engineer runs it.
#include "records/job_record.h"
#include "records/job_report.h"
#include "records/job_report_format.h"
#include "tests/records/job_report_fixture.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QXmlStreamReader>

#include <map>

namespace kestrel::records {
namespace {

using kestrel::testing::StationDir;
using testing::CopyFixture;
using testing::ReadPage;
using testing::Svg;

struct HourWant {
  const char* hour;
  int phones, passed, failed;
  double yield, uph;
  std::int64_t median, p95;
};

TEST(ShiftReport, HourTableOfTheFixedRecords) {
  StationDir dir;
  CopyFixture(dir);
  const ShiftReport r = BuildShiftReport(dir.File(QStringLiteral("Log")), {}, {});
  // 08:00: passes of 60, 50, 70 s, a failure of 40 s, a time-out of 30 s (a failure), a stop;
  //        work from 08:00:00 to 08:04:30 = 270 s.
  // 09:00: failures of 45, 20, 10 s, a pass of 55 s, a read shown without a verdict;
  //        work from 09:10:00 to 09:40:10 = 1810 s.
  // 00:00 next day: a pass of 40 s, a failure of 30 s; work 90 s.
  const HourWant want[] = {
      {"2026-12-08 08", 5, 3, 2, 60.0, 5 * 3600.0 / 270, 50000, 70000},
      {"2026-12-08 09", 4, 1, 3, 25.0, 4 * 3600.0 / 1810, 20000, 55000},
      {"2026-12-09 00", 2, 1, 1, 50.0, 2 * 3600.0 / 90, 30000, 40000},
  };
  ASSERT_EQ(r.hours.size(), std::size(want));
  for (std::size_t i = 0; i < std::size(want); ++i) {
    const HourRow& h = r.hours[i];
    SCOPED_TRACE(want[i].hour);
    EXPECT_EQ(h.day.toString(Qt::ISODate) + QString::asprintf(" %02d", h.hour),
              QLatin1String(want[i].hour));
    EXPECT_EQ(h.phones, want[i].phones);
    EXPECT_EQ(h.passed, want[i].passed);
    EXPECT_EQ(h.failed, want[i].failed);
    EXPECT_DOUBLE_EQ(h.yieldPercent, want[i].yield);
    EXPECT_NEAR(h.unitsPerHour, want[i].uph, 1e-9);
    EXPECT_EQ(h.medianMs, want[i].median);
    EXPECT_EQ(h.p95Ms, want[i].p95);
  }
  EXPECT_EQ(r.hours[0].stopped, 1);
  EXPECT_EQ(r.hours[1].shown, 1);
  // All eleven phones: 10 20 30 30 40 40 45 50 55 60 70 s.
  EXPECT_EQ(r.total.phones, 11);
  EXPECT_EQ(r.total.passed, 5);
  EXPECT_EQ(r.total.failed, 6);
  EXPECT_NEAR(r.total.yieldPercent, 500.0 / 11, 1e-9);
  EXPECT_NEAR(r.total.unitsPerHour, 11 * 3600.0 / (270 + 1810 + 90), 1e-9);
  EXPECT_EQ(r.total.medianMs, 40000);
  EXPECT_EQ(r.total.p95Ms, 70000);
  EXPECT_EQ(r.files, 2);  // jobs-notes.jsonl names no day
  EXPECT_EQ(r.records, 13);
}

TEST(ShiftReport, CutLinesAreSkippedAndCounted) {
  StationDir dir;
  CopyFixture(dir);
  // The fixture's second day has one line cut in the middle and one cut at the end.
  EXPECT_EQ(BuildShiftReport(dir.File(QStringLiteral("Log")), {}, {}).skippedLines, 2);
  // A cut line without a line end at the very end is skipped too, and the rest still read.
  QFile f(dir.File(QStringLiteral("Log/jobs-2026-12-08.jsonl")));
  ASSERT_TRUE(f.open(QIODevice::Append));
  f.write("{\"station\":\"LINE3-W2\",\"start\":\"2026-12-08T10:00:00.000+02:00\",\"outc");
  f.close();
  const ShiftReport r = BuildShiftReport(dir.File(QStringLiteral("Log")), {}, {});
  EXPECT_EQ(r.skippedLines, 3);
  EXPECT_EQ(r.total.phones, 11);
}

TEST(ShiftReport, FailuresRankedByCountWithTheirStep) {
  StationDir dir;
  CopyFixture(dir);
  const ShiftReport r = BuildShiftReport(dir.File(QStringLiteral("Log")), {}, {});
  struct Want {
    QString message, step;
    int count;
  };
  // The message is the result's first line (the identity lines under it differ); the step is
  // the last one with a nonzero code, else the last one run, else "-"; ties in text order.
  const Want want[] = {
      {QStringLiteral("Write SN failed 5"), QStringLiteral("KV_WriteSN"), 3},
      {QStringLiteral("IMEI1 used"), QStringLiteral("-"), 1},
      {QStringLiteral("Open port 3 failed !"), QStringLiteral("KV_BeginPhoneTest"), 1},
      {QStringLiteral("\u05ea\u05dd \u05d4\u05d6\u05de\u05df!"), QStringLiteral("PortArrivedWait"), 1},
  };
  ASSERT_EQ(r.failures.size(), std::size(want));
  for (std::size_t i = 0; i < std::size(want); ++i) {
    EXPECT_EQ(r.failures[i].message, want[i].message) << i;
    EXPECT_EQ(r.failures[i].step, want[i].step) << i;
    EXPECT_EQ(r.failures[i].count, want[i].count) << i;
  }
}

TEST(ShiftReport, SlowestStepsByTheir95thPercentile) {
  StationDir dir;
  CopyFixture(dir);
  const ShiftReport r = BuildShiftReport(dir.File(QStringLiteral("Log")), {}, {});
  struct Want {
    const char* name;
    int count;
    std::int64_t median, p95, max;
  };
  const Want want[] = {
      {"PortArrivedWait", 1, 29985, 29985, 29985},
      {"KV_WriteSN", 8, 900, 2700, 2700},
      {"KV_BeginPhoneTest", 9, 120, 400, 400},
      {"KV_PowerOff", 6, 300, 300, 300},
      {"KV_GetMsVersion", 1, 80, 80, 80},
      {"KV_EnterModeProcess", 2, 15, 15, 15},
  };
  ASSERT_EQ(r.slowestSteps.size(), std::size(want));
  for (std::size_t i = 0; i < std::size(want); ++i) {
    const StepRow& s = r.slowestSteps[i];
    EXPECT_EQ(s.name, QLatin1String(want[i].name)) << i;
    EXPECT_EQ(s.count, want[i].count) << want[i].name;
    EXPECT_EQ(s.medianMs, want[i].median) << want[i].name;
    EXPECT_EQ(s.p95Ms, want[i].p95) << want[i].name;
    EXPECT_EQ(s.maxMs, want[i].max) << want[i].name;
  }
}

TEST(ShiftReport, PeriodEndsAreInclusiveAndEitherMayBeOpen) {
  StationDir dir;
  CopyFixture(dir);
  const QString log = dir.File(QStringLiteral("Log"));
  const QDate d8(2026, 12, 8), d9(2026, 12, 9);
  struct Case {
    QDate from, to;
    std::size_t hours;
    int phones;
  } cases[] = {
      {d8, d8, 2, 9}, {d9, {}, 1, 2}, {{}, d8, 2, 9}, {d8, d9, 3, 11}, {d9.addDays(1), {}, 0, 0},
  };
  for (const Case& c : cases) {
    const ShiftReport r = BuildShiftReport(log, c.from, c.to);
    EXPECT_EQ(r.hours.size(), c.hours) << c.from.toString(Qt::ISODate).toStdString();
    EXPECT_EQ(r.total.phones, c.phones) << c.from.toString(Qt::ISODate).toStdString();
  }
}

TEST(NearestRank, PercentilesOfSmallSets) {
  struct Case {
    std::vector<std::int64_t> values;
    double p;
    std::int64_t want;
  } cases[] = {
      {{}, 50, 0},           {{7}, 50, 7},           {{7}, 95, 7},
      {{4, 1, 3, 2}, 50, 2}, {{4, 1, 3, 2}, 95, 4},  {{5, 1, 2, 3, 4}, 50, 3},
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}, 95, 19},
  };
  for (Case& c : cases) EXPECT_EQ(NearestRank(c.values, c.p), c.want) << c.p;
}

TEST(ShiftReportPage, WellFormedXmlWithOnePointPerHour) {
  StationDir dir;
  CopyFixture(dir);
  const ShiftReport r = BuildShiftReport(dir.File(QStringLiteral("Log")), {}, {});
  const QByteArray page = FormatReportHtml(r, QStringLiteral("Line 3 <W2> & \"night\""));
  std::map<QString, Svg> charts;
  QString error;
  ASSERT_TRUE(ReadPage(page, &charts, &error)) << error.toStdString();
  ASSERT_EQ(charts.size(), 2u);
  for (const char* id : {"yield-chart", "uph-chart"}) {
    const Svg& svg = charts[QLatin1String(id)];
    EXPECT_EQ(svg.polylinePoints, 3) << id;
    EXPECT_EQ(svg.dots, 3) << id;
  }
  // Yield 60, 25, 50 %: the first point highest, the second lowest (SVG's y grows downwards).
  const std::vector<double>& y = charts[QStringLiteral("yield-chart")].ys;
  ASSERT_EQ(y.size(), 3u);
  EXPECT_LT(y[0], y[2]);
  EXPECT_LT(y[2], y[1]);
  // The title is escaped; nothing is fetched and nothing runs.
  EXPECT_TRUE(page.contains("Line 3 &lt;W2&gt; &amp; &quot;night&quot;"));
  for (const char* absent : {"<script", "src=", "href=", "url(", "@import"}) {
    EXPECT_FALSE(page.contains(absent)) << absent;
  }
  // The failure and step tables carry their rows.
  EXPECT_TRUE(page.contains("<td class=\"l\" dir=\"auto\">KV_WriteSN</td>"
                            "<td class=\"l\" dir=\"auto\">Write SN failed 5</td><td>3</td>"));
  EXPECT_TRUE(page.contains("<td class=\"l\" dir=\"auto\">PortArrivedWait</td><td>1</td>"
                            "<td>29985</td><td>29985</td><td>29985</td>"));
}

TEST(ShiftReportPage, EmptyPeriodStillWellFormed) {
  StationDir dir;
  const ShiftReport r = BuildShiftReport(dir.File(QStringLiteral("Log")), {}, {});
  std::map<QString, Svg> charts;
  QString error;
  ASSERT_TRUE(ReadPage(FormatReportHtml(r, QStringLiteral("empty")), &charts, &error))
      << error.toStdString();
  EXPECT_EQ(charts.size(), 2u);
  EXPECT_EQ(charts[QStringLiteral("uph-chart")].dots, 0);
}

}  // namespace
}  // namespace kestrel::records
