// How the CU reference characters and the secure-boot words are held in the window's fields
// and in the bytes and words the phone exchanges. Pure functions; any text is safe.
#pragma once

#include <QString>

#include <cstdint>

namespace kestrel::station {

// The byte a CU field gives: its first character in the locale's 8-bit encoding, 0 for an
// empty field, "?" for a character that does not fit in one byte.
char CuRefByte(const QString& fieldText);
// The text a CU field shows for a byte read from the phone: empty for 0.
QString CuRefFieldText(char byte);

// A secure-boot field's text as a 32-bit word: hexadecimal digits after optional blanks and an
// optional "0x", up to the first other character; beyond 32 bits FFFFFFFF; no digits 0.
std::uint32_t ParseSecureBootValue(const QString& text);
// The display text of a word: "0x" and lower-case hexadecimal digits without leading zeros.
QString SecureBootText(std::uint32_t value);

}  // namespace kestrel::station
