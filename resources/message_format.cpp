#include "resources/message_format.h"

#include "resources/string_table.h"

#include <vector>

namespace kestrel::resources {
namespace {

std::int64_t AsNumber(const FormatArg* arg) {
  if (!arg) return 0;
  if (const auto* n = std::get_if<std::int64_t>(arg)) return *n;
  bool ok = false;
  const qlonglong v = std::get<QString>(*arg).toLongLong(&ok);
  return ok ? v : 0;
}

QString AsText(const FormatArg* arg) {
  if (!arg) return {};
  if (const auto* s = std::get_if<QString>(arg)) return *s;
  return QString::number(std::get<std::int64_t>(*arg));
}

QString Pad(QString body, int width, bool left, QChar fill, bool numeric) {
  if (width <= body.size()) return body;
  const int n = width - static_cast<int>(body.size());
  if (left) return body + QString(n, QLatin1Char(' '));
  if (fill == QLatin1Char('0') && numeric && (body.startsWith(QLatin1Char('-')) ||
                                               body.startsWith(QLatin1Char('+')))) {
    return body.left(1) + QString(n, fill) + body.mid(1);
  }
  return QString(n, fill) + body;
}

}  // namespace

QString FormatText(const QString& format, std::initializer_list<FormatArg> args) {
  const std::vector<FormatArg> list(args);
  std::size_t next = 0;
  QString out;
  out.reserve(format.size() + 16);
  const qsizetype len = format.size();
  for (qsizetype i = 0; i < len; ++i) {
    const QChar c = format.at(i);
    if (c != QLatin1Char('%')) {
      out.append(c);
      continue;
    }
    qsizetype j = i + 1;
    if (j < len && format.at(j) == QLatin1Char('%')) {
      out.append(QLatin1Char('%'));
      i = j;
      continue;
    }
    bool left = false, plus = false, space = false;
    QChar fill = QLatin1Char(' ');
    for (; j < len; ++j) {
      const QChar f = format.at(j);
      if (f == QLatin1Char('-')) left = true;
      else if (f == QLatin1Char('0')) fill = QLatin1Char('0');
      else if (f == QLatin1Char('+')) plus = true;
      else if (f == QLatin1Char(' ')) space = true;
      else break;
    }
    int width = 0;
    while (j < len && format.at(j).isDigit() && width < 1000) {
      width = width * 10 + format.at(j).digitValue();
      ++j;
    }
    // Length modifiers carry no meaning here: every number is 64-bit.
    while (j < len && (format.at(j) == QLatin1Char('l') || format.at(j) == QLatin1Char('h') ||
                       format.at(j) == QLatin1Char('I') || format.at(j) == QLatin1Char('6') ||
                       format.at(j) == QLatin1Char('4'))) {
      ++j;
    }
    if (j >= len) {  // a lone '%' at the end stays as written
      out.append(format.mid(i));
      break;
    }
    const QChar conv = format.at(j);
    const FormatArg* arg = next < list.size() ? &list[next] : nullptr;
    QString body;
    bool numeric = true;
    switch (conv.unicode()) {
      case 'd':
      case 'i': {
        const std::int64_t v = AsNumber(arg);
        body = QString::number(v);
        if (v >= 0 && plus) body.prepend(QLatin1Char('+'));
        else if (v >= 0 && space) body.prepend(QLatin1Char(' '));
        break;
      }
      case 'u':
        body = QString::number(static_cast<std::uint32_t>(AsNumber(arg)));
        break;
      case 'x':
        body = QString::number(static_cast<std::uint32_t>(AsNumber(arg)), 16);
        break;
      case 'X':
        body = QString::number(static_cast<std::uint32_t>(AsNumber(arg)), 16).toUpper();
        break;
      case 'c':
        body = QChar(static_cast<char16_t>(AsNumber(arg)));
        numeric = false;
        break;
      case 's':
      case 'S':
        body = AsText(arg);
        numeric = false;
        break;
      default:  // not a conversion: keep the text as written, use no argument
        out.append(format.mid(i, j - i + 1));
        i = j;
        continue;
    }
    ++next;
    out.append(Pad(body, width, left, numeric ? fill : QLatin1Char(' '), numeric));
    i = j;
  }
  return out;
}

QString FormatString(int id, std::initializer_list<FormatArg> args) {
  return FormatText(LoadString(id), args);
}

}  // namespace kestrel::resources
