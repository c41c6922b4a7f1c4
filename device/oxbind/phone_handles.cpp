// The process's phone handles: KV_CreatePhone hands out a fresh handle, KV_ReleasePhone takes
// it back. A handle is never reused, so a stale copy of a released handle stays refused.
//
// Setting the environment variable KESTREL_FAIL_CREATE_PHONE=1 makes KV_CreatePhone fail
// (return -1); the start-up tests use it to check that the station then ends at once.
#include "device/oxbind/oxbind.h"
#include "device/oxbind/phone.h"
#include "device/oxbind/platform/platform.h"

#include <map>
#include <memory>
#include <mutex>

namespace kestrel::device::oxbind {
namespace {

struct HandleTable {
  std::mutex mutex;
  std::map<PhoneHandle, std::shared_ptr<Phone>> live;
  PhoneHandle next = 1;
};

HandleTable& Table() {
  static HandleTable table;
  return table;
}

}  // namespace

// A call in progress keeps its phone alive through the shared pointer, so a release from
// another thread never pulls the object out from under it.
std::shared_ptr<Phone> FindPhone(PhoneHandle h) {
  HandleTable& t = Table();
  const std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.live.find(h);
  return it == t.live.end() ? nullptr : it->second;
}

}  // namespace kestrel::device::oxbind

using kestrel::device::oxbind::Phone;

extern "C" PhoneHandle KV_CreatePhone(int32_t reserved) {
  if (reserved != 0) return KV_INVALID_HANDLE;
  if (kestrel::device::oxbind::platform::GetEnv("KESTREL_FAIL_CREATE_PHONE") == "1") {
    return KV_INVALID_HANDLE;
  }
  auto& t = kestrel::device::oxbind::Table();
  const std::lock_guard<std::mutex> lock(t.mutex);
  if (t.next == INT32_MAX) return KV_INVALID_HANDLE;  // handles exhausted; never wrap
  const PhoneHandle h = t.next++;
  t.live.emplace(h, std::make_shared<Phone>());
  return h;
}

extern "C" int32_t KV_ReleasePhone(PhoneHandle h) {
  std::shared_ptr<Phone> phone;
  {
    auto& t = kestrel::device::oxbind::Table();
    const std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.live.find(h);
    if (it == t.live.end()) return KV_ERR_INVALID_HANDLE;
    phone = std::move(it->second);
    t.live.erase(it);
  }
  phone->End();  // closes a phone test left open and stops its mode process
  return KV_OK;
}
