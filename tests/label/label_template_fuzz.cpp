// Any bytes as a label template: parsing never crashes; a template it takes has its size within
// the limits and every item inside the label, its error names a line when it refuses; and a
// template it takes draws (or refuses to draw) without crashing.
#include "label/label_render.h"
#include "label/label_template.h"

#include <QGuiApplication>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace kestrel::label;

namespace {

void Check(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "label_template_fuzz: check at line %d failed\n", line);
  std::abort();
}
#define Require(cond) Check((cond), __LINE__)

void NeedGui() {
  static int argc = 1;
  static char name[] = "label_template_fuzz";
  static char* argv[] = {name, nullptr};
  if (QGuiApplication::instance() == nullptr) new QGuiApplication(argc, argv);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  LabelTemplate t;
  QString error;
  if (!ParseLabelTemplate(bytes, &t, &error)) {
    Require(!error.isEmpty());
    Require(error.startsWith(QLatin1String("line ")) || error.startsWith(QLatin1String("the ")));
    return 0;
  }
  Require(t.sizeMm.width() >= kMinLabelMm && t.sizeMm.width() <= kMaxLabelMm);
  Require(t.sizeMm.height() >= kMinLabelMm && t.sizeMm.height() <= kMaxLabelMm);
  Require(!t.items.empty() && static_cast<int>(t.items.size()) <= kMaxItems);
  const QRectF label(QPointF(0, 0), t.sizeMm);
  for (const LabelItem& item : t.items) {
    Require(item.boxMm.width() >= kMinItemMm && item.boxMm.height() >= kMinItemMm);
    Require(item.boxMm.right() <= label.right() + 1e-5 &&
            item.boxMm.bottom() <= label.bottom() + 1e-5);
    Require(item.line >= 1);
  }
  NeedGui();
  LabelValues v;
  v[LabelField::IMEI1] = QStringLiteral("356938035643809");
  v[LabelField::BT] = QString::fromUtf8(bytes.left(12));
  const QImage image = RenderLabelImage(t, v, 2.0, &error);
  Require(!image.isNull() || error.startsWith(QLatin1String("line ")));
  return 0;
}
