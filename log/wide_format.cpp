#include "log/wide_format.h"

#include <QString>

#include <cwchar>

namespace kestrel::log::detail {

std::wstring PortableWideFormat(const wchar_t* format) {
  std::wstring out;
  for (const wchar_t* p = format; *p != L'\0'; ++p) {
    out += *p;
    if (*p != L'%') continue;
    ++p;
    // Flags, width and precision.
    while (*p != L'\0' && std::wcschr(L"-+ #0123456789.*", *p) != nullptr) out += *p++;
    std::wstring length;
    while (*p != L'\0' && std::wcschr(L"hlLqjzt", *p) != nullptr) length += *p++;
    if (*p == L'\0') break;
    const wchar_t conv = *p;
    if (conv == L's' || conv == L'c') {
      if (length.empty()) {
        out += L'l';  // bare: wide argument
      } else if (length != L"h") {
        out += length;  // %ls, %lc stay wide
      }                 // %hs, %hc: narrow, written without the modifier
      out += conv;
    } else if (conv == L'S' || conv == L'C') {
      out += (conv == L'S') ? L's' : L'c';
    } else {
      out += length;
      out += conv;
    }
  }
  return out;
}

QByteArray CutNarrow(QByteArray bytes, std::size_t maxBytes) {
  if (static_cast<std::size_t>(bytes.size()) <= maxBytes) return bytes;
  auto cut = static_cast<qsizetype>(maxBytes);
  // Step back over continuation bytes so that the character at the cut is dropped whole.
  while (cut > 0 && (static_cast<unsigned char>(bytes.at(cut)) & 0xC0U) == 0x80U) --cut;
  bytes.truncate(cut);
  return bytes;
}

QByteArray ToNarrow(const wchar_t* text, std::size_t maxBytes) {
  return CutNarrow(QString::fromWCharArray(text != nullptr ? text : L"").toLocal8Bit(), maxBytes);
}

}  // namespace kestrel::log::detail
