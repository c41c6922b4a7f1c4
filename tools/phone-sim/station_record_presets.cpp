#include "tools/phone-sim/station_record_presets.h"

// The station-record format belongs to the station-record library; until it fills this in,
// no preset makes a block.
QByteArray BuildPresetStationRecord(const StationRecordPresets& presets) {
  if (!HasStationRecordPreset(presets)) return {};
  return {};
}
