// A manual-reset event: once set it stays set, waking every waiter, until it is reset.
#pragma once

#include <chrono>
#include <initializer_list>

namespace kestrel::device {

class ManualResetEvent {
 public:
  ManualResetEvent() = default;
  ManualResetEvent(const ManualResetEvent&) = delete;
  ManualResetEvent& operator=(const ManualResetEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;

  // True when the event is (or becomes) set within the time-out; a negative time-out waits
  // without bound.
  bool Wait(int timeoutMs) const;

  // Waits until any of the events is set. Returns the index of the first set event in the
  // order given (earlier events win when several are set), or -1 on time-out.
  static int WaitAny(std::initializer_list<const ManualResetEvent*> events, int timeoutMs);

 private:
  bool set_ = false;  // guarded by the shared event lock
};

}  // namespace kestrel::device
