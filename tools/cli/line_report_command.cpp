// kestrel-cli line report [--station NAME] [--from YYYY-MM-DD] [--to YYYY-MM-DD] [--html FILE]
//
// The shift report of `kestrel-cli report` over the job summaries every station handed the
// line: the stations ranked by yield (lowest first), then the hour table (phones, passed,
// failed, yield, units per hour, median and 95th-percentile job time) and the failures ranked
// for the whole line and for each station. Days are each station's own; both ends are included
// and either may be left open. --html also writes the page with the charts to FILE. The admin
// and a reporting role read every station's summaries (or the one --station names); a station
// its own.
#include "records/line_report.h"
#include "tools/cli/line_page_commands.h"

#include <QSaveFile>

#include <cstdio>

namespace kestrel::cli {
namespace {

int Usage(const char* why) {
  std::fprintf(stderr, "kestrel-cli line report: %s\n", why);
  return kLineExitUsage;
}

bool TakeDate(const QString& text, QDate* date) {
  *date = QDate::fromString(text, QStringLiteral("yyyy-MM-dd"));
  return date->isValid();
}

}  // namespace

int LineFailure(const line::LineResult& r) {
  const QByteArray why = r.message.toLocal8Bit();
  if (r.status == line::LineStatus::Refused) {
    std::fprintf(stderr, "kestrel-cli line: %s\n", why.constData());
    return kLineExitRefused;
  }
  std::fprintf(stderr, "kestrel-cli line: line database unreachable: %s\n", why.constData());
  return kLineExitUnreachable;
}

int RunLineReport(line::LineDatabase& line, const QString& station, QStringList options) {
  QDate from, to;
  QString html;
  while (!options.isEmpty()) {
    const QString option = options.takeFirst();
    if (options.isEmpty()) return Usage("an option without its value");
    const QString value = options.takeFirst();
    if (option == QLatin1String("--from")) {
      if (!TakeDate(value, &from)) return Usage("--from takes YYYY-MM-DD");
    } else if (option == QLatin1String("--to")) {
      if (!TakeDate(value, &to)) return Usage("--to takes YYYY-MM-DD");
    } else if (option == QLatin1String("--html")) {
      html = value;
    } else {
      return Usage("report takes --station, --from, --to and --html");
    }
  }
  if (from.isValid() && to.isValid() && to < from) return Usage("--to lies before --from");

  std::vector<line::LineJob> jobs;
  const line::LineResult r = line.Jobs(station, from, to, &jobs);
  if (!r.ok()) return LineFailure(r);
  const records::LineReport report = records::SummariseLineJobs(jobs, from, to);
  const QByteArray text = records::FormatLineReportText(report).toLocal8Bit();
  std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
  if (!html.isEmpty()) {
    QSaveFile page(html);
    if (!page.open(QIODevice::WriteOnly) ||
        page.write(records::FormatLineReportHtml(report, QStringLiteral("Kestrel line report"))) < 0 ||
        !page.commit()) {
      std::fprintf(stderr, "kestrel-cli: cannot write %s\n", html.toLocal8Bit().constData());
      return 1;
    }
  }
  return kLineExitDone;
}

}  // namespace kestrel::cli
