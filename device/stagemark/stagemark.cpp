// The station-record calls: the objects, and the block moved to and from the phone through
// the phone library. The record's rules live in station_record.cpp.
#include "device/stagemark/stagemark.h"

#include "device/stagemark/station_record.h"

#include <QDateTime>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

static_assert(kestrel::device::stagemark::kMaxRecordBytes == KV_MAX_STATION_RECORD,
              "the record fits the phone's block");

struct StagemarkObject {
  StagemarkObject(PhoneHandle handle, const kestrel::device::oxbind::PhoneApi& api)
      : h(handle), kv(api) {}
  const PhoneHandle h;
  const kestrel::device::oxbind::PhoneApi& kv;
  std::mutex mutex;
  // The record as last read or written through this object: UpdatePhase works on what
  // CheckPhase read, so the record is read once per job.
  std::optional<kestrel::device::stagemark::StationRecord> record;
};

namespace kestrel::device::stagemark {

namespace {

// Live objects. A pointer not in the table (null, released, never created) is refused, and
// an object stays alive while a call on it runs even if it is released meanwhile.
struct Registry {
  std::mutex mutex;
  std::map<StagemarkObject*, std::shared_ptr<StagemarkObject>> live;
};

std::atomic<const oxbind::PhoneApi*>& Library() {
  static std::atomic<const oxbind::PhoneApi*> kv{nullptr};
  return kv;
}

Registry& Objects() {
  static Registry* registry = new Registry();  // never destroyed: usable until exit
  return *registry;
}

std::shared_ptr<StagemarkObject> Lookup(StagemarkObject* object) {
  Registry& r = Objects();
  const std::lock_guard<std::mutex> lock(r.mutex);
  const auto it = r.live.find(object);
  return it == r.live.end() ? nullptr : it->second;
}

}  // namespace

void UsePhoneLibrary(const oxbind::PhoneApi* kv) {
  Library().store(kv);
}

int LiveStagemarkObjects() {
  Registry& r = Objects();
  const std::lock_guard<std::mutex> lock(r.mutex);
  return static_cast<int>(r.live.size());
}

namespace {

// The record from the object, or read from the phone and decoded.
int32_t LoadRecord(StagemarkObject& object, StationRecord* record) {
  if (object.record) {
    *record = *object.record;
    return STAGEMARK_PASS;
  }
  QByteArray block(KV_MAX_STATION_RECORD, '\0');
  int32_t length = 0;
  if (object.kv.ReadStationRecord(object.h, reinterpret_cast<uint8_t*>(block.data()),
                                  KV_MAX_STATION_RECORD, &length) != KV_OK) {
    return STAGEMARK_READ_FAILED;
  }
  block.truncate(length);
  return DecodeStationRecord(block, record);
}

int32_t StoreRecord(StagemarkObject& object, const StationRecord& record) {
  QByteArray block;
  if (const int32_t r = EncodeStationRecord(record, &block); r != STAGEMARK_PASS) return r;
  if (object.kv.WriteStationRecord(object.h, reinterpret_cast<const uint8_t*>(block.constData()),
                                   static_cast<int32_t>(block.size())) != KV_OK) {
    object.record.reset();  // what the phone holds now is not known: read it again next time
    return STAGEMARK_WRITE_FAILED;
  }
  object.record = record;
  return STAGEMARK_PASS;
}

int32_t Check(StagemarkObject* handle, const char* currentStation, const char* checkStation) {
  const std::shared_ptr<StagemarkObject> object = Lookup(handle);
  if (!object) return STAGEMARK_INVALID_OBJECT;
  QByteArray current;
  QByteArray check;
  if (const int32_t r = TakeStationName(currentStation, &current); r != STAGEMARK_PASS) return r;
  if (const int32_t r = TakeStationName(checkStation, &check); r != STAGEMARK_PASS) return r;
  const std::lock_guard<std::mutex> lock(object->mutex);
  object->record.reset();  // a check always looks at the phone itself
  StationRecord record;
  if (const int32_t r = LoadRecord(*object, &record); r != STAGEMARK_PASS) return r;
  bool changed = false;
  if (const int32_t r = CheckPhaseOnRecord(&record, current, check, &changed);
      r != STAGEMARK_PASS) {
    return r;
  }
  if (changed) return StoreRecord(*object, record);
  object->record = record;
  return STAGEMARK_PASS;
}

int32_t Update(StagemarkObject* handle, const char* currentStation, int32_t passed,
               const char* failureText) {
  const std::shared_ptr<StagemarkObject> object = Lookup(handle);
  if (!object) return STAGEMARK_INVALID_OBJECT;
  QByteArray current;
  QByteArray text;
  if (const int32_t r = TakeStationName(currentStation, &current); r != STAGEMARK_PASS) return r;
  if (const int32_t r = TakeFailureText(failureText, &text); r != STAGEMARK_PASS) return r;
  const std::lock_guard<std::mutex> lock(object->mutex);
  StationRecord record;
  if (const int32_t r = LoadRecord(*object, &record); r != STAGEMARK_PASS) return r;
  if (const int32_t r = UpdatePhaseOnRecord(&record, current, passed != 0, text,
                                            QDateTime::currentSecsSinceEpoch());
      r != STAGEMARK_PASS) {
    return r;
  }
  return StoreRecord(*object, record);
}

}  // namespace

int StagemarkMessageId(int32_t code) {
  switch (code) {
    case STAGEMARK_PASS:
      return 123;
    case STAGEMARK_FAIL:
      return 124;
    case STAGEMARK_INVALID_OBJECT:
      return 132;
    case STAGEMARK_INVALID_RECORD:
      return 138;
    case STAGEMARK_CURRENT_UNKNOWN:
    case STAGEMARK_CHECK_UNKNOWN:
      return 126;
    case STAGEMARK_CHECK_FAILED:
      return 127;
    case STAGEMARK_CHECK_UNTESTED:
      return 139;
    case STAGEMARK_WRITE_FAILED:
      return 128;
    case STAGEMARK_READ_FAILED:
      return 129;
    case STAGEMARK_INPUT_TOO_LARGE:
      return 140;
    case STAGEMARK_MAGIC_UNREADABLE:
      return 130;
    case STAGEMARK_BAD_MAGIC:
      return 141;
    default:
      return 131;  // STAGEMARK_BUFFER_FAILED and anything else
  }
}

}  // namespace kestrel::device::stagemark

namespace sm = kestrel::device::stagemark;

extern "C" StagemarkObject* CreateStagemarkObject(PhoneHandle h) {
  if (h == KV_INVALID_HANDLE) return nullptr;
  const kestrel::device::oxbind::PhoneApi* kv = sm::Library().load();
  if (kv == nullptr || !kv->HasStationRecord()) return nullptr;
  try {
    auto object = std::make_shared<StagemarkObject>(h, *kv);
    sm::Registry& r = sm::Objects();
    const std::lock_guard<std::mutex> lock(r.mutex);
    StagemarkObject* raw = object.get();
    r.live.emplace(raw, std::move(object));
    return raw;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

extern "C" int32_t CheckPhase(StagemarkObject* object, const char* currentStation,
                              const char* checkStation) {
  try {
    return sm::Check(object, currentStation, checkStation);
  } catch (const std::bad_alloc&) {
    return STAGEMARK_BUFFER_FAILED;
  }
}

extern "C" int32_t UpdatePhase(StagemarkObject* object, const char* currentStation, int32_t passed,
                               const char* failureText, int32_t, int32_t) {
  try {
    return sm::Update(object, currentStation, passed, failureText);
  } catch (const std::bad_alloc&) {
    return STAGEMARK_BUFFER_FAILED;
  }
}

extern "C" void ReleaseStagemarkObject(StagemarkObject* object) {
  std::shared_ptr<StagemarkObject> last;  // destroyed after the lock is let go
  sm::Registry& r = sm::Objects();
  const std::lock_guard<std::mutex> lock(r.mutex);
  const auto it = r.live.find(object);
  if (it == r.live.end()) return;
  last = std::move(it->second);
  r.live.erase(it);
}
