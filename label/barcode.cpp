#include "label/barcode.h"

#include <zint.h>

#include <memory>

namespace kestrel::label {
namespace {

struct SymbolDeleter {
  void operator()(zint_symbol* s) const { ZBarcode_Delete(s); }
};

}  // namespace

bool EncodeBarcode(Symbology symbology, const QString& text, BarcodeModules* out, QString* error) {
  const std::unique_ptr<zint_symbol, SymbolDeleter> symbol(ZBarcode_Create());
  if (!symbol) {
    if (error != nullptr) *error = QStringLiteral("libzint could not make a symbol");
    return false;
  }
  zint_symbol* s = symbol.get();
  s->symbology = symbology == Symbology::Code128 ? BARCODE_CODE128 : BARCODE_DATAMATRIX;
  s->input_mode = UNICODE_MODE;
  s->show_hrt = 0;
  s->whitespace_width = 0;
  s->whitespace_height = 0;
  s->border_width = 0;
  s->output_options |= BARCODE_NO_QUIET_ZONES;
  if (symbology == Symbology::DataMatrix) s->option_3 = DM_SQUARE;
  const QByteArray utf8 = text.toUtf8();
  const int encoded = ZBarcode_Encode(s, reinterpret_cast<const unsigned char*>(utf8.constData()),
                                      static_cast<int>(utf8.size()));
  if (encoded >= ZINT_ERROR || ZBarcode_Buffer_Vector(s, 0) >= ZINT_ERROR || s->vector == nullptr ||
      s->width <= 0 || s->rows <= 0) {
    if (error != nullptr) {
      *error = QString::fromLatin1(s->errtxt).trimmed();
      if (error->isEmpty()) *error = QStringLiteral("libzint could not encode the text");
    }
    return false;
  }
  const zint_vector* v = s->vector;
  BarcodeModules modules;
  modules.columns = s->width;
  modules.rows = symbology == Symbology::Code128 ? 1 : s->rows;
  const double unitX = static_cast<double>(v->width) / modules.columns;
  const double unitY = static_cast<double>(v->height) / modules.rows;
  for (const zint_vector_rect* r = v->rectangles; r != nullptr; r = r->next) {
    if (r->colour != -1) continue;  // only the foreground is dark
    modules.dark.emplace_back(r->x / unitX, r->y / unitY, r->width / unitX, r->height / unitY);
  }
  *out = std::move(modules);
  return true;
}

}  // namespace kestrel::label
