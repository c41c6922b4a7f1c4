#include "line/line_outbox_format.h"

#include <QList>

#include <algorithm>
#include <array>

namespace kestrel::line {
namespace {

constexpr char kVersion[] = "K1";
constexpr int kMaxNameChars = 32;
constexpr int kMaxSeqDigits = 18;
constexpr char kHex[] = "0123456789abcdef";

std::array<std::uint32_t, 256> MakeCrcTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

bool Plain(unsigned char c) {
  return c >= '!' && c <= '~' && c != '%';
}

QByteArray EncodeValue(const QString& value) {
  const QByteArray utf8 = value.toUtf8();
  QByteArray out;
  out.reserve(utf8.size());
  for (const char ch : utf8) {
    const auto c = static_cast<unsigned char>(ch);
    if (Plain(c)) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0f];
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool DecodeValue(const QByteArray& text, QString* value) {
  QByteArray bytes;
  bytes.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    const char c = text.at(i);
    if (c != '%') {
      if (!Plain(static_cast<unsigned char>(c))) return false;
      bytes += c;
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int hi = HexDigit(text.at(i + 1));
    const int lo = HexDigit(text.at(i + 2));
    if (hi < 0 || lo < 0) return false;
    bytes += static_cast<char>((hi << 4) | lo);
    i += 2;
  }
  *value = QString::fromUtf8(bytes);
  return value->toUtf8() == bytes;  // no byte sequence that is not UTF-8
}

void Why(QString* why, const char* text) {
  if (why != nullptr) *why = QString::fromLatin1(text);
}

}  // namespace

QString LineOutboxRecord::Field(const QString& name) const {
  for (const auto& [n, v] : fields) {
    if (n == name) return v;
  }
  return {};
}

bool LineOutboxRecord::Has(const QString& name) const {
  for (const auto& field : fields) {
    if (field.first == name) return true;
  }
  return false;
}

std::uint32_t OutboxCrc32(const char* data, qsizetype size) {
  static const std::array<std::uint32_t, 256> table = MakeCrcTable();
  std::uint32_t c = 0xFFFFFFFFU;
  for (qsizetype i = 0; i < size; ++i) {
    c = table[(c ^ static_cast<unsigned char>(data[i])) & 0xFFU] ^ (c >> 8);
  }
  return c ^ 0xFFFFFFFFU;
}

bool ValidOutboxName(const QString& name, bool field) {
  if (name.isEmpty() || name.size() > kMaxNameChars) return false;
  for (const QChar ch : name) {
    const char16_t c = ch.unicode();
    const bool digit = c >= u'0' && c <= u'9';
    const bool lower = c >= u'a' && c <= u'z';
    const bool upper = c >= u'A' && c <= u'Z';
    const bool ok = field ? (digit || lower || upper || c == u'_') : (digit || lower || c == u'-');
    if (!ok) return false;
  }
  return field || (name.front() >= QLatin1Char('a') && name.front() <= QLatin1Char('z'));
}

QByteArray EncodeOutboxRecord(const LineOutboxRecord& r) {
  QByteArray line = kVersion;
  line += ' ';
  line += QByteArray::number(r.seq);
  line += ' ';
  line += r.kind.toLatin1();
  line += ' ';
  line += r.at.toUTC().toString(Qt::ISODateWithMs).toLatin1();
  for (const auto& [name, value] : r.fields) {
    line += ' ';
    line += name.toLatin1();
    line += '=';
    line += EncodeValue(value);
  }
  const std::uint32_t crc = OutboxCrc32(line.constData(), line.size());
  line += " *";
  line += QByteArray::number(crc, 16).rightJustified(8, '0');
  line += '\n';
  return line;
}

bool DecodeOutboxRecord(const QByteArray& line, LineOutboxRecord* record, QString* why) {
  const qsizetype star = line.lastIndexOf(" *");
  if (star < 0 || line.size() - star != 10) {
    Why(why, "cut or damaged (no checksum at its end)");
    return false;
  }
  bool hexOk = false;
  const QByteArray crcText = line.mid(star + 2);
  const std::uint32_t crc = crcText.toUInt(&hexOk, 16);
  if (!hexOk || crcText != crcText.toLower() || crc != OutboxCrc32(line.constData(), star)) {
    Why(why, "damaged (its checksum does not match)");
    return false;
  }
  const QList<QByteArray> parts = line.left(star).split(' ');
  if (parts.size() < 4) {
    Why(why, "damaged (too few parts)");
    return false;
  }
  if (parts.at(0) != kVersion) {
    Why(why, parts.at(0).startsWith('K') ? "of a later format than this build's"
                                         : "not an outbox line");
    return false;
  }
  LineOutboxRecord r;
  const QByteArray& seq = parts.at(1);
  if (seq.isEmpty() || seq.size() > kMaxSeqDigits ||
      !std::all_of(seq.begin(), seq.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    Why(why, "damaged (its number)");
    return false;
  }
  r.seq = seq.toLongLong();
  r.kind = QString::fromLatin1(parts.at(2));
  if (!ValidOutboxName(r.kind, false)) {
    Why(why, "damaged (its kind)");
    return false;
  }
  const QByteArray& at = parts.at(3);
  r.at = QDateTime::fromString(QString::fromLatin1(at), Qt::ISODateWithMs);
  if (!at.endsWith('Z') || !r.at.isValid()) {
    Why(why, "damaged (its time)");
    return false;
  }
  r.at = r.at.toUTC();
  for (qsizetype i = 4; i < parts.size(); ++i) {
    const QByteArray& part = parts.at(i);
    const qsizetype eq = part.indexOf('=');
    QString value;
    const QString name = QString::fromLatin1(part.left(eq));
    if (eq <= 0 || !ValidOutboxName(name, true) || !DecodeValue(part.mid(eq + 1), &value)) {
      Why(why, "damaged (a field)");
      return false;
    }
    r.fields.emplace_back(name, value);
  }
  *record = std::move(r);
  return true;
}

}  // namespace kestrel::line
