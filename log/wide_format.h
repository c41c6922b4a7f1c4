// Helpers of the trace log for wide text (not part of its interface).
#pragma once

#include <QByteArray>

#include <cstddef>
#include <string>

namespace kestrel::log::detail {

// The wide format with the station's meaning of %s and %c (wide arguments; %hs and %hc narrow,
// %S and %C narrow) rewritten for a C library in which a bare %s of a wide format takes a
// narrow string.
std::wstring PortableWideFormat(const wchar_t* format);

// The wide text in the locale's 8-bit encoding, at most `maxBytes` bytes, never ending inside
// a multi-byte character.
QByteArray ToNarrow(const wchar_t* text, std::size_t maxBytes);

// The first `maxBytes` bytes at most of an 8-bit text, never ending inside a multi-byte
// character.
QByteArray CutNarrow(QByteArray bytes, std::size_t maxBytes);

}  // namespace kestrel::log::detail
