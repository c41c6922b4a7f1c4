#include "identity/number_text.h"

namespace kestrel::identity {

std::uint64_t ReadDecimal(QStringView text) {
  std::uint64_t value = 0;
  for (const QChar c : text) {
    const char16_t u = c.unicode();
    if (u < u'0' || u > u'9') break;
    value = value * 10U + static_cast<std::uint64_t>(u - u'0');
  }
  return value;
}

QString DecimalPadded(std::uint64_t value, int width) {
  return QStringLiteral("%1").arg(static_cast<qulonglong>(value), width, 10, QLatin1Char('0'));
}

std::optional<std::uint64_t> PowerOfTen(int n) {
  if (n < 0 || n > 19) return std::nullopt;
  std::uint64_t p = 1;
  for (int i = 0; i < n; ++i) p *= 10U;
  return p;
}

SplitCounter IncrementSplit(QStringView text) {
  constexpr std::uint64_t kLowMax = 999999999999ULL;
  const qsizetype highLength = text.size() > 12 ? text.size() - 12 : 0;
  SplitCounter counter;
  counter.high = ReadDecimal(text.left(highLength));
  counter.low = ReadDecimal(text.mid(highLength));
  if (counter.low == kLowMax) {
    counter.low = 0;
    // A high part of 20 or more digits has no 64-bit limit to meet; it just counts on.
    const std::optional<std::uint64_t> limit =
        highLength <= 19 ? PowerOfTen(static_cast<int>(highLength)) : std::nullopt;
    if (limit && counter.high == *limit - 1U) {
      counter.high = 0;
    } else {
      ++counter.high;
    }
  } else {
    ++counter.low;
  }
  return counter;
}

}  // namespace kestrel::identity
