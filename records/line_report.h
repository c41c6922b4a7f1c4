// The line's report (kestrel-cli line report): the shift report (records/job_report.h) over the
// job summaries the stations handed the line (line/line_jobs.h), for the whole line and for each
// station, with the stations ranked by yield; as text, and as one page with the shift report's
// charts for the line and for each station.
//
// The summaries count as the stations' own job records do (records/line_job_summary.h), so a
// station's part equals `kestrel-cli report` over its folder; the steps' times stay in the
// stations, so the report has no slowest steps. Hours are each station's wall-clock hours.
#pragma once

#include "line/line_jobs.h"
#include "records/job_report.h"

#include <QByteArray>
#include <QDate>
#include <QString>

#include <vector>

namespace kestrel::records {

struct LineStationReport {
  QString station;
  ShiftReport report;
};

struct LineReport {
  QDate from;  // the period asked for (invalid: open)
  QDate to;
  ShiftReport line;  // every station's jobs
  // Ranked: the stations with phones by yield, lowest first (the most failed first among equal
  // yields, then by name), then those without phones by name.
  std::vector<LineStationReport> stations;
};

LineReport SummariseLineJobs(const std::vector<line::LineJob>& jobs, const QDate& from,
                             const QDate& to);

// The stations ranked, the line's hour table and failures, then each station's.
QString FormatLineReportText(const LineReport& report);
// The page: the ranking, the line's charts, hours and failures, then each station's.
QByteArray FormatLineReportHtml(const LineReport& report, const QString& title);

}  // namespace kestrel::records
