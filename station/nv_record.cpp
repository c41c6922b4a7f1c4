#include "station/nv_record.h"

namespace kestrel::station {

char (&ImeiField(NvInfoRecord& record, int slot))[16] {
  switch (slot) {
    case 2:
      return record.imei2;
    case 3:
      return record.imei3;
    case 4:
      return record.imei4;
    default:
      return record.imei1;
  }
}

const char (&ImeiField(const NvInfoRecord& record, int slot))[16] {
  return ImeiField(const_cast<NvInfoRecord&>(record), slot);
}

std::uint32_t ImeiMaskBit(int slot) {
  switch (slot) {
    case 2:
      return KV_NV_IMEI2;
    case 3:
      return KV_NV_IMEI3;
    case 4:
      return KV_NV_IMEI4;
    default:
      return KV_NV_IMEI1;
  }
}

}  // namespace kestrel::station
