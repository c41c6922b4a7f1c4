// An identity record with every field set: four IMEIs, a Bluetooth and a Wi-Fi address.
#pragma once

#include "device/oxbind/oxbind.h"

#include <cstring>

namespace kestrel::testing {

inline NvInfoRecord FullNvRecord() {
  NvInfoRecord r;
  std::memset(&r, 0, sizeof(r));
  r.mask = KV_NV_IMEI1 | KV_NV_IMEI2 | KV_NV_IMEI3 | KV_NV_IMEI4 | KV_NV_BT | KV_NV_WIFI;
  std::strcpy(r.imei1, "356938035643809");
  std::strcpy(r.imei2, "356938035643817");
  std::strcpy(r.imei3, "356938035643825");
  std::strcpy(r.imei4, "356938035643833");
  std::strcpy(r.bt, "0011223344AA");
  std::strcpy(r.wifi, "A0B1C2D3E4F5");
  return r;
}

}  // namespace kestrel::testing
