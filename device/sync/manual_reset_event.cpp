#include "device/sync/manual_reset_event.h"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace kestrel::device {
namespace {

// One lock and one condition for every event: a waiter on several events needs to be woken
// by any of them, and events are set rarely enough that sharing costs nothing.
std::mutex& Lock() {
  static std::mutex m;
  return m;
}
std::condition_variable& Changed() {
  static std::condition_variable cv;
  return cv;
}

}  // namespace

void ManualResetEvent::Set() {
  {
    std::lock_guard lock(Lock());
    set_ = true;
  }
  Changed().notify_all();
}

void ManualResetEvent::Reset() {
  std::lock_guard lock(Lock());
  set_ = false;
}

bool ManualResetEvent::IsSet() const {
  std::lock_guard lock(Lock());
  return set_;
}

bool ManualResetEvent::Wait(int timeoutMs) const { return WaitAny({this}, timeoutMs) == 0; }

int ManualResetEvent::WaitAny(std::initializer_list<const ManualResetEvent*> events,
                              int timeoutMs) {
  const std::vector<const ManualResetEvent*> list(events);
  auto firstSet = [&list]() -> int {
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (list[i] && list[i]->set_) return static_cast<int>(i);
    }
    return -1;
  };
  std::unique_lock lock(Lock());
  int index = firstSet();
  if (index >= 0) return index;
  if (timeoutMs < 0) {
    Changed().wait(lock, [&] { return (index = firstSet()) >= 0; });
    return index;
  }
  Changed().wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [&] { return (index = firstSet()) >= 0; });
  return index;
}

}  // namespace kestrel::device
