// The POSIX side of the seam: the clock, the environment, the cancel token (an eventfd, so
// that a serial wait polls it beside the line) and the manual-reset event.
#include "device/oxbind/platform/platform.h"
#include "device/oxbind/platform/posix_native.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

namespace kestrel::device::oxbind::platform {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string GetEnv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

int ProcessId() {
  return static_cast<int>(::getpid());
}

// ---- CancelToken

CancelToken::CancelToken() : native_(std::make_unique<Native>()) {
  native_->fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CancelToken::~CancelToken() {
  if (native_->fd >= 0) ::close(native_->fd);
}

bool CancelToken::Valid() const {
  return native_->fd >= 0;
}

void CancelToken::Signal() {
  if (native_->fd < 0) return;
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(native_->fd, &one, sizeof(one));
}

void CancelToken::Clear() {
  if (native_->fd < 0) return;
  uint64_t value;
  [[maybe_unused]] const ssize_t n = ::read(native_->fd, &value, sizeof(value));
}

bool CancelToken::IsSignalled() const {
  return !Sleep(0);
}

bool CancelToken::Sleep(int ms) const {
  if (native_->fd < 0) {
    if (ms > 0) ::usleep(static_cast<useconds_t>(ms) * 1000);
    return true;
  }
  const int64_t deadline = NowMs() + (ms < 0 ? 0 : ms);
  for (;;) {
    pollfd p{native_->fd, POLLIN, 0};
    const int64_t left = deadline - NowMs();
    const int r = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (r < 0 && errno == EINTR) continue;
    return r == 0;
  }
}

// ---- Event
//
// One lock and one condition for every event: a waiter on several events is woken by any of
// them, and events are set rarely enough that sharing costs nothing.

namespace {

std::mutex& EventLock() {
  static std::mutex m;
  return m;
}

std::condition_variable& EventChanged() {
  static std::condition_variable cv;
  return cv;
}

}  // namespace

struct Event::Native {
  bool set = false;  // guarded by EventLock()
};

Event::Event() : native_(std::make_unique<Native>()) {}
Event::~Event() = default;

bool Event::Valid() const {
  return true;
}

void Event::Set() {
  {
    std::lock_guard lock(EventLock());
    native_->set = true;
  }
  EventChanged().notify_all();
}

void Event::Reset() {
  std::lock_guard lock(EventLock());
  native_->set = false;
}

bool Event::Wait(int timeoutMs) const {
  const Event* self = this;
  return WaitAny(&self, 1, timeoutMs) == 0;
}

int Event::WaitAny(const Event* const* events, int count, int timeoutMs) {
  auto firstSet = [events, count]() -> int {
    for (int i = 0; i < count; ++i) {
      if (events[i]->native_->set) return i;
    }
    return -1;
  };
  std::unique_lock lock(EventLock());
  int index = firstSet();
  if (index >= 0) return index;
  if (timeoutMs < 0) {
    EventChanged().wait(lock, [&] { return (index = firstSet()) >= 0; });
    return index;
  }
  EventChanged().wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return (index = firstSet()) >= 0; });
  return index;
}

}  // namespace kestrel::device::oxbind::platform
