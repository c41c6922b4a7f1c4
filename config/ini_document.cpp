#include "config/ini_document.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <cstdint>

namespace kestrel::config {
namespace {

const QByteArray kBomUtf8("\xEF\xBB\xBF", 3);
const QByteArray kBomUtf16LE("\xFF\xFE", 2);
const QByteArray kBomUtf16BE("\xFE\xFF", 2);

// `stored` is already trimmed; the asked name is trimmed here, as the platform does.
bool SameName(const QString& stored, const QString& asked) {
  return stored.compare(asked.trimmed(), Qt::CaseInsensitive) == 0;
}

QString Unquote(const QString& v) {
  if (v.size() >= 2) {
    const QChar first = v.front();
    if ((first == QLatin1Char('"') || first == QLatin1Char('\'')) && v.back() == first) {
      return v.mid(1, v.size() - 2);
    }
  }
  return v;
}

bool HasLineBreak(const QString& s) {
  return s.contains(QLatin1Char('\n')) || s.contains(QLatin1Char('\r'));
}

}  // namespace

int ParseProfileInt(const QString& text) {
  qsizetype i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) {
    negative = text[i] == QLatin1Char('-');
    ++i;
  }
  std::uint32_t value = 0;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i].unicode();
    if (c < u'0' || c > u'9') break;
    value = value * 10U + static_cast<std::uint32_t>(c - u'0');
  }
  if (negative) value = 0U - value;
  return static_cast<int>(value);
}

void IniDocument::Classify(Line* line) {
  const QString t = line->text.trimmed();
  line->name.clear();
  line->value.clear();
  if (t.isEmpty()) {
    line->kind = Kind::kBlank;
  } else if (t.front() == QLatin1Char(';')) {
    line->kind = Kind::kComment;
  } else if (const qsizetype close = t.indexOf(QLatin1Char(']'));
             t.front() == QLatin1Char('[') && close > 0) {
    line->kind = Kind::kSection;
    line->name = t.mid(1, close - 1).trimmed();
  } else if (const qsizetype eq = t.indexOf(QLatin1Char('=')); eq >= 0) {
    line->kind = Kind::kKey;
    line->name = t.left(eq).trimmed();
    line->value = Unquote(t.mid(eq + 1).trimmed());
  } else {
    line->kind = Kind::kBareKey;
    line->name = t;
  }
}

IniDocument IniDocument::Parse(const QByteArray& bytes) {
  IniDocument doc;
  QByteArray body = bytes;
  int unit = 1;  // bytes per code unit
  if (bytes.startsWith(kBomUtf16LE)) {
    doc.encoding_ = Encoding::kUtf16LE;
    body = bytes.mid(2);
    unit = 2;
  } else if (bytes.startsWith(kBomUtf16BE)) {
    doc.encoding_ = Encoding::kUtf16BE;
    body = bytes.mid(2);
    unit = 2;
  } else if (bytes.startsWith(kBomUtf8)) {
    doc.encoding_ = Encoding::kUtf8Bom;
    body = bytes.mid(3);
  }

  // Split at line feeds, keeping each line's bytes as they are.
  std::vector<QByteArray> raws;
  qsizetype start = 0;
  const qsizetype units = body.size() / unit;
  for (qsizetype u = 0; u < units; ++u) {
    char16_t c = 0;
    if (unit == 1) {
      c = static_cast<unsigned char>(body[u]);
    } else {
      const auto b0 = static_cast<unsigned char>(body[2 * u]);
      const auto b1 = static_cast<unsigned char>(body[2 * u + 1]);
      c = doc.encoding_ == Encoding::kUtf16LE ? static_cast<char16_t>(b0 | (b1 << 8))
                                              : static_cast<char16_t>((b0 << 8) | b1);
    }
    if (c == u'\n') {
      const qsizetype end = (u + 1) * unit;
      raws.push_back(body.mid(start, end - start));
      start = end;
    }
  }
  const qsizetype whole = units * unit;
  if (start < whole) raws.push_back(body.mid(start, whole - start));
  doc.tail_ = body.mid(whole);

  bool eolChosen = false;
  for (QByteArray& raw : raws) {
    Line line;
    QString text;
    if (unit == 1) {
      text = QString::fromUtf8(raw);
    } else {
      QStringDecoder dec(
          doc.encoding_ == Encoding::kUtf16LE ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE,
          QStringDecoder::Flag::Stateless);
      text = dec.decode(raw);
    }
    line.terminated = text.endsWith(QLatin1Char('\n'));
    if (line.terminated) text.chop(1);
    const bool crlf = line.terminated && text.endsWith(QLatin1Char('\r'));
    if (crlf) text.chop(1);
    if (line.terminated && !eolChosen) {
      doc.eol_ = crlf ? QStringLiteral("\r\n") : QStringLiteral("\n");
      eolChosen = true;
    }
    line.text = text;
    line.raw = std::move(raw);
    Classify(&line);
    doc.lines_.push_back(std::move(line));
  }
  return doc;
}

QByteArray IniDocument::Encode(const QString& text) const {
  switch (encoding_) {
    case Encoding::kUtf16LE:
    case Encoding::kUtf16BE: {
      QStringEncoder enc(
          encoding_ == Encoding::kUtf16LE ? QStringEncoder::Utf16LE : QStringEncoder::Utf16BE,
          QStringEncoder::Flag::Stateless);
      return enc.encode(text);
    }
    case Encoding::kUtf8:
    case Encoding::kUtf8Bom:
      break;
  }
  return text.toUtf8();
}

QByteArray IniDocument::Serialize() const {
  QByteArray out;
  switch (encoding_) {
    case Encoding::kUtf8:
      break;
    case Encoding::kUtf8Bom:
      out += kBomUtf8;
      break;
    case Encoding::kUtf16LE:
      out += kBomUtf16LE;
      break;
    case Encoding::kUtf16BE:
      out += kBomUtf16BE;
      break;
  }
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    const Line& line = lines_[i];
    if (!line.raw.isEmpty()) {
      out += line.raw;
      // A last line without its terminator gets one when lines follow it.
      if (!line.terminated && i + 1 < lines_.size()) out += Encode(eol_);
    } else {
      out += Encode(line.text);
      if (line.terminated || i + 1 < lines_.size()) out += Encode(eol_);
    }
  }
  out += tail_;
  return out;
}

int IniDocument::FindSection(const QString& section) const {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i].kind == Kind::kSection && SameName(lines_[i].name, section)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int IniDocument::SectionEnd(int header) const {
  std::size_t i = static_cast<std::size_t>(header) + 1;
  while (i < lines_.size() && lines_[i].kind != Kind::kSection) ++i;
  return static_cast<int>(i);
}

std::optional<QString> IniDocument::Value(const QString& section, const QString& key) const {
  const int header = FindSection(section);
  if (header < 0) return std::nullopt;
  const int end = SectionEnd(header);
  for (int i = header + 1; i < end; ++i) {
    const Line& line = lines_[static_cast<std::size_t>(i)];
    if ((line.kind == Kind::kKey || line.kind == Kind::kBareKey) && SameName(line.name, key)) {
      return line.kind == Kind::kKey ? std::optional<QString>(line.value) : std::nullopt;
    }
  }
  return std::nullopt;
}

bool IniDocument::SetValue(const QString& section, const QString& key, const QString& value) {
  const QString s = section.trimmed();
  const QString k = key.trimmed();
  if (s.isEmpty() || k.isEmpty() || HasLineBreak(section) || HasLineBreak(key) ||
      HasLineBreak(value) || s.contains(QLatin1Char(']')) || k.contains(QLatin1Char('=')) ||
      k.front() == QLatin1Char('[') || k.front() == QLatin1Char(';')) {
    return false;
  }

  auto makeLine = [](const QString& text) {
    Line line;
    line.text = text;
    Classify(&line);
    return line;
  };

  const int header = FindSection(s);
  if (header >= 0) {
    const int end = SectionEnd(header);
    int insertAfter = header;
    for (int i = header + 1; i < end; ++i) {
      Line& line = lines_[static_cast<std::size_t>(i)];
      const bool isKey = line.kind == Kind::kKey || line.kind == Kind::kBareKey;
      if (isKey && SameName(line.name, k)) {
        const bool terminated = line.terminated;
        line = makeLine(line.name + QLatin1Char('=') + value);
        line.terminated = terminated;
        return true;
      }
      if (isKey) insertAfter = i;
    }
    lines_.insert(lines_.begin() + insertAfter + 1, makeLine(k + QLatin1Char('=') + value));
    return true;
  }
  lines_.push_back(makeLine(QLatin1Char('[') + s + QLatin1Char(']')));
  lines_.push_back(makeLine(k + QLatin1Char('=') + value));
  return true;
}

}  // namespace kestrel::config
