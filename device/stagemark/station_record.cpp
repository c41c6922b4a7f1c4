#include "device/stagemark/station_record.h"

#include "device/stagemark/stagemark.h"

#include <array>
#include <cstring>

namespace kestrel::device::stagemark {

namespace {

constexpr char kMagicV5[] = "KV05";
constexpr char kMagicV9[] = "KV09";
constexpr char kNoCheck[] = "NULL";
constexpr uint8_t kTested = 0x01;
constexpr uint8_t kPassed = 0x02;

uint16_t GetU16(const char* p) {
  return static_cast<uint16_t>(static_cast<uint8_t>(p[0]) | (static_cast<uint8_t>(p[1]) << 8));
}

uint32_t GetU32(const char* p) {
  return static_cast<uint32_t>(GetU16(p)) | (static_cast<uint32_t>(GetU16(p + 2)) << 16);
}

int64_t GetI64(const char* p) {
  const uint64_t v =
      static_cast<uint64_t>(GetU32(p)) | (static_cast<uint64_t>(GetU32(p + 4)) << 32);
  return static_cast<int64_t>(v);
}

void PutU16(QByteArray* out, uint16_t v) {
  out->append(static_cast<char>(v & 0xFF));
  out->append(static_cast<char>(v >> 8));
}

void PutU32(QByteArray* out, uint32_t v) {
  PutU16(out, static_cast<uint16_t>(v & 0xFFFF));
  PutU16(out, static_cast<uint16_t>(v >> 16));
}

void PutI64(QByteArray* out, int64_t v) {
  const auto u = static_cast<uint64_t>(v);
  PutU32(out, static_cast<uint32_t>(u & 0xFFFFFFFFu));
  PutU32(out, static_cast<uint32_t>(u >> 32));
}

std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

int32_t TakeText(const char* text, int limit, QByteArray* out) {
  const size_t n = strnlen(text, static_cast<size_t>(limit) + 1);
  if (n > static_cast<size_t>(limit)) return STAGEMARK_INPUT_TOO_LARGE;
  *out = QByteArray(text, static_cast<qsizetype>(n));
  return STAGEMARK_PASS;
}

}  // namespace

StationEntry* StationRecord::Find(const QByteArray& name) {
  for (StationEntry& e : stations) {
    if (e.name == name) return &e;
  }
  return nullptr;
}

const StationEntry* StationRecord::Find(const QByteArray& name) const {
  return const_cast<StationRecord*>(this)->Find(name);
}

uint32_t Crc32(const char* data, qsizetype size) {
  static const std::array<uint32_t, 256> table = MakeCrcTable();
  uint32_t c = 0xFFFFFFFFu;
  for (qsizetype i = 0; i < size; ++i) {
    c = table[(c ^ static_cast<uint8_t>(data[i])) & 0xFF] ^ (c >> 8);
  }
  return c ^ 0xFFFFFFFFu;
}

int32_t DecodeStationRecord(const QByteArray& block, StationRecord* record) {
  if (block.isEmpty()) {
    *record = StationRecord{};
    return STAGEMARK_PASS;
  }
  if (block.size() > kMaxRecordBytes) return STAGEMARK_BUFFER_FAILED;
  if (block.size() < 4) return STAGEMARK_MAGIC_UNREADABLE;
  const char* p = block.constData();
  RecordFormat format;
  if (std::memcmp(p, kMagicV9, 4) == 0) {
    format = RecordFormat::kV9;
  } else if (std::memcmp(p, kMagicV5, 4) == 0) {
    format = RecordFormat::kV5;
  } else {
    return STAGEMARK_BAD_MAGIC;
  }
  if (block.size() < kHeaderBytes + kChecksumBytes) return STAGEMARK_INVALID_RECORD;
  const uint16_t version = GetU16(p + 4);
  const uint16_t count = GetU16(p + 6);
  const qsizetype bodyBytes = GetU16(p + 8);
  if (version != kLayoutVersion || count > kMaxStations ||
      kHeaderBytes + bodyBytes + kChecksumBytes > block.size()) {
    return STAGEMARK_INVALID_RECORD;
  }
  const qsizetype end = kHeaderBytes + bodyBytes;
  if (Crc32(p, end) != GetU32(p + end)) return STAGEMARK_INVALID_RECORD;

  StationRecord decoded;
  decoded.format = format;
  qsizetype at = kHeaderBytes;
  for (int i = 0; i < count; ++i) {
    StationEntry e;
    if (at + 1 > end) return STAGEMARK_INVALID_RECORD;
    const int nameBytes = static_cast<uint8_t>(p[at++]);
    if (nameBytes == 0 || nameBytes > kMaxNameBytes || at + nameBytes + 2 > end) {
      return STAGEMARK_INVALID_RECORD;
    }
    e.name = QByteArray(p + at, nameBytes);
    at += nameBytes;
    const auto status = static_cast<uint8_t>(p[at++]);
    if ((status & ~(kTested | kPassed)) != 0 || status == kPassed) return STAGEMARK_INVALID_RECORD;
    e.tested = (status & kTested) != 0;
    e.passed = (status & kPassed) != 0;
    const int textBytes = static_cast<uint8_t>(p[at++]);
    if (at + textBytes > end) return STAGEMARK_INVALID_RECORD;
    e.failureText = QByteArray(p + at, textBytes);
    at += textBytes;
    if (format == RecordFormat::kV9) {
      if (at + 8 > end) return STAGEMARK_INVALID_RECORD;
      e.time = GetI64(p + at);
      at += 8;
    }
    if (e.name.contains('\0') || e.failureText.contains('\0') || decoded.Find(e.name) != nullptr) {
      return STAGEMARK_INVALID_RECORD;
    }
    decoded.stations.push_back(std::move(e));
  }
  if (at != end) return STAGEMARK_INVALID_RECORD;
  *record = std::move(decoded);
  return STAGEMARK_PASS;
}

int32_t EncodeStationRecord(const StationRecord& record, QByteArray* block) {
  if (record.stations.size() > static_cast<size_t>(kMaxStations)) return STAGEMARK_INPUT_TOO_LARGE;
  QByteArray body;
  for (const StationEntry& e : record.stations) {
    if (e.name.isEmpty()) return STAGEMARK_FAIL;
    if (e.name.size() > kMaxNameBytes || e.failureText.size() > kMaxTextBytes) {
      return STAGEMARK_INPUT_TOO_LARGE;
    }
    body.append(static_cast<char>(e.name.size()));
    body.append(e.name);
    uint8_t status = 0;
    if (e.tested) status |= kTested;
    if (e.tested && e.passed) status |= kPassed;
    body.append(static_cast<char>(status));
    body.append(static_cast<char>(e.failureText.size()));
    body.append(e.failureText);
    if (record.format == RecordFormat::kV9) PutI64(&body, e.time);
    if (body.size() > kMaxRecordBytes) return STAGEMARK_INPUT_TOO_LARGE;
  }
  if (kHeaderBytes + body.size() + kChecksumBytes > kMaxRecordBytes) {
    return STAGEMARK_INPUT_TOO_LARGE;
  }
  QByteArray out;
  out.reserve(kHeaderBytes + body.size() + kChecksumBytes);
  out.append(record.format == RecordFormat::kV9 ? kMagicV9 : kMagicV5, 4);
  PutU16(&out, kLayoutVersion);
  PutU16(&out, static_cast<uint16_t>(record.stations.size()));
  PutU16(&out, static_cast<uint16_t>(body.size()));
  out.append(body);
  PutU32(&out, Crc32(out.constData(), out.size()));
  *block = std::move(out);
  return STAGEMARK_PASS;
}

int32_t TakeStationName(const char* name, QByteArray* out) {
  if (name == nullptr || name[0] == '\0') return STAGEMARK_FAIL;
  return TakeText(name, kMaxNameBytes, out);
}

int32_t TakeFailureText(const char* text, QByteArray* out) {
  if (text == nullptr) {
    out->clear();
    return STAGEMARK_PASS;
  }
  return TakeText(text, kMaxTextBytes, out);
}

int32_t CheckPhaseOnRecord(StationRecord* record, const QByteArray& current,
                           const QByteArray& check, bool* changed) {
  *changed = false;
  if (check != kNoCheck) {
    const StationEntry* required = record->Find(check);
    if (required == nullptr) return STAGEMARK_CHECK_UNKNOWN;
    if (!required->tested) return STAGEMARK_CHECK_UNTESTED;
    if (!required->passed) return STAGEMARK_CHECK_FAILED;
  }
  if (record->Find(current) == nullptr) {
    if (record->stations.size() >= static_cast<size_t>(kMaxStations)) {
      return STAGEMARK_INPUT_TOO_LARGE;
    }
    StationEntry e;
    e.name = current;
    record->stations.push_back(std::move(e));
    *changed = true;
  }
  return STAGEMARK_PASS;
}

int32_t UpdatePhaseOnRecord(StationRecord* record, const QByteArray& current, bool passed,
                            const QByteArray& failureText, int64_t now) {
  StationEntry* e = record->Find(current);
  if (e == nullptr) return STAGEMARK_CURRENT_UNKNOWN;
  e->tested = true;
  e->passed = passed;
  e->failureText = failureText;
  e->time = record->format == RecordFormat::kV9 ? now : 0;
  return STAGEMARK_PASS;
}

}  // namespace kestrel::device::stagemark
