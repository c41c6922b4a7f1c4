// The Win32 side of the seam: the clock, the environment, the cancel token and the KV_Event,
// both manual-reset Win32 events, so that a serial wait watches the token beside its I/O.
#include "device/oxbind/platform/platform.h"
#include "device/oxbind/platform/win32_native.h"

#include <chrono>
#include <vector>

namespace kestrel::device::oxbind::platform {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The process's environment block itself (the C runtime's copy misses later changes).
std::string GetEnv(const char* name) {
  const DWORD size = GetEnvironmentVariableA(name, nullptr, 0);
  if (size == 0) return {};
  std::string value(size, '\0');
  const DWORD n = GetEnvironmentVariableA(name, value.data(), size);
  value.resize(n < size ? n : 0);
  return value;
}

int ProcessId() {
  return static_cast<int>(GetCurrentProcessId());
}

// ---- CancelToken

CancelToken::CancelToken() : native_(std::make_unique<Native>()) {
  native_->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CancelToken::~CancelToken() {
  if (native_->event != nullptr) CloseHandle(native_->event);
}

bool CancelToken::Valid() const {
  return native_->event != nullptr;
}

void CancelToken::Signal() {
  if (native_->event != nullptr) SetEvent(native_->event);
}

void CancelToken::Clear() {
  if (native_->event != nullptr) ResetEvent(native_->event);
}

bool CancelToken::IsSignalled() const {
  return !Sleep(0);
}

bool CancelToken::Sleep(int ms) const {
  const DWORD wait = ms < 0 ? 0 : static_cast<DWORD>(ms);
  if (native_->event == nullptr) {
    ::Sleep(wait);
    return true;
  }
  return WaitForSingleObject(native_->event, wait) == WAIT_TIMEOUT;
}

// ---- Event

struct Event::Native {
  HANDLE event = nullptr;  // manual-reset
};

Event::Event() : native_(std::make_unique<Native>()) {
  native_->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

Event::~Event() {
  if (native_->event != nullptr) CloseHandle(native_->event);
}

bool Event::Valid() const {
  return native_->event != nullptr;
}

void Event::Set() {
  SetEvent(native_->event);
}

void Event::Reset() {
  ResetEvent(native_->event);
}

bool Event::Wait(int timeoutMs) const {
  return WaitForSingleObject(native_->event, WaitMs(timeoutMs)) == WAIT_OBJECT_0;
}

int Event::WaitAny(const Event* const* events, int count, int timeoutMs) {
  // WaitForMultipleObjects refuses a handle given twice, so each event is waited on once;
  // of several set at once it reports the lowest index, which is the first in the caller's
  // order because each handle keeps the place of its first appearance.
  std::vector<HANDLE> handles;
  std::vector<int> firstIndex;
  for (int i = 0; i < count; ++i) {
    const HANDLE h = events[i]->native_->event;
    bool seen = false;
    for (const HANDLE other : handles) seen = seen || other == h;
    if (seen) continue;
    handles.push_back(h);
    firstIndex.push_back(i);
  }
  const DWORD r = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                                         WaitMs(timeoutMs));
  if (r >= WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + handles.size()) {
    return firstIndex[r - WAIT_OBJECT_0];
  }
  return -1;
}

}  // namespace kestrel::device::oxbind::platform
