#include "records/job_report_format.h"

#include <QStringList>

#include <algorithm>
#include <cmath>
#include <functional>

namespace kestrel::records {
namespace {

QString Seconds(std::int64_t ms) { return QString::number(static_cast<double>(ms) / 1000.0, 'f', 1); }

QString Yield(const HourRow& r) {
  return r.phones > 0 ? QString::number(r.yieldPercent, 'f', 1) + QStringLiteral(" %")
                      : QStringLiteral("-");
}

QString Hour(const HourRow& r) {
  return r.day.toString(QStringLiteral("yyyy-MM-dd")) + QString::asprintf(" %02d:00", r.hour);
}

QString Period(const ShiftReport& r) {
  const QString from = r.from.isValid() ? r.from.toString(Qt::ISODate) : QStringLiteral("start");
  const QString to = r.to.isValid() ? r.to.toString(Qt::ISODate) : QStringLiteral("end");
  return from + QStringLiteral(" to ") + to;
}

QStringList Cells(const HourRow& r, const QString& label) {
  return {label,
          QString::number(r.phones),
          QString::number(r.passed),
          QString::number(r.failed),
          Yield(r),
          QString::number(r.unitsPerHour, 'f', 1),
          Seconds(r.medianMs),
          Seconds(r.p95Ms)};
}

const QStringList kHourHeads = {QStringLiteral("hour"),    QStringLiteral("phones"),
                                QStringLiteral("passed"),  QStringLiteral("failed"),
                                QStringLiteral("yield"),   QStringLiteral("units/h"),
                                QStringLiteral("median s"), QStringLiteral("p95 s")};

QString Counts(const ShiftReport& r) {
  return QStringLiteral("%1 record%2 in %3 file%4, %5 line%6 skipped (cut or damaged)")
      .arg(r.records)
      .arg(r.records == 1 ? "" : "s")
      .arg(r.files)
      .arg(r.files == 1 ? "" : "s")
      .arg(r.skippedLines)
      .arg(r.skippedLines == 1 ? "" : "s");
}

// --- HTML ---

QString Esc(const QString& text) {
  QString out = text.toHtmlEscaped();
  out.replace(QLatin1Char('\''), QStringLiteral("&#39;"));
  return out;
}

// A table row; the first `textColumns` cells are text (left-aligned, their direction taken from
// their content so that Hebrew messages read right to left), the rest numbers.
QString Row(const QStringList& cells, const char* tag = "td", int textColumns = 1,
            const char* rowClass = nullptr) {
  QString out = rowClass != nullptr ? QStringLiteral("<tr class=\"%1\">").arg(QLatin1String(rowClass))
                                    : QStringLiteral("<tr>");
  for (qsizetype i = 0; i < cells.size(); ++i) {
    const bool text = i < textColumns;
    out += QStringLiteral("<%1%2>%3</%1>")
               .arg(QLatin1String(tag),
                    text ? QStringLiteral(" class=\"l\" dir=\"auto\"") : QString(), Esc(cells.at(i)));
  }
  return out + QStringLiteral("</tr>\n");
}

QString Num(double v) { return QString::number(v, 'f', 1); }

// A line chart of one value per hour row; one polyline point and one marked dot per row.
QString Chart(const ShiftReport& r, const QString& id, const QString& title, double top,
              const std::function<double(const HourRow&)>& value, const QString& unit) {
  constexpr double kW = 760, kH = 240, kLeft = 56, kRight = 40, kTop = 28, kBottom = 40;
  const double plotW = kW - kLeft - kRight;
  const double plotH = kH - kTop - kBottom;
  const std::size_t n = r.hours.size();
  auto x = [&](std::size_t i) {
    return n <= 1 ? kLeft + plotW / 2 : kLeft + plotW * static_cast<double>(i) / static_cast<double>(n - 1);
  };
  auto y = [&](double v) { return kTop + plotH - plotH * std::clamp(v / top, 0.0, 1.0); };

  QString svg = QStringLiteral(
                    "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"%1\" width=\"%2\" "
                    "height=\"%3\" viewBox=\"0 0 %2 %3\" role=\"img\">\n<title>%4</title>\n")
                    .arg(id, Num(kW), Num(kH), Esc(title));
  svg += QStringLiteral("<text x=\"%1\" y=\"18\" class=\"ct\">%2</text>\n").arg(Num(kLeft), Esc(title));
  for (int g = 0; g <= 4; ++g) {
    const double v = top * g / 4.0;
    svg += QStringLiteral(
               "<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%2\" class=\"grid\"/>"
               "<text x=\"%4\" y=\"%5\" class=\"ax\" text-anchor=\"end\">%6</text>\n")
               .arg(Num(kLeft), Num(y(v)), Num(kW - kRight), Num(kLeft - 6), Num(y(v) + 4),
                    QString::number(v, 'f', top < 10 ? 1 : 0));
  }
  if (n > 0) {
    const std::size_t every = std::max<std::size_t>(1, (n + 7) / 8);
    for (std::size_t i = 0; i < n; i += every) {
      svg += QStringLiteral("<text x=\"%1\" y=\"%2\" class=\"ax\" text-anchor=\"middle\">%3</text>\n")
                 .arg(Num(x(i)), Num(kH - kBottom + 16),
                      Esc(r.hours[i].day.toString(QStringLiteral("MM-dd")) +
                          QString::asprintf(" %02dh", r.hours[i].hour)));
    }
    QStringList points;
    QString dots;
    for (std::size_t i = 0; i < n; ++i) {
      const double v = value(r.hours[i]);
      points << Num(x(i)) + QLatin1Char(',') + Num(y(v));
      dots += QStringLiteral("<circle cx=\"%1\" cy=\"%2\" r=\"3\" class=\"pt\"><title>%3: %4 %5</title></circle>\n")
                  .arg(Num(x(i)), Num(y(v)), Esc(Hour(r.hours[i])), Num(v), Esc(unit));
    }
    svg += QStringLiteral("<polyline class=\"series\" points=\"%1\"/>\n").arg(points.join(QLatin1Char(' ')));
    svg += dots;
  } else {
    svg += QStringLiteral("<text x=\"%1\" y=\"%2\" class=\"ax\">no phones in this period</text>\n")
               .arg(Num(kLeft + 10), Num(kTop + plotH / 2));
  }
  return svg + QStringLiteral("</svg>\n");
}

double NiceTop(double max) {
  if (max <= 0) return 10;
  const double magnitude = std::pow(10.0, std::floor(std::log10(max)));
  for (double step : {1.0, 2.0, 2.5, 5.0, 10.0}) {
    if (step * magnitude >= max * 1.05) return step * magnitude;
  }
  return 10 * magnitude;
}

const char kStyle[] =
    "body{font-family:sans-serif;margin:24px;color:#222}"
    "h1{font-size:22px}h2{font-size:17px;margin-top:28px}"
    "table{border-collapse:collapse;font-size:13px}"
    "th,td{border:1px solid #bbb;padding:3px 8px;text-align:right}"
    "th{background:#e8eef4}td.l,th.l{text-align:left}"
    "tr.total td{font-weight:bold;background:#f4f4f4}"
    "p.note{color:#555;font-size:13px}"
    "svg{display:block;margin:10px 0;background:#fcfcfc;border:1px solid #ddd}"
    ".grid{stroke:#ddd;stroke-width:1}.ax{font-size:11px;fill:#555}.ct{font-size:13px;fill:#222}"
    ".series{fill:none;stroke:#1f6fb2;stroke-width:2}.pt{fill:#1f6fb2}";

}  // namespace

QStringList HourRowHeads() {
  return kHourHeads;
}

QStringList HourRowCells(const HourRow& row, const QString& label) {
  return Cells(row, label);
}

QString FormatTextTable(const std::vector<QStringList>& rows, int textColumns) {
  std::vector<qsizetype> widths;
  for (const QStringList& row : rows) {
    widths.resize(std::max(widths.size(), static_cast<std::size_t>(row.size())), 0);
    for (qsizetype i = 0; i < row.size(); ++i) widths[static_cast<std::size_t>(i)] =
        std::max(widths[static_cast<std::size_t>(i)], row.at(i).size());
  }
  QString out;
  for (const QStringList& row : rows) {
    QStringList cells;
    for (qsizetype i = 0; i < row.size(); ++i) {
      const int w = static_cast<int>(widths[static_cast<std::size_t>(i)]);
      cells << (i < textColumns ? row.at(i).leftJustified(w) : row.at(i).rightJustified(w));
    }
    out += cells.join(QStringLiteral("  ")) + QLatin1Char('\n');
  }
  return out;
}

QString FormatHourTableText(const ShiftReport& r) {
  std::vector<QStringList> rows;
  rows.push_back(kHourHeads);
  for (const HourRow& h : r.hours) rows.push_back(Cells(h, Hour(h)));
  rows.push_back(Cells(r.total, QStringLiteral("total")));
  QString out = FormatTextTable(rows, 1);
  out += QStringLiteral("stopped: %1, shown without a verdict: %2\n")
             .arg(r.total.stopped)
             .arg(r.total.shown);
  return out;
}

QString FormatFailuresText(const ShiftReport& r) {
  QString out = QStringLiteral("failures by count\n");
  if (r.failures.empty()) out += QStringLiteral("  none\n");
  qsizetype stepWidth = 4;
  for (const FailureRow& f : r.failures) stepWidth = std::max(stepWidth, f.step.size());
  if (!r.failures.empty()) {
    out += QStringLiteral("%1  %2  message\n")
               .arg(QStringLiteral("count"), QStringLiteral("step").leftJustified(stepWidth));
  }
  for (const FailureRow& f : r.failures) {
    out += QStringLiteral("%1  %2  %3\n")
               .arg(QString::number(f.count).rightJustified(5), f.step.leftJustified(stepWidth),
                    f.message);
  }
  return out;
}

QString FormatReportText(const ShiftReport& r) {
  QString out = QStringLiteral("period: %1\n%2\n\n").arg(Period(r), Counts(r));
  out += FormatHourTableText(r) + QLatin1Char('\n') + FormatFailuresText(r);
  for (const QString& path : r.unreadableFiles) out += QStringLiteral("unreadable: %1\n").arg(path);
  return out;
}

QString ReportHtmlStart(const QString& title) {
  return QStringLiteral(
             "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n"
             "<head><meta charset=\"utf-8\"/><title>%1</title><style>%2</style></head>\n"
             "<body>\n<h1>%1</h1>\n")
      .arg(HtmlEscape(title), QLatin1String(kStyle));
}

QString ReportHtmlEnd() {
  return QStringLiteral("</body>\n</html>\n");
}

QString ReportPeriodText(const ShiftReport& r) {
  return Period(r);
}

QString ReportHtmlCharts(const ShiftReport& r, const QString& idPrefix) {
  double maxUph = 0;
  for (const HourRow& h : r.hours) maxUph = std::max(maxUph, h.unitsPerHour);
  return Chart(r, idPrefix + QStringLiteral("yield-chart"), QStringLiteral("Yield per hour (%)"),
               100, [](const HourRow& h) { return h.yieldPercent; }, QStringLiteral("%")) +
         Chart(r, idPrefix + QStringLiteral("uph-chart"), QStringLiteral("Units per hour"),
               NiceTop(maxUph), [](const HourRow& h) { return h.unitsPerHour; },
               QStringLiteral("units/h"));
}

QString ReportHtmlHours(const ShiftReport& r, const QString& tableId, int level) {
  QString page = QStringLiteral("<h%1>Hours</h%1>\n<table id=\"%2\">\n").arg(level).arg(tableId) +
                 Row(kHourHeads, "th");
  for (const HourRow& h : r.hours) page += Row(Cells(h, Hour(h)));
  page += Row(Cells(r.total, QStringLiteral("total")), "td", 1, "total");
  page += QStringLiteral("</table>\n<p class=\"note\">stopped: %1, shown without a verdict: %2. "
                         "Units per hour: phones over the time from the hour's first start to its "
                         "last end.</p>\n")
              .arg(r.total.stopped)
              .arg(r.total.shown);
  return page;
}

QString ReportHtmlFailures(const ShiftReport& r, const QString& tableId, int level) {
  QString page =
      QStringLiteral("<h%1>Failures by count</h%1>\n<table id=\"%2\">\n").arg(level).arg(tableId) +
      Row({QStringLiteral("step"), QStringLiteral("message"), QStringLiteral("count")}, "th", 2);
  for (const FailureRow& f : r.failures) page += Row({f.step, f.message, QString::number(f.count)}, "td", 2);
  if (r.failures.empty()) page += QStringLiteral("<tr><td colspan=\"3\">none</td></tr>\n");
  return page + QStringLiteral("</table>\n");
}

QString ReportHtmlTableRow(const QStringList& cells, bool head, int textColumns) {
  return Row(cells, head ? "th" : "td", textColumns);
}

QString HtmlEscape(const QString& text) {
  return Esc(text);
}

QByteArray FormatReportHtml(const ShiftReport& r, const QString& title) {
  QString page = ReportHtmlStart(title);
  page += QStringLiteral("<p class=\"note\">period: %1 &#8212; %2</p>\n").arg(Esc(Period(r)), Esc(Counts(r)));
  page += ReportHtmlCharts(r, QString());
  page += ReportHtmlHours(r, QStringLiteral("hours"), 2);
  page += ReportHtmlFailures(r, QStringLiteral("failures"), 2);

  page += QStringLiteral("<h2>Slowest steps</h2>\n<table id=\"steps\">\n") +
          Row({QStringLiteral("step"), QStringLiteral("runs"), QStringLiteral("median ms"),
               QStringLiteral("p95 ms"), QStringLiteral("max ms")},
              "th");
  for (const StepRow& s : r.slowestSteps) {
    page += Row({s.name, QString::number(s.count), QString::number(s.medianMs),
                 QString::number(s.p95Ms), QString::number(s.maxMs)});
  }
  page += QStringLiteral("</table>\n");
  for (const QString& path : r.unreadableFiles) {
    page += QStringLiteral("<p class=\"note\">unreadable: %1</p>\n").arg(Esc(path));
  }
  page += ReportHtmlEnd();
  return page.toUtf8();
}

}  // namespace kestrel::records
