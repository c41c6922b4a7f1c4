#include "station/version_text.h"

namespace kestrel::station {

QByteArray QuotedPart(const QByteArray& reply) {
  const qsizetype first = reply.indexOf('"');
  const QByteArray rest = reply.mid(first + 1);  // no quote: from the start
  const qsizetype second = rest.indexOf('"');
  return second < 0 ? QByteArray() : rest.left(second);
}

QByteArray DecodeHexPairs(const QByteArray& hex) {
  auto digit = [](char c) {
    const int code = static_cast<unsigned char>(c);
    return c >= '0' && c <= '9' ? code - '0' : code - 55;
  };
  QByteArray bytes;
  bytes.reserve(hex.size() / 2);
  for (qsizetype i = 0; i + 1 < hex.size(); i += 2) {
    const auto byte = static_cast<char>((digit(hex[i]) * 16 + digit(hex[i + 1])) & 0xFF);
    if (byte == '\0') break;  // the text ends at its terminator
    bytes.append(byte);
  }
  return bytes;
}

QByteArray DiagReplyVersion(const QByteArray& reply) {
  const QByteArray text = QuotedPart(reply);
  if (!text.contains("00000000")) return text;
  return DecodeHexPairs(text.mid(kApDiagCommandLength));
}

}  // namespace kestrel::station
