#include "identity/serial_numbers.h"

#include "identity/number_text.h"

namespace kestrel::identity {

namespace {

QString Two(int v) {
  return DecimalPadded(static_cast<std::uint64_t>(v < 0 ? 0 : v), 2);
}

}  // namespace

QString TimeSerial(int length, const LocalDateTime& at) {
  if (length <= 0) return QString();
  const QString stamp = DecimalPadded(static_cast<std::uint64_t>(at.year < 0 ? 0 : at.year), 4) +
                        Two(at.month) + Two(at.day) + Two(at.hour) + Two(at.minute) +
                        Two(at.second);
  if (length < stamp.size()) return stamp.right(length);
  QString serial = stamp;
  for (int n = 0; serial.size() < length; ++n) serial += QString::number(n);
  serial.truncate(length);
  return serial;
}

QString TimeSerial(int length, const IdentityClock& clock) {
  return TimeSerial(length, clock.LocalNow());
}

void NextSerialNumbers(const config::StationSettings& settings, IdentitySet& identities,
                       const IdentityClock& clock) {
  const int length = settings.SNLength;
  const bool sn1Generated = settings.SN1Enabled != 0 && settings.AutoCreateSN1 != 0;
  if (sn1Generated) identities.SN1 = TimeSerial(length, clock);

  if (settings.SN2Enabled == 0 || settings.AutoCreateSN2 == 0) return;
  if (!sn1Generated) {
    identities.SN2 = TimeSerial(length, clock);
  } else if (length <= 12) {
    identities.SN2 = DecimalPadded(ReadDecimal(identities.SN1) + 1U, length);
  } else {
    const SplitCounter next = IncrementSplit(identities.SN1);
    identities.SN2 = QString::number(next.high) + DecimalPadded(next.low, 12);
  }
}

}  // namespace kestrel::identity
