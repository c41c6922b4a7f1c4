#include "label/label_render.h"

#include "label/barcode.h"

#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QFontMetricsF>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

namespace kestrel::label {
namespace {

constexpr int kPdfDotsPerInch = 1200;

struct Prepared {
  const LabelItem* item;
  QString text;
  std::optional<BarcodeModules> modules;
};

QString ItemName(const LabelItem& item) {
  switch (item.kind) {
    case ItemKind::Code128:
      return QStringLiteral("code128");
    case ItemKind::DataMatrix:
      return QStringLiteral("datamatrix");
    case ItemKind::Text:
      break;
  }
  return QStringLiteral("text");
}

QRectF Dots(const QRectF& mm, double dotsPerMm) {
  return QRectF(mm.x() * dotsPerMm, mm.y() * dotsPerMm, mm.width() * dotsPerMm,
                mm.height() * dotsPerMm);
}

// The whole dots a module takes in the box, or 0 when the box is too small for the symbol.
int ModuleDots(const BarcodeModules& m, const QRectF& box) {
  double across = box.width() / m.columns;
  if (m.rows > 1) across = std::min(across, box.height() / m.rows);
  return static_cast<int>(std::floor(across + 1e-9));
}

void DrawBarcode(QPainter& p, const BarcodeModules& m, const QRectF& box) {
  const int module = ModuleDots(m, box);
  const double width = static_cast<double>(module) * m.columns;
  const double height = m.rows > 1 ? static_cast<double>(module) * m.rows : box.height();
  const double left = std::round(box.x() + (box.width() - width) / 2);
  const double top = m.rows > 1 ? std::round(box.y() + (box.height() - height) / 2) : box.y();
  const double unitY = m.rows > 1 ? module : height;
  for (const QRectF& r : m.dark) {
    p.fillRect(
        QRectF(left + r.x() * module, top + r.y() * unitY, r.width() * module, r.height() * unitY),
        Qt::black);
  }
}

void DrawText(QPainter& p, const LabelItem& item, const QString& text, const QRectF& box) {
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setStyleHint(QFont::SansSerif);
  font.setBold(item.bold);
  // The font's line height fills the box, narrowed until the text fits its width.
  int pixels = std::max(1, static_cast<int>(box.height()));
  for (int attempt = 0; attempt < 4; ++attempt) {
    font.setPixelSize(pixels);
    const QFontMetricsF metrics(font, p.device());
    const double scale = std::min(box.height() / metrics.height(),
                                  box.width() / std::max(1.0, metrics.horizontalAdvance(text)));
    const int next = std::max(1, static_cast<int>(std::floor(pixels * std::min(scale, 1.0))));
    if (next >= pixels && scale >= 1.0) break;
    pixels = next;
  }
  font.setPixelSize(pixels);
  p.setFont(font);
  p.setPen(Qt::black);
  Qt::Alignment align = Qt::AlignVCenter;
  align |= item.align == TextAlign::Center  ? Qt::AlignHCenter
           : item.align == TextAlign::Right ? Qt::AlignRight
                                            : Qt::AlignLeft;
  p.drawText(box, static_cast<int>(align) | Qt::TextSingleLine, text);
}

}  // namespace

bool DrawLabel(QPainter& painter, const LabelTemplate& label, const LabelValues& values,
               double dotsPerMm, QString* error) {
  // Every bar code is encoded and measured first: a label is drawn whole or not at all.
  std::vector<Prepared> items;
  for (const LabelItem& item : label.items) {
    if (!ItemHasContent(item, values)) continue;
    Prepared prepared{&item, ItemText(item, values), std::nullopt};
    if (item.kind != ItemKind::Text) {
      auto fail = [&](const QString& what) {
        if (error != nullptr) {
          *error = QStringLiteral("line %1 (%2): %3").arg(item.line).arg(ItemName(item), what);
        }
        return false;
      };
      BarcodeModules modules;
      QString why;
      const Symbology symbology =
          item.kind == ItemKind::Code128 ? Symbology::Code128 : Symbology::DataMatrix;
      if (!EncodeBarcode(symbology, prepared.text, &modules, &why)) return fail(why);
      if (ModuleDots(modules, Dots(item.boxMm, dotsPerMm)) < 1) {
        return fail(QStringLiteral("%1 modules across do not fit the box at %2 dots a mm")
                        .arg(modules.columns)
                        .arg(dotsPerMm, 0, 'f', 1));
      }
      prepared.modules = std::move(modules);
    }
    items.push_back(std::move(prepared));
  }
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, false);
  painter.setRenderHint(QPainter::TextAntialiasing, true);
  for (const Prepared& p : items) {
    const QRectF box = Dots(p.item->boxMm, dotsPerMm);
    if (p.modules) {
      DrawBarcode(painter, *p.modules, box);
    } else {
      DrawText(painter, *p.item, p.text, box);
    }
  }
  painter.restore();
  return true;
}

QImage RenderLabelImage(const LabelTemplate& label, const LabelValues& values, double dotsPerMm,
                        QString* error) {
  const QSize size(static_cast<int>(std::lround(label.sizeMm.width() * dotsPerMm)),
                   static_cast<int>(std::lround(label.sizeMm.height() * dotsPerMm)));
  QImage image(size, QImage::Format_RGB32);
  image.setDotsPerMeterX(static_cast<int>(std::lround(dotsPerMm * 1000)));
  image.setDotsPerMeterY(static_cast<int>(std::lround(dotsPerMm * 1000)));
  image.fill(Qt::white);
  QPainter painter(&image);
  const bool drawn = DrawLabel(painter, label, values, dotsPerMm, error);
  painter.end();
  return drawn ? image : QImage();
}

bool WriteLabelFile(const QString& path, const LabelTemplate& label, const LabelValues& values,
                    QString* error) {
  auto fail = [error](const QString& what) {
    if (error != nullptr) *error = what;
    return false;
  };
  const QString suffix = QFileInfo(path).suffix().toLower();
  if (suffix == QLatin1String("png")) {
    const QImage image = RenderLabelImage(label, values, kPreviewDotsPerMm, error);
    if (image.isNull()) return false;
    if (!image.save(path, "PNG")) return fail(QStringLiteral("%1 could not be written").arg(path));
    return true;
  }
  if (suffix != QLatin1String("pdf"))
    return fail(QStringLiteral("the file must end in .png or .pdf"));
  QPdfWriter writer(path);
  writer.setResolution(kPdfDotsPerInch);
  writer.setPageSize(QPageSize(label.sizeMm, QPageSize::Millimeter, QStringLiteral("Label"),
                               QPageSize::ExactMatch));
  writer.setPageMargins(QMarginsF(0, 0, 0, 0));
  writer.setTitle(QStringLiteral("Kestrel label"));
  QPainter painter;
  if (!painter.begin(&writer)) return fail(QStringLiteral("%1 could not be written").arg(path));
  const bool drawn = DrawLabel(painter, label, values, kPdfDotsPerInch / 25.4, error);
  painter.end();
  if (!drawn) QFile::remove(path);
  return drawn;
}

}  // namespace kestrel::label
