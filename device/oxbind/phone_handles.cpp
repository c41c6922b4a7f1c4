// The process's phone handles: KV_CreatePhone hands out a fresh handle, KV_ReleasePhone takes
// it back. A handle is never reused, so a stale copy of a released handle stays refused.
//
// Setting the environment variable KESTREL_FAIL_CREATE_PHONE=1 makes KV_CreatePhone fail
// (return -1); the start-up tests use it to check that the station then ends at once.
#include "device/oxbind/oxbind.h"

#include <QtGlobal>

#include <mutex>
#include <set>

namespace {

constexpr int32_t kErrInvalidHandle = 1;

struct HandleTable {
  std::mutex mutex;
  std::set<PhoneHandle> live;
  PhoneHandle next = 1;
};

HandleTable& Table() {
  static HandleTable table;
  return table;
}

}  // namespace

extern "C" PhoneHandle KV_CreatePhone(int32_t reserved) {
  if (reserved != 0) return KV_INVALID_HANDLE;
  if (qEnvironmentVariableIntValue("KESTREL_FAIL_CREATE_PHONE") == 1) return KV_INVALID_HANDLE;
  HandleTable& t = Table();
  const std::lock_guard<std::mutex> lock(t.mutex);
  if (t.next == INT32_MAX) return KV_INVALID_HANDLE;  // handles exhausted; never wrap
  const PhoneHandle h = t.next++;
  t.live.insert(h);
  return h;
}

extern "C" int32_t KV_ReleasePhone(PhoneHandle h) {
  HandleTable& t = Table();
  const std::lock_guard<std::mutex> lock(t.mutex);
  return t.live.erase(h) == 1 ? KV_OK : kErrInvalidHandle;
}
