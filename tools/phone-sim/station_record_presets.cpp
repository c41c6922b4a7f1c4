#include "tools/phone-sim/station_record_presets.h"

#include "device/stagemark/stagemark.h"
#include "device/stagemark/station_record.h"

#include <cstdio>
#include <cstring>

namespace sm = kestrel::device::stagemark;

// Passed stations in the order given, then failed ones (failure text "Write Fail", as the
// station writes it); times are 0. A name given again keeps its place and takes the later
// result. --record-bad-magic stores the same record under the magic "KV07", checksum intact,
// so that only the magic is wrong.
QByteArray BuildPresetStationRecord(const StationRecordPresets& presets) {
  if (!HasStationRecordPreset(presets)) return {};
  sm::StationRecord record;
  auto add = [&](const QString& name, bool passed) {
    const QByteArray bytes = name.toLocal8Bit();
    sm::StationEntry* e = record.Find(bytes);
    if (e == nullptr) {
      record.stations.push_back(sm::StationEntry{bytes, false, false, {}, 0});
      e = &record.stations.back();
    }
    e->tested = true;
    e->passed = passed;
    e->failureText = passed ? QByteArray() : QByteArray("Write Fail");
  };
  for (const QString& name : presets.passed) add(name, true);
  for (const QString& name : presets.failed) add(name, false);
  QByteArray block;
  if (const int32_t r = sm::EncodeStationRecord(record, &block); r != STAGEMARK_PASS) {
    std::fprintf(stderr,
                 "kestrel-phone-sim: the preset stations do not fit a station record (%d); "
                 "the phone holds none\n",
                 r);
    return {};
  }
  if (presets.badMagic) {
    std::memcpy(block.data(), "KV07", 4);
    const qsizetype end = block.size() - sm::kChecksumBytes;
    const uint32_t crc = sm::Crc32(block.constData(), end);
    for (int i = 0; i < 4; ++i) block[end + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
  }
  return block;
}
