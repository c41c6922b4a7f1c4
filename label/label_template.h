// A label template: the label's size and the items drawn on it, as a line engineer writes them
// in a small text file (the station folder's [LABEL] Template=, or the shipped default).
//
//   # comment (also after an item, outside quotes)
//   size 50 30                          width and height of the label, mm (comes first)
//   code128    IMEI1 3 2 44 8.5         a bar code of a field in the box x y width height, mm
//   datamatrix "{IMEI1}{IMEI2}" 38 2 10 10
//   text       "IMEI1 {IMEI1}" 3 11 44 3 center bold
//
// The origin is the label's top-left corner, x grows to the right and y down. The content is a
// field (IMEI1 ... IMEI4, BT, WIFI, SN1, SN2, DATE, STATION) or a quoted text in which {FIELD}
// stands for the field's value ("{{" and "}}" for the braces themselves, \" and \\ for a quote
// and a backslash). Words and field names are not case-sensitive. A text item takes the height
// of its box (narrowed to fit its width) and may end with left (the default), center or right
// and with bold. Every item lies inside the label.
#pragma once

#include "label/label_values.h"

#include <QByteArray>
#include <QRectF>
#include <QSizeF>
#include <QString>

#include <variant>
#include <vector>

namespace kestrel::label {

enum class ItemKind { Text, Code128, DataMatrix };
enum class TextAlign { Left, Center, Right };

// A piece of an item's content: text as written, or a field's value.
using ContentPiece = std::variant<QString, LabelField>;

struct LabelItem {
  ItemKind kind = ItemKind::Text;
  std::vector<ContentPiece> content;
  QRectF boxMm;  // x, y, width, height from the label's top-left corner
  TextAlign align = TextAlign::Left;
  bool bold = false;
  int line = 0;  // of the template, for messages
};

struct LabelTemplate {
  QSizeF sizeMm;
  std::vector<LabelItem> items;
};

// Limits of a template.
constexpr double kMinLabelMm = 5.0;
constexpr double kMaxLabelMm = 400.0;
constexpr double kMinItemMm = 0.5;
constexpr int kMaxItems = 100;
constexpr qsizetype kMaxTemplateBytes = 64 * 1024;

// Parses a template (UTF-8). False with "line N: what is wrong" in *error.
bool ParseLabelTemplate(const QByteArray& text, LabelTemplate* out, QString* error);

// The item's content with the fields filled in.
QString ItemText(const LabelItem& item, const LabelValues& values);
// Whether the item has anything to draw: empty when it names only fields that are empty.
bool ItemHasContent(const LabelItem& item, const LabelValues& values);

// The shipped default template: IMEI1 and IMEI2 as Code 128 bar codes with their digits,
// 50 x 30 mm.
QByteArray DefaultTemplateText();

}  // namespace kestrel::label
