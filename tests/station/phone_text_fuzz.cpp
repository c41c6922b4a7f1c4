// Bytes from a phone and text from the secure-boot and CU fields through the checks' text
// handling: the diagnostic reply's decoding, the version line breaks, the secure-boot word and
// the CU byte. Nothing may crash; a decoded version holds no terminator; the line breaks add
// exactly one "\r\n" per word.
#include "station/cu_secure_boot_text.h"
#include "station/version_text.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel::station;
  const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

  // A reply reaches the check as a text up to its terminator.
  const QByteArray reply(bytes.constData());
  const QByteArray version = DiagReplyVersion(reply);
  if (version.contains('\0') || version.size() > reply.size()) std::abort();
  const QByteArray broken = BreakBeforeWords(version, {"Plat", "Project", "BASE"});
  if (broken.size() != version.size() + 6) std::abort();

  const QString text = QString::fromUtf8(bytes);
  const QString lines = BreakBeforeWords(text, {"Plat", "Project", "BASE", "HW"});
  if (lines.size() != text.size() + 8) std::abort();

  const std::uint32_t word = ParseSecureBootValue(text);
  if (ParseSecureBootValue(SecureBootText(word)) != word) std::abort();
  if (text.isEmpty() && CuRefByte(text) != '\0') std::abort();
  return 0;
}
