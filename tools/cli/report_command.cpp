// kestrel-cli report [--station-dir DIR] [--from DATE] [--to DATE] [--html FILE]
//
// The shift report over the job records in the station folder's Log/jobs-YYYY-MM-DD.jsonl:
// the hour table (phones, passed, failed, yield, units per hour, median and 95th-percentile
// job time) with its total, then the failure messages ranked by count with the step they came
// from. DATE is YYYY-MM-DD; both ends are included and either may be left open. --html also
// writes the page with the charts and the slowest steps to FILE.
//
// Exit 0 with a report (also an empty one), 1 when a file could not be read or the page not
// written, 2 on bad arguments.
#include "config/station_folder.h"
#include "records/job_report.h"
#include "records/job_report_format.h"
#include "tools/cli/cli_commands.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <cstdio>

namespace kestrel::cli {
namespace {

int Usage() {
  std::fputs(
      "usage: kestrel-cli report [--station-dir DIR] [--from YYYY-MM-DD] [--to YYYY-MM-DD] "
      "[--html FILE]\n",
      stderr);
  return 2;
}

bool TakeDate(const QString& text, QDate* date) {
  *date = QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
  return date->isValid();
}

}  // namespace

int RunReportCommand(const QStringList& args) {
  const qsizetype dirAt = args.indexOf(QLatin1String("--station-dir"));
  if (dirAt >= 0 && dirAt == args.size() - 1) return Usage();
  const QStringList rest = config::WithoutStationDirArgument(args);
  QDate from;
  QDate to;
  QString html;
  for (qsizetype i = 0; i < rest.size(); ++i) {
    const QString& option = rest.at(i);
    if (i + 1 >= rest.size()) return Usage();
    const QString& value = rest.at(++i);
    if (option == QLatin1String("--from")) {
      if (!TakeDate(value, &from)) return Usage();
    } else if (option == QLatin1String("--to")) {
      if (!TakeDate(value, &to)) return Usage();
    } else if (option == QLatin1String("--html")) {
      html = value;
    } else {
      return Usage();
    }
  }
  if (from.isValid() && to.isValid() && to < from) return Usage();

  const QString folder = config::ResolveStationFolder(args);
  const records::ShiftReport report =
      records::BuildShiftReport(QDir(folder).filePath(QStringLiteral("Log")), from, to);
  const QByteArray text = records::FormatReportText(report).toLocal8Bit();
  std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
  int code = report.unreadableFiles.isEmpty() ? 0 : 1;

  if (!html.isEmpty()) {
    const QString title = QStringLiteral("Kestrel shift report: %1").arg(QDir(folder).dirName());
    QSaveFile page(html);
    if (!page.open(QIODevice::WriteOnly) || page.write(records::FormatReportHtml(report, title)) < 0 ||
        !page.commit()) {
      std::fprintf(stderr, "kestrel-cli: cannot write %s\n", html.toLocal8Bit().constData());
      return 1;
    }
  }
  return code;
}

}  // namespace kestrel::cli
