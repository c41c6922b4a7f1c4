#include "station/cu_secure_boot_text.h"

#include <QByteArray>

namespace kestrel::station {

char CuRefByte(const QString& fieldText) {
  if (fieldText.isEmpty()) return '\0';
  // The first character, a surrogate pair taken whole.
  const qsizetype length =
      fieldText.size() > 1 && fieldText[0].isHighSurrogate() && fieldText[1].isLowSurrogate()
          ? 2
          : 1;
  const QByteArray bytes = fieldText.left(length).toLocal8Bit();
  // A multi-byte character cut to its first byte would leave the phone an invalid text.
  return bytes.size() == 1 ? bytes[0] : '?';
}

QString CuRefFieldText(char byte) {
  if (byte == '\0') return QString();
  return QString::fromLocal8Bit(QByteArray(1, byte));
}

std::uint32_t ParseSecureBootValue(const QString& text) {
  qsizetype i = 0;
  while (i < text.size() && text[i].isSpace()) ++i;
  if (i + 1 < text.size() && text[i] == QLatin1Char('0') &&
      (text[i + 1] == QLatin1Char('x') || text[i + 1] == QLatin1Char('X'))) {
    i += 2;
  }
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i].unicode();
    int digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (c >= u'a' && c <= u'f') {
      digit = c - u'a' + 10;
    } else if (c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else {
      break;
    }
    value = value * 16 + static_cast<std::uint64_t>(digit);
    if (value > 0xFFFFFFFFu) return 0xFFFFFFFFu;  // saturates, as a 32-bit reader does
  }
  return static_cast<std::uint32_t>(value);
}

QString SecureBootText(std::uint32_t value) {
  return QStringLiteral("0x") + QString::number(value, 16);
}

}  // namespace kestrel::station
