#include "records/line_report.h"

#include "records/job_report_format.h"
#include "records/line_job_summary.h"

#include <QStringList>

#include <algorithm>
#include <map>

namespace kestrel::records {
namespace {

// The shift report of records in memory, without the steps (a summary carries only the step its
// failure is ranked under, not the steps' times).
ShiftReport Summarise(const std::vector<JobRecord>& records, const QDate& from, const QDate& to) {
  ShiftReport r = SummariseRecords(records);
  r.slowestSteps.clear();
  r.from = from;
  r.to = to;
  return r;
}

bool RanksBefore(const LineStationReport& a, const LineStationReport& b) {
  const HourRow& x = a.report.total;
  const HourRow& y = b.report.total;
  if ((x.phones > 0) != (y.phones > 0)) return x.phones > 0;
  if (x.phones > 0) {
    if (x.yieldPercent != y.yieldPercent) return x.yieldPercent < y.yieldPercent;
    if (x.failed != y.failed) return x.failed > y.failed;
  }
  return a.station < b.station;
}

std::vector<QStringList> RankingRows(const LineReport& r) {
  QStringList heads = HourRowHeads();
  heads[0] = QStringLiteral("station");
  heads.prepend(QStringLiteral("rank"));
  std::vector<QStringList> rows = {heads};
  int rank = 0;
  for (const LineStationReport& s : r.stations) {
    QStringList cells = HourRowCells(s.report.total, s.station);
    cells.prepend(s.report.total.phones > 0 ? QString::number(++rank) : QStringLiteral("-"));
    rows.push_back(cells);
  }
  return rows;
}

QString Heading(const LineReport& r) {
  std::int64_t jobs = 0;
  for (const LineStationReport& s : r.stations) jobs += s.report.records;
  return QStringLiteral("period: %1\n%2 station%3, %4 job%5")
      .arg(ReportPeriodText(r.line))
      .arg(r.stations.size())
      .arg(r.stations.size() == 1 ? "" : "s")
      .arg(jobs)
      .arg(jobs == 1 ? "" : "s");
}

// An element id made of a station's name: letters and digits kept, anything else as _XX.
QString IdOf(const QString& station) {
  QString id = QStringLiteral("s-");
  for (const QChar c : station) {
    const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                       (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                       (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
    id += plain ? QString(c) : QStringLiteral("_%1").arg(static_cast<uint>(c.unicode()), 2, 16, QLatin1Char('0'));
  }
  return id;
}

}  // namespace

LineReport SummariseLineJobs(const std::vector<line::LineJob>& jobs, const QDate& from,
                             const QDate& to) {
  std::vector<JobRecord> all;
  all.reserve(jobs.size());
  std::map<QString, std::vector<JobRecord>> byStation;
  for (const line::LineJob& j : jobs) {
    JobRecord record = JobRecordOf(j);
    byStation[j.station].push_back(record);
    all.push_back(std::move(record));
  }
  LineReport report;
  report.from = from;
  report.to = to;
  report.line = Summarise(all, from, to);
  for (const auto& [station, records] : byStation) {
    report.stations.push_back({station, Summarise(records, from, to)});
  }
  std::stable_sort(report.stations.begin(), report.stations.end(), RanksBefore);
  return report;
}

QString FormatLineReportText(const LineReport& r) {
  QString out = Heading(r) + QStringLiteral("\n\nstations by yield, lowest first\n");
  out += FormatTextTable(RankingRows(r), 2);
  out += QStringLiteral("\nthe line\n") + FormatHourTableText(r.line) + QLatin1Char('\n') +
         FormatFailuresText(r.line);
  for (const LineStationReport& s : r.stations) {
    out += QStringLiteral("\nstation %1\n").arg(s.station) + FormatHourTableText(s.report) +
           QLatin1Char('\n') + FormatFailuresText(s.report);
  }
  return out;
}

QByteArray FormatLineReportHtml(const LineReport& r, const QString& title) {
  QString page = ReportHtmlStart(title);
  page += QStringLiteral("<p class=\"note\">%1</p>\n")
              .arg(HtmlEscape(Heading(r)).replace(QLatin1Char('\n'), QStringLiteral(" &#8212; ")));
  page += QStringLiteral("<h2>Stations by yield, lowest first</h2>\n<table id=\"ranking\">\n");
  const std::vector<QStringList> rows = RankingRows(r);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    page += ReportHtmlTableRow(rows[i], i == 0, 2);
  }
  page += QStringLiteral("</table>\n<h2>The line</h2>\n");
  page += ReportHtmlCharts(r.line, QStringLiteral("line-"));
  page += ReportHtmlHours(r.line, QStringLiteral("line-hours"), 3);
  page += ReportHtmlFailures(r.line, QStringLiteral("line-failures"), 3);
  for (const LineStationReport& s : r.stations) {
    const QString id = IdOf(s.station);
    page += QStringLiteral("<h2 id=\"%1\">Station %2</h2>\n").arg(id, HtmlEscape(s.station));
    page += ReportHtmlCharts(s.report, id + QLatin1Char('-'));
    page += ReportHtmlHours(s.report, id + QStringLiteral("-hours"), 3);
    page += ReportHtmlFailures(s.report, id + QStringLiteral("-failures"), 3);
  }
  page += ReportHtmlEnd();
  return page.toUtf8();
}

}  // namespace kestrel::records
