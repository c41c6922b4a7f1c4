// Blocks read from a phone are outside input: decoding never crashes, and whatever decodes
// encodes back to a block that decodes to the same record.
#include "device/stagemark/stagemark.h"
#include "device/stagemark/station_record.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kestrel::device::stagemark;
  const QByteArray block(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  StationRecord record;
  if (DecodeStationRecord(block, &record) != STAGEMARK_PASS) return 0;
  QByteArray again;
  if (EncodeStationRecord(record, &again) != STAGEMARK_PASS) std::abort();
  StationRecord back;
  if (DecodeStationRecord(again, &back) != STAGEMARK_PASS || !(back == record)) std::abort();
  bool changed = false;
  if (CheckPhaseOnRecord(&record, "IMEI", "NULL", &changed) == STAGEMARK_PASS) {
    UpdatePhaseOnRecord(&record, "IMEI", false, "Write Fail", 1);
    if (EncodeStationRecord(record, &again) == STAGEMARK_PASS &&
        DecodeStationRecord(again, &back) != STAGEMARK_PASS) {
      std::abort();
    }
  }
  return 0;
}
