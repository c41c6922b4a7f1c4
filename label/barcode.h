// Bar codes through libzint: the modules of a Code 128 or Data Matrix symbol, to be drawn at any
// size by the label's painter.
#pragma once

#include <QRectF>
#include <QString>

#include <vector>

namespace kestrel::label {

enum class Symbology { Code128, DataMatrix };

struct BarcodeModules {
  int columns = 0;  // modules across
  int rows = 0;     // modules down (1 for Code 128, whose bars take the whole height)
  // The dark areas in module units: x across [0, columns), y down [0, rows).
  std::vector<QRectF> dark;
};

// Encodes `text` (any Unicode text; Code 128 takes Latin-1 only). False with libzint's reason.
bool EncodeBarcode(Symbology symbology, const QString& text, BarcodeModules* out, QString* error);

}  // namespace kestrel::label
