// Station-record presets of kestrel-phone-sim: a block of station-record data built from the
// command line (--station-passed NAME, --station-failed NAME, --record-bad-magic), stored in
// the simulated phone at start in place of the block its state file holds.
#pragma once

#include <QByteArray>
#include <QStringList>

struct StationRecordPresets {
  QStringList passed;       // --station-passed NAME (repeatable), in the order given
  QStringList failed;       // --station-failed NAME (repeatable), in the order given
  bool badMagic = false;    // --record-bad-magic
  bool unreadable = false;  // --record-unreadable: handled by the simulator (reads answer an
                            // error), not part of the block
};

// True when any option that makes a block was given.
inline bool HasStationRecordPreset(const StationRecordPresets& p) {
  return !p.passed.isEmpty() || !p.failed.isEmpty() || p.badMagic;
}

// The block for the presets, in the station-record library's format. Empty when no preset
// is given.
QByteArray BuildPresetStationRecord(const StationRecordPresets& presets);
