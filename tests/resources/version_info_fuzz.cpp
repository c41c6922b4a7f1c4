// Any bytes as an executable image, and as a version block: the reader never reads outside
// them and never crashes.
#include "resources/version_info.h"

#include <cstdint>
#include <cstdlib>

using kestrel::resources::VersionInfoReader;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  VersionInfoReader reader;
  if (const auto block = VersionInfoReader::ExtractBlock(bytes)) {
    if (block->size() > bytes.size()) std::abort();
    reader.LoadBlock(*block);
    (void)reader.DottedProductVersion();
  }
  reader.LoadBlock(bytes);
  (void)reader.DottedProductVersion();
  (void)reader.SpecialBuild();
  for (const auto& t : reader.Translations()) reader.SetTranslation(t.language, t.codePage);
  (void)reader.ProductName();
  return 0;
}
