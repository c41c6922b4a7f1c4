// The station record as a phone keeps it (FORMAT.md), and the two station-record operations
// on a record in memory. No phone is involved here; stagemark.cpp moves the block.
#pragma once

#include <QByteArray>

#include <cstdint>
#include <vector>

namespace kestrel::device::stagemark {

constexpr int kMaxRecordBytes = 4096;  // the phone's block, checksum included
constexpr int kMaxStations = 64;
constexpr int kMaxNameBytes = 199;
constexpr int kMaxTextBytes = 255;
constexpr int kHeaderBytes = 10;
constexpr int kChecksumBytes = 4;
constexpr uint16_t kLayoutVersion = 1;

// "KV09" records carry the time of each result; "KV05" records are the older layout without.
enum class RecordFormat { kV5, kV9 };

struct StationEntry {
  QByteArray name;         // 1..kMaxNameBytes bytes, no NUL
  bool tested = false;     // a result was recorded
  bool passed = false;     // that result was a pass (only when tested)
  QByteArray failureText;  // 0..kMaxTextBytes bytes, no NUL
  int64_t time = 0;        // seconds since 1970-01-01 UTC of the result; 0 = none (and KV05)

  bool operator==(const StationEntry&) const = default;
};

struct StationRecord {
  RecordFormat format = RecordFormat::kV9;
  std::vector<StationEntry> stations;  // in the order they entered the record

  StationEntry* Find(const QByteArray& name);
  const StationEntry* Find(const QByteArray& name) const;
  bool operator==(const StationRecord&) const = default;
};

// Decodes a block read from a phone: 0 with *record set, else STAGEMARK_BUFFER_FAILED (the
// block is larger than kMaxRecordBytes), STAGEMARK_MAGIC_UNREADABLE (1 to 3 bytes),
// STAGEMARK_BAD_MAGIC or STAGEMARK_INVALID_RECORD. An empty block is a phone that holds no
// record yet: an empty KV09 record. Bytes after the checksum are ignored (a phone may keep
// the block in a larger area).
int32_t DecodeStationRecord(const QByteArray& block, StationRecord* record);

// Encodes the record: 0, or STAGEMARK_INPUT_TOO_LARGE when it has more than kMaxStations
// stations, a name or text over its limit, or would exceed kMaxRecordBytes. Names must not
// be empty (STAGEMARK_FAIL).
int32_t EncodeStationRecord(const StationRecord& record, QByteArray* block);

// The checks every name and text passed by a caller goes through: STAGEMARK_FAIL for null or
// empty, STAGEMARK_INPUT_TOO_LARGE over the limit; 0 with *out set otherwise.
int32_t TakeStationName(const char* name, QByteArray* out);
int32_t TakeFailureText(const char* text, QByteArray* out);

// CheckPhase on a decoded record. 0 when `check` is "NULL" or has passed; then the current
// station is added (untested) when absent and *changed tells whether the record must be
// written back. Else STAGEMARK_CHECK_UNKNOWN, _CHECK_UNTESTED or _CHECK_FAILED, record
// untouched.
int32_t CheckPhaseOnRecord(StationRecord* record, const QByteArray& current,
                           const QByteArray& check, bool* changed);

// UpdatePhase on a decoded record: the current station's result. STAGEMARK_CURRENT_UNKNOWN
// when it is not in the record.
int32_t UpdatePhaseOnRecord(StationRecord* record, const QByteArray& current, bool passed,
                            const QByteArray& failureText, int64_t now);

// CRC-32 (IEEE 802.3, reflected, as zlib computes it).
uint32_t Crc32(const char* data, qsizetype size);

}  // namespace kestrel::device::stagemark
