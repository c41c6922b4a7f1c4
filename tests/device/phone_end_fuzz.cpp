// Fuzz target for the phone's end: any bytes, in any order and cut anywhere, interleaved with
// well-framed requests of every command carrying any payload. Nothing may crash or write out
// of bounds, every byte the end sends must decode as response frames (one per request
// carried out at most), a result is one the in-memory phone or the end itself gives, and the
// phone's storage only ever holds identities a phone can keep.
#include "tests/device/memory_phone.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace wire = kestrel::device::oxbind::wire;
using kestrel::testing::MemoryPhone;

namespace {

void Check(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "phone_end_fuzz: check at line %d failed\n", line);
  std::abort();
}
#define Require(cond) Check((cond), __LINE__)

const uint16_t kCommands[] = {KPE_CMD_NOP,
                              KPE_CMD_HELLO,
                              KPE_CMD_ENTER_MODE,
                              KPE_CMD_GET_MS_VERSION,
                              KPE_CMD_FAST_READ_VERSION,
                              KPE_CMD_GET_AP_VERSION,
                              KPE_CMD_AT_COMMAND,
                              KPE_CMD_NV_READ,
                              KPE_CMD_NV_FAST_WRITE,
                              KPE_CMD_NV_WRITE_DIRECT,
                              KPE_CMD_READ_SN,
                              KPE_CMD_WRITE_SN,
                              KPE_CMD_SET_USB_AUTO_MODE,
                              KPE_CMD_READ_CU_REF,
                              KPE_CMD_WRITE_CU_REF,
                              KPE_CMD_READ_SECURE_BOOT,
                              KPE_CMD_WRITE_SECURE_BOOT,
                              KPE_CMD_ENABLE_SECURE_BOOT,
                              KPE_CMD_POWER_OFF,
                              KPE_CMD_READ_STATION_RECORD,
                              KPE_CMD_WRITE_STATION_RECORD,
                              0x1234};

bool IsHexUpper(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto phone = std::make_unique<MemoryPhone>();  // a phone that has seen nothing yet
  MemoryPhone& p = *phone;

  // Pieces: [kind][length][bytes]. Kind even: raw bytes fed as they are. Kind odd: a request
  // of kCommands[bytes[0]] with sequence bytes[1] and the rest as payload; a record-sized
  // payload is padded so that identity writes reach the storage checks.
  std::size_t at = 0;
  while (at + 2 <= size) {
    const uint8_t kind = data[at];
    const std::size_t length =
        std::min<std::size_t>(data[at + 1] * 16u + (kind >> 4), size - at - 2);
    const uint8_t* piece = data + at + 2;
    at += 2 + length;
    if ((kind & 1) == 0) {
      kpe_feed(&p.end, piece, length);
      continue;
    }
    if (length < 2) continue;
    wire::Frame f;
    f.command = kCommands[piece[0] % (sizeof kCommands / sizeof kCommands[0])];
    f.sequence = piece[1];
    f.payload.assign(piece + 2, piece + length);
    if ((kind & 2) && f.payload.size() < KPE_NV_RECORD_BYTES)
      f.payload.resize(KPE_NV_RECORD_BYTES, 0);
    const std::vector<uint8_t> bytes = wire::Encode(f);
    // Cut where the kind says, as reads from a line cut a frame.
    const std::size_t cut = std::min<std::size_t>(bytes.size(), (kind >> 2) & 0x3F);
    kpe_feed(&p.end, bytes.data(), cut);
    kpe_feed(&p.end, bytes.data() + cut, bytes.size() - cut);
  }

  std::size_t bad = 0;
  const std::vector<wire::Frame> answers = p.Responses(&bad);
  Require(bad == 0);
  Require(p.largestPiece <= KPE_TX_CHUNK);
  const kpe_stats* s = kpe_get_stats(&p.end);
  Require(answers.size() <= s->requests + s->repeats);
  Require(s->requests + s->repeats + s->syncs <= s->frames);
  for (const wire::Frame& a : answers) {
    Require(a.type == wire::kResponse && a.payload.size() >= 4);
    const int32_t result = static_cast<int32_t>(wire::GetU32(a.payload.data()));
    Require(result == KPE_OK || result == KPE_ERR_UNKNOWN_COMMAND || result == KPE_ERR_BAD_REQUEST);
    if (result != KPE_OK) Require(a.payload.size() == 4);
    if (result == KPE_OK && a.command == KPE_CMD_NV_READ) {
      Require(a.payload.size() == 4 + KPE_NV_RECORD_BYTES);
      for (std::size_t field : {68u, 81u}) {
        const uint8_t* t = a.payload.data() + 4 + field;
        Require(t[0] == 0 || std::all_of(t, t + 12, IsHexUpper));
        Require(t[12] == 0);
      }
    }
  }
  for (int k = 0; k < 4; ++k) {
    const uint32_t bit = k == 0 ? 1u : k == 1 ? 2u : k == 2 ? 0x10u : 0x20u;
    if (!(p.ids.mask & bit)) continue;
    Require(std::strlen(p.ids.imei[k]) == KPE_IMEI_DIGITS);
    Require(std::all_of(p.ids.imei[k], p.ids.imei[k] + 15,
                        [](char c) { return c >= '0' && c <= '9'; }));
  }
  return 0;
}
