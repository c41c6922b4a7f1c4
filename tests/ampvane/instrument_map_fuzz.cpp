// The instrument map and its location values come from a file the station does not write.
#include "device/ampvane/instrument_map.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kestrel::device::ampvane;
  const QByteArray text(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  const InstrumentMap map = InstrumentMap::Parse(text);
  if (map.TimeoutMs() < kMinTimeoutMs || map.TimeoutMs() > kMaxTimeoutMs) std::abort();
  for (int board = 0; board < 3; ++board) {
    for (int address = 0; address < 32; ++address) {
      if (const auto where = map.Find(board, address)) {
        if (const auto loc = ParseLocation(*where)) {
          if (loc->kind == InstrumentLocation::Kind::kTcp &&
              (loc->port == 0 || loc->host.isEmpty()))
            std::abort();
          if (loc->kind != InstrumentLocation::Kind::kTcp && !loc->path.startsWith(u'/'))
            std::abort();
        }
      }
    }
  }
  (void)ParseLocation(QString::fromUtf8(text));
  return 0;
}
