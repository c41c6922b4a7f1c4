// An in-memory phone on the phone's end (device/oxbind/phone_end): its storage is a few
// members, every callback counts its calls. Shared by the phone end's test and fuzz target.
#pragma once

#include "device/oxbind/phone_end/phone_end.h"
#include "device/oxbind/wire_protocol.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace kestrel::testing {

namespace wire = kestrel::device::oxbind::wire;

// A phone whose storage is a few members; every callback counts its calls.
struct MemoryPhone {
  kpe_end end;
  std::vector<uint8_t> sent;
  std::size_t largestPiece = 0;
  std::map<std::string, int> calls;
  kpe_identities ids{};
  uint8_t sn[2][KPE_SN_BYTES] = {};
  uint8_t cu[KPE_CU_BYTES] = {};
  uint32_t secureBoot[KPE_SECURE_BOOT_ITEMS] = {};
  std::vector<uint8_t> record;
  uint32_t mode = 0;
  int usb = 1;
  int32_t writeResult = KPE_OK;

  static MemoryPhone& P(void* u) { return *static_cast<MemoryPhone*>(u); }
  static void Count(void* u, const char* name) { ++P(u).calls[name]; }
  static size_t Text(const char* t, char* out, size_t capacity) {
    const size_t n = std::min(std::strlen(t), capacity);
    std::memcpy(out, t, n);
    return n;
  }

  explicit MemoryPhone(bool full = true) {
    kpe_callbacks cb{};
    cb.send = [](void* u, const uint8_t* b, size_t n) {
      P(u).largestPiece = std::max(P(u).largestPiece, n);
      P(u).sent.insert(P(u).sent.end(), b, b + n);
    };
    if (full) Fill(&cb);
    kpe_init(&end, &cb, this);
  }

  static void Fill(kpe_callbacks* cb) {
    cb->hello = [](void* u, char* out, size_t cap, size_t* len) {
      Count(u, "hello");
      *len = Text("memory-phone", out, cap);
      return 0;
    };
    cb->enter_mode = [](void* u, uint32_t m) {
      Count(u, "enter_mode");
      P(u).mode = m;
      return 0;
    };
    cb->version = [](void* u, kpe_version which, char* out, size_t cap, size_t* len) {
      Count(u, "version");
      *len = Text(which == KPE_VERSION_AP   ? "AP-1"
                  : which == KPE_VERSION_MS ? "MS-1"
                                            : "FAST-1",
                  out, cap);
      return 0;
    };
    cb->at_command = [](void* u, const char* c, size_t n, char* out, size_t cap, size_t* len) {
      Count(u, "at");
      *len = Text(("ECHO " + std::string(c, n)).c_str(), out, cap);
      return 0;
    };
    cb->read_identities = [](void* u, uint32_t, kpe_identities* out) {
      Count(u, "read_identities");
      *out = P(u).ids;
      return 0;
    };
    cb->write_identities = [](void* u, const kpe_identities* in, int direct) {
      Count(u, direct ? "write_direct" : "write_fast");
      MemoryPhone& p = P(u);
      if (p.writeResult != 0) return p.writeResult;
      for (int k = 0; k < 4; ++k) {
        const uint32_t bit = k == 0 ? 1u : k == 1 ? 2u : k == 2 ? 0x10u : 0x20u;
        if (in->mask & bit) std::memcpy(p.ids.imei[k], in->imei[k], 16);
      }
      if (in->mask & KPE_NV_BT) std::memcpy(p.ids.bt, in->bt, 6);
      if (in->mask & KPE_NV_WIFI) std::memcpy(p.ids.wifi, in->wifi, 6);
      p.ids.mask |= in->mask;
      return 0;
    };
    cb->read_serial = [](void* u, int sn1, uint8_t out[KPE_SN_BYTES]) {
      std::memcpy(out, P(u).sn[sn1 ? 0 : 1], KPE_SN_BYTES);
      return 0;
    };
    cb->write_serial = [](void* u, int sn1, const uint8_t* t, size_t n) {
      uint8_t* to = P(u).sn[sn1 ? 0 : 1];
      std::memset(to, 0, KPE_SN_BYTES);
      std::memcpy(to, t, n);
      return 0;
    };
    cb->set_usb_auto_mode = [](void* u, int on) {
      P(u).usb = on;
      return 0;
    };
    cb->read_cu_ref = [](void* u, uint8_t out[KPE_CU_BYTES]) {
      std::memcpy(out, P(u).cu, KPE_CU_BYTES);
      return 0;
    };
    cb->write_cu_ref = [](void* u, const uint8_t in[KPE_CU_BYTES]) {
      std::memcpy(P(u).cu, in, KPE_CU_BYTES);
      return 0;
    };
    cb->read_secure_boot = [](void* u, uint16_t i, uint32_t* v) {
      *v = P(u).secureBoot[i];
      return 0;
    };
    cb->write_secure_boot = [](void* u, uint16_t i, uint32_t v) {
      Count(u, "write_secure_boot");
      P(u).secureBoot[i] = v;
      return 0;
    };
    cb->enable_secure_boot = [](void* u) {
      Count(u, "enable_secure_boot");
      return 0;
    };
    cb->power_off = [](void* u) {
      Count(u, "power_off");
      return 0;
    };
    cb->read_station_record = [](void* u, uint8_t* out, size_t cap, size_t* len) {
      *len = std::min(cap, P(u).record.size());
      if (*len > 0) std::memcpy(out, P(u).record.data(), *len);
      return 0;
    };
    cb->write_station_record = [](void* u, const uint8_t* b, size_t n) {
      P(u).record.assign(b, b + n);
      return 0;
    };
  }

  void Feed(const std::vector<uint8_t>& bytes) { kpe_feed(&end, bytes.data(), bytes.size()); }

  // The responses sent since the last call; *bad counts what did not decode as a frame.
  std::vector<wire::Frame> Responses(std::size_t* bad = nullptr) {
    wire::Decoder d;
    std::vector<wire::Frame> frames;
    d.Feed(sent.data(), sent.size(), &frames);
    if (bad) *bad = d.stats().stray + d.stats().malformed + d.stats().badChecksum;
    sent.clear();
    return frames;
  }
};

}  // namespace kestrel::testing
