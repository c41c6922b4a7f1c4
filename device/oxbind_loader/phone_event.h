// A manual-reset event made by the phone library (KV_CreateEvent), so that the library can set
// it (the mode process's arrival) and the station wait on it together with events of its own.
#pragma once

#include "device/oxbind_loader/phone_api.h"

#include <initializer_list>

namespace kestrel::device::oxbind {

class PhoneEvent {
 public:
  // The table must outlive the event. When the library cannot make an event, get() is null,
  // the event is never set and waits on it only time out.
  explicit PhoneEvent(const PhoneApi& api);
  ~PhoneEvent();
  PhoneEvent(const PhoneEvent&) = delete;
  PhoneEvent& operator=(const PhoneEvent&) = delete;

  KV_Event* get() const { return event_; }
  void Set();
  void Reset();
  bool IsSet() const { return Wait(0); }
  // True when set or set within the time-out (negative: without bound).
  bool Wait(int timeoutMs) const;

  // The index of the first set event in the order given (earlier events win when several
  // are set), waiting up to timeoutMs (negative: without bound); -1 on time-out. The events
  // are of one library.
  static int WaitAny(std::initializer_list<const PhoneEvent*> events, int timeoutMs);

 private:
  const PhoneApi& api_;
  KV_Event* event_;
};

}  // namespace kestrel::device::oxbind
