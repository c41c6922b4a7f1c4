// Reading labels back with the tools a line would use: zbarimg (Code 128), dmtxread (Data
// Matrix), pdfinfo for a PDF's page size and pdftoppm to render its page.
#pragma once

#include "tests/support/child_process.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSizeF>
#include <QStringList>

#include <algorithm>

namespace kestrel::label::testing {

// The Code 128 symbols zbarimg finds in an image, sorted.
inline QStringList ReadCode128(const QString& image) {
  const kestrel::testing::ChildRun run = kestrel::testing::RunChild(
      QStringLiteral("/usr/bin/zbarimg"),
      {QStringLiteral("--quiet"), QStringLiteral("--raw"), QStringLiteral("-Sdisable"),
       QStringLiteral("-Scode128.enable"), image});
  QStringList found = QString::fromUtf8(run.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  std::sort(found.begin(), found.end());
  return found;
}

// The Data Matrix symbols dmtxread finds in an image, sorted.
inline QStringList ReadDataMatrix(const QString& image, int expected) {
  const kestrel::testing::ChildRun run =
      kestrel::testing::RunChild(QStringLiteral("/usr/bin/dmtxread"),
                                 {QStringLiteral("-n"), QStringLiteral("-N%1").arg(expected),
                                  QStringLiteral("-m3000"), image});
  QStringList found = QString::fromUtf8(run.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  std::sort(found.begin(), found.end());
  return found;
}

// The first page's size of a PDF in millimetres (pdfinfo gives points); empty on failure.
inline QSizeF PdfPageSizeMm(const QString& pdf) {
  const kestrel::testing::ChildRun run =
      kestrel::testing::RunChild(QStringLiteral("/usr/bin/pdfinfo"), {pdf});
  const QRegularExpression size(QStringLiteral("Page size:\\s+([0-9.]+) x ([0-9.]+) pts"));
  const QRegularExpressionMatch m = size.match(QString::fromUtf8(run.out));
  if (!m.hasMatch()) return {};
  return QSizeF(m.captured(1).toDouble() * 25.4 / 72, m.captured(2).toDouble() * 25.4 / 72);
}

// The PDF's first page as a PNG beside it at `dpi`; the PNG's path, or empty.
inline QString RenderPdfPage(const QString& pdf, int dpi = 600) {
  const QFileInfo info(pdf);
  const QString base = info.dir().filePath(info.completeBaseName() + QStringLiteral("-page"));
  const kestrel::testing::ChildRun run = kestrel::testing::RunChild(
      QStringLiteral("/usr/bin/pdftoppm"),
      {QStringLiteral("-r"), QString::number(dpi), QStringLiteral("-png"),
       QStringLiteral("-singlefile"), QStringLiteral("-f"), QStringLiteral("1"), pdf, base});
  const QString png = base + QStringLiteral(".png");
  return run.exitCode == 0 && QFileInfo::exists(png) ? png : QString();
}

}  // namespace kestrel::label::testing
