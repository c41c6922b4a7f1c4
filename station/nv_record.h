// The identity record exchanged with the phone library: filling its text fields from the
// station's identities and reading them back.
#pragma once

#include "device/oxbind/oxbind.h"
#include "identity/identity_set.h"

#include <QString>

#include <cstddef>
#include <cstdint>

namespace kestrel::station {

// The 8-bit text of the identity, zero-filled to the field's size (always leaving the last
// byte 0).
template <std::size_t N>
void PutField(char (&field)[N], const QString& text) {
  const QByteArray bytes = text.toLocal8Bit();
  std::size_t n = 0;
  for (; n < N - 1 && n < static_cast<std::size_t>(bytes.size()); ++n) field[n] = bytes[n];
  for (; n < N; ++n) field[n] = '\0';
}

// The text of a field up to its first zero byte (or its whole size), as UTF-16.
template <std::size_t N>
QString FieldText(const char (&field)[N]) {
  return QString::fromLocal8Bit(field, static_cast<qsizetype>(qstrnlen(field, N)));
}

// The record field of IMEI slot 1..4.
char (&ImeiField(NvInfoRecord& record, int slot))[16];
const char (&ImeiField(const NvInfoRecord& record, int slot))[16];

// The mask bit of IMEI slot 1..4.
std::uint32_t ImeiMaskBit(int slot);

}  // namespace kestrel::station
