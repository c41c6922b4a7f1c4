// The shift report as plain text (kestrel-cli report) and as one self-contained HTML page:
// no script, no style sheet or picture fetched from anywhere; the charts are inline SVG. The
// page is well-formed XML throughout, so any XML reader can take its charts apart.
#pragma once

#include "records/job_report.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

namespace kestrel::records {

// The hour table (with its total row), the stopped and skipped counts, the failures ranked.
QString FormatReportText(const ShiftReport& report);

// The page: the yield and units-per-hour charts (one point per row of the hour table), the
// hour table, the failures ranked, the slowest steps. `title` heads the page.
QByteArray FormatReportHtml(const ShiftReport& report, const QString& title);

// The pieces of both, for a report made of several (the line's, records/line_report.h).
// "start to end", or the dates asked for.
QString ReportPeriodText(const ShiftReport& report);
// The hour table's heads and the cells of one of its rows (`label` in the first).
QStringList HourRowHeads();
QStringList HourRowCells(const HourRow& row, const QString& label);
// Rows as columns two blanks apart, the first `textColumns` left-aligned, the rest right.
QString FormatTextTable(const std::vector<QStringList>& rows, int textColumns);
// The hour table with its total row and the line of stopped and shown jobs; the failures ranked.
QString FormatHourTableText(const ShiftReport& report);
QString FormatFailuresText(const ShiftReport& report);
// The page's head (with the style sheet) and its heading, and its end.
QString ReportHtmlStart(const QString& title);
QString ReportHtmlEnd();
// The two charts (their ids begin with `idPrefix`); the hour table and the failures table, each
// under a heading of `level` (2: h2).
QString ReportHtmlCharts(const ShiftReport& report, const QString& idPrefix);
QString ReportHtmlHours(const ShiftReport& report, const QString& tableId, int level);
QString ReportHtmlFailures(const ShiftReport& report, const QString& tableId, int level);
// A table row of the page's style: the first `textColumns` cells text, the others numbers.
QString ReportHtmlTableRow(const QStringList& cells, bool head, int textColumns = 1);
// Text made safe for the page's element content and attribute values.
QString HtmlEscape(const QString& text);

}  // namespace kestrel::records
