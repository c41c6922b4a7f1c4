// Decimal text helpers shared by the IMEI and serial-number arithmetic.
#pragma once

#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace kestrel::identity {

// The plain decimal reading: the leading digits 0-9 of the text (no sign, no blanks); reading
// stops at the first other character; nothing readable gives 0. Values beyond 64 bits wrap.
std::uint64_t ReadDecimal(QStringView text);

// `value` in decimal, padded on the left with zeros to at least `width` digits.
QString DecimalPadded(std::uint64_t value, int width);

// 10^n when it fits in 64 bits (n from 0 to 19), else nothing.
std::optional<std::uint64_t> PowerOfTen(int n);

// The step shared by the IMEI prefix and the serial number: the text split into a high part
// (all but the last 12 characters) and a low part (the last 12), each read as decimal. The low
// part is incremented; at 999999999999 it becomes 0 and the high part is incremented instead,
// wrapping to 0 when it equals 10^(length of the high part) - 1.
struct SplitCounter {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
};
SplitCounter IncrementSplit(QStringView text);

}  // namespace kestrel::identity
