// The shift report as plain text (kestrel-cli report) and as one self-contained HTML page:
// no script, no style sheet or picture fetched from anywhere; the charts are inline SVG. The
// page is well-formed XML throughout, so any XML reader can take its charts apart.
#pragma once

#include "records/job_report.h"

#include <QByteArray>
#include <QString>

namespace kestrel::records {

// The hour table (with its total row), the stopped and skipped counts, the failures ranked.
QString FormatReportText(const ShiftReport& report);

// The page: the yield and units-per-hour charts (one point per row of the hour table), the
// hour table, the failures ranked, the slowest steps. `title` heads the page.
QByteArray FormatReportHtml(const ShiftReport& report, const QString& title);

}  // namespace kestrel::records
