#include "label/label_print.h"

#include "label/label_render.h"

#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>

#include <algorithm>

namespace kestrel::label {

PrintResult PrintLabel(const PrintRequest& request) {
  PrintResult result;
  const QPrinterInfo info = request.printer.isEmpty() ? QPrinterInfo::defaultPrinter()
                                                      : QPrinterInfo::printerInfo(request.printer);
  result.printer = info.isNull() ? request.printer : info.printerName();
  if (info.isNull()) {
    result.error = request.printer.isEmpty() ? QStringLiteral("no default printer")
                                             : QStringLiteral("no printer %1").arg(request.printer);
    return result;
  }
  // CUPS reports a stopped queue (and one whose device failed) as the error state.
  if (info.state() == QPrinter::Error || info.state() == QPrinter::Aborted) {
    result.error = QStringLiteral("printer %1 is stopped").arg(result.printer);
    return result;
  }
  QPrinter printer(info, QPrinter::HighResolution);
  printer.setFullPage(true);
  printer.setPageSize(QPageSize(request.label.sizeMm, QPageSize::Millimeter,
                                QStringLiteral("Label"), QPageSize::ExactMatch));
  printer.setPageOrientation(QPageLayout::Portrait);
  printer.setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Millimeter);
  printer.setCopyCount(std::max(1, request.copies));
  printer.setDocName(request.title.isEmpty() ? QStringLiteral("Kestrel label") : request.title);
  QPainter painter;
  if (!painter.begin(&printer)) {
    result.error = QStringLiteral("printer %1 could not be opened").arg(result.printer);
    return result;
  }
  const bool drawn =
      DrawLabel(painter, request.label, request.values, printer.resolution() / 25.4, &result.error);
  if (!drawn) printer.abort();
  painter.end();
  result.printed = drawn;
  return result;
}

}  // namespace kestrel::label
