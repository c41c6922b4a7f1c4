#include "label/label_template.h"

#include <QLocale>
#include <QStringList>

#include <optional>

namespace kestrel::label {
namespace {

constexpr double kEdgeSlackMm = 1e-6;

struct Token {
  QString text;
  bool quoted = false;
};

QString FieldList() {
  QStringList names;
  for (int i = 0; i < kFieldCount; ++i) names << FieldName(static_cast<LabelField>(i));
  return names.join(QStringLiteral(", "));
}

// Splits a line into words and quoted texts; a '#' that starts a word begins a comment.
bool Tokenise(QStringView line, std::vector<Token>* tokens, QString* error) {
  qsizetype i = 0;
  const qsizetype n = line.size();
  while (i < n) {
    if (line[i].isSpace()) {
      ++i;
      continue;
    }
    if (line[i] == QLatin1Char('#')) break;
    Token t;
    if (line[i] == QLatin1Char('"')) {
      t.quoted = true;
      ++i;
      bool closed = false;
      while (i < n) {
        const QChar c = line[i];
        if (c == QLatin1Char('\\') && i + 1 < n &&
            (line[i + 1] == QLatin1Char('"') || line[i + 1] == QLatin1Char('\\'))) {
          t.text += line[i + 1];
          i += 2;
          continue;
        }
        ++i;
        if (c == QLatin1Char('"')) {
          closed = true;
          break;
        }
        t.text += c;
      }
      if (!closed) {
        *error = QStringLiteral("the quoted text has no closing quote");
        return false;
      }
      if (i < n && !line[i].isSpace()) {
        *error = QStringLiteral("a quoted text must be followed by a space");
        return false;
      }
    } else {
      while (i < n && !line[i].isSpace()) t.text += line[i++];
    }
    tokens->push_back(std::move(t));
  }
  return true;
}

// A length in millimetres: digits with an optional decimal point, nothing else.
std::optional<double> Millimetres(const QString& word) {
  int digits = 0;
  int points = 0;
  for (const QChar c : word) {
    if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
      ++digits;
    } else if (c == QLatin1Char('.')) {
      ++points;
    } else {
      return std::nullopt;
    }
  }
  if (digits == 0 || points > 1 || word.size() > 12) return std::nullopt;
  bool ok = false;
  const double v = QLocale::c().toDouble(word, &ok);
  if (!ok) return std::nullopt;
  return v;
}

QString NotANumber(const QString& word) {
  QString text = QStringLiteral("'%1' is not a length in millimetres").arg(word);
  if (word.contains(QLatin1Char(','))) text += QStringLiteral(" (write a point: 4.5)");
  return text;
}

QString Mm(double v) {
  return QLocale::c().toString(v, 'g', 6);
}

bool ParseContent(const Token& token, std::vector<ContentPiece>* pieces, QString* error) {
  if (!token.quoted) {
    const std::optional<LabelField> field = FieldFromName(token.text);
    if (!field) {
      *error = QStringLiteral("unknown field '%1' (fields: %2; a text goes in quotes)")
                   .arg(token.text, FieldList());
      return false;
    }
    pieces->push_back(*field);
    return true;
  }
  if (token.text.isEmpty()) {
    *error = QStringLiteral("the quoted text is empty");
    return false;
  }
  QString literal;
  const QString& s = token.text;
  for (qsizetype i = 0; i < s.size(); ++i) {
    const QChar c = s[i];
    if ((c == QLatin1Char('{') || c == QLatin1Char('}')) && i + 1 < s.size() && s[i + 1] == c) {
      literal += c;
      ++i;
      continue;
    }
    if (c == QLatin1Char('}')) {
      *error = QStringLiteral("a '}' without its '{' (write }} for the brace itself)");
      return false;
    }
    if (c != QLatin1Char('{')) {
      literal += c;
      continue;
    }
    const qsizetype close = s.indexOf(QLatin1Char('}'), i + 1);
    if (close < 0) {
      *error = QStringLiteral("a '{' without its '}' (write {{ for the brace itself)");
      return false;
    }
    const QString name = s.mid(i + 1, close - i - 1);
    const std::optional<LabelField> field = FieldFromName(name);
    if (!field) {
      *error = QStringLiteral("unknown field {%1} (fields: %2)").arg(name, FieldList());
      return false;
    }
    if (!literal.isEmpty()) pieces->push_back(literal);
    literal.clear();
    pieces->push_back(*field);
    i = close;
  }
  if (!literal.isEmpty()) pieces->push_back(literal);
  return true;
}

bool ParseSize(const std::vector<Token>& t, QSizeF* size, QString* error) {
  if (t.size() != 3) {
    *error = QStringLiteral("the size takes two lengths: size WIDTH HEIGHT (mm)");
    return false;
  }
  double v[2] = {0, 0};
  for (int k = 0; k < 2; ++k) {
    const std::optional<double> mm = Millimetres(t[static_cast<std::size_t>(k) + 1].text);
    if (!mm) {
      *error = NotANumber(t[static_cast<std::size_t>(k) + 1].text);
      return false;
    }
    if (*mm < kMinLabelMm || *mm > kMaxLabelMm) {
      *error = QStringLiteral("the label's %1 must lie between %2 and %3 mm")
                   .arg(k == 0 ? QStringLiteral("width") : QStringLiteral("height"),
                        Mm(kMinLabelMm), Mm(kMaxLabelMm));
      return false;
    }
    v[k] = *mm;
  }
  *size = QSizeF(v[0], v[1]);
  return true;
}

bool ParseItem(ItemKind kind, const std::vector<Token>& t, const QSizeF& label, LabelItem* item,
               QString* error) {
  item->kind = kind;
  if (t.size() < 6) {
    *error = QStringLiteral("an item is: %1 CONTENT X Y WIDTH HEIGHT (mm)").arg(t[0].text);
    return false;
  }
  if (!ParseContent(t[1], &item->content, error)) return false;
  double v[4] = {0, 0, 0, 0};
  for (int k = 0; k < 4; ++k) {
    const Token& word = t[static_cast<std::size_t>(k) + 2];
    const std::optional<double> mm = word.quoted ? std::nullopt : Millimetres(word.text);
    if (!mm) {
      *error = NotANumber(word.text);
      return false;
    }
    v[k] = *mm;
  }
  const char* names[2] = {"width", "height"};
  for (int k = 0; k < 2; ++k) {
    if (v[k + 2] < kMinItemMm) {
      *error = QStringLiteral("the item's %1 must be at least %2 mm")
                   .arg(QLatin1String(names[k]), Mm(kMinItemMm));
      return false;
    }
  }
  if (v[0] + v[2] > label.width() + kEdgeSlackMm) {
    *error = QStringLiteral("the item reaches past the label's right edge (%1 + %2 > %3 mm)")
                 .arg(Mm(v[0]), Mm(v[2]), Mm(label.width()));
    return false;
  }
  if (v[1] + v[3] > label.height() + kEdgeSlackMm) {
    *error = QStringLiteral("the item reaches past the label's bottom edge (%1 + %2 > %3 mm)")
                 .arg(Mm(v[1]), Mm(v[3]), Mm(label.height()));
    return false;
  }
  item->boxMm = QRectF(v[0], v[1], v[2], v[3]);
  for (std::size_t k = 6; k < t.size(); ++k) {
    const QString word = t[k].text.toLower();
    if (kind != ItemKind::Text || t[k].quoted) {
      *error =
          kind != ItemKind::Text
              ? QStringLiteral("a bar code takes no options ('%1')").arg(t[k].text)
              : QStringLiteral("unknown option '%1' (left, center, right, bold)").arg(t[k].text);
      return false;
    }
    if (word == QLatin1String("left")) {
      item->align = TextAlign::Left;
    } else if (word == QLatin1String("center") || word == QLatin1String("centre")) {
      item->align = TextAlign::Center;
    } else if (word == QLatin1String("right")) {
      item->align = TextAlign::Right;
    } else if (word == QLatin1String("bold")) {
      item->bold = true;
    } else {
      *error = QStringLiteral("unknown option '%1' (left, center, right, bold)").arg(t[k].text);
      return false;
    }
  }
  return true;
}

std::optional<ItemKind> KindOf(const Token& word) {
  if (word.quoted) return std::nullopt;
  const QString w = word.text.toLower();
  if (w == QLatin1String("text")) return ItemKind::Text;
  if (w == QLatin1String("code128")) return ItemKind::Code128;
  if (w == QLatin1String("datamatrix")) return ItemKind::DataMatrix;
  return std::nullopt;
}

}  // namespace

bool ParseLabelTemplate(const QByteArray& bytes, LabelTemplate* out, QString* error) {
  QString why;
  if (error == nullptr) error = &why;
  if (bytes.size() > kMaxTemplateBytes) {
    *error = QStringLiteral("the template is larger than %1 KiB").arg(kMaxTemplateBytes / 1024);
    return false;
  }
  QString text = QString::fromUtf8(bytes);
  if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
  LabelTemplate result;
  int sizeLine = 0;
  const QStringList lines = text.split(QLatin1Char('\n'));
  for (qsizetype index = 0; index < lines.size(); ++index) {
    const int number = static_cast<int>(index) + 1;
    auto fail = [&](const QString& what) {
      *error = QStringLiteral("line %1: %2").arg(number).arg(what);
      return false;
    };
    QString line = lines[index];
    if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
    std::vector<Token> tokens;
    QString what;
    if (!Tokenise(line, &tokens, &what)) return fail(what);
    if (tokens.empty()) continue;
    const QString word = tokens[0].quoted ? QString() : tokens[0].text.toLower();
    if (word == QLatin1String("size")) {
      if (sizeLine != 0) {
        return fail(
            QStringLiteral("the label size is given twice (first on line %1)").arg(sizeLine));
      }
      if (!ParseSize(tokens, &result.sizeMm, &what)) return fail(what);
      sizeLine = number;
      continue;
    }
    const std::optional<ItemKind> kind = KindOf(tokens[0]);
    if (!kind) {
      return fail(QStringLiteral("unknown item '%1' (size, text, code128 or datamatrix)")
                      .arg(tokens[0].text));
    }
    if (sizeLine == 0)
      return fail(QStringLiteral("the label size must come first: size WIDTH HEIGHT"));
    if (static_cast<int>(result.items.size()) >= kMaxItems) {
      return fail(QStringLiteral("more than %1 items").arg(kMaxItems));
    }
    LabelItem item;
    item.line = number;
    if (!ParseItem(*kind, tokens, result.sizeMm, &item, &what)) return fail(what);
    result.items.push_back(std::move(item));
  }
  if (sizeLine == 0) {
    *error = QStringLiteral("the template gives no label size (a first line such as: size 50 30)");
    return false;
  }
  if (result.items.empty()) {
    *error = QStringLiteral("the template has no items");
    return false;
  }
  *out = std::move(result);
  return true;
}

QString ItemText(const LabelItem& item, const LabelValues& values) {
  QString text;
  for (const ContentPiece& piece : item.content) {
    if (const auto* literal = std::get_if<QString>(&piece)) {
      text += *literal;
    } else {
      text += values[std::get<LabelField>(piece)];
    }
  }
  return text;
}

bool ItemHasContent(const LabelItem& item, const LabelValues& values) {
  bool anyField = false;
  for (const ContentPiece& piece : item.content) {
    if (const auto* field = std::get_if<LabelField>(&piece)) {
      anyField = true;
      if (!values[*field].isEmpty()) return true;
    }
  }
  return !anyField;
}

}  // namespace kestrel::label
