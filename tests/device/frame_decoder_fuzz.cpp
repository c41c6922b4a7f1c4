// Fuzz target for the phone link's frame decoder: any byte stream, fed in pieces, must decode
// without a crash, and every frame it yields must encode back to bytes that decode to itself.
#include "device/oxbind/wire_protocol.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace wire = kestrel::device::oxbind::wire;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  wire::Decoder decoder;
  std::vector<wire::Frame> frames;
  // The first byte chooses how the stream is cut, as reads from a line cut it.
  const std::size_t step = size ? 1 + data[0] % 64 : 1;
  for (std::size_t at = 0; at < size; at += step) {
    decoder.Feed(data + at, size - at < step ? size - at : step, &frames);
  }
  for (const wire::Frame& f : frames) {
    if (f.payload.size() > wire::kMaxPayload) std::abort();
    const std::vector<uint8_t> bytes = wire::Encode(f);
    wire::Decoder again;
    std::vector<wire::Frame> out;
    again.Feed(bytes.data(), bytes.size(), &out);
    if (out.size() != 1 || out[0].payload != f.payload || out[0].command != f.command ||
        out[0].sequence != f.sequence || out[0].type != f.type)
      std::abort();
  }
  return 0;
}
