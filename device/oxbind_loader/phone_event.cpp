#include "device/oxbind_loader/phone_event.h"

#include <chrono>
#include <thread>
#include <vector>

namespace kestrel::device::oxbind {

PhoneEvent::PhoneEvent(const PhoneApi& api) : api_(api), event_(api.CreateEvent()) {}

PhoneEvent::~PhoneEvent() {
  if (event_ != nullptr) api_.CloseEvent(event_);
}

void PhoneEvent::Set() {
  if (event_ != nullptr) api_.SetEvent(event_);
}

void PhoneEvent::Reset() {
  if (event_ != nullptr) api_.ResetEvent(event_);
}

bool PhoneEvent::Wait(int timeoutMs) const {
  return WaitAny({this}, timeoutMs) == 0;
}

int PhoneEvent::WaitAny(std::initializer_list<const PhoneEvent*> events, int timeoutMs) {
  std::vector<KV_Event*> list;
  std::vector<int> positions;  // of each entry of list among `events`
  const PhoneApi* api = nullptr;
  int position = 0;
  for (const PhoneEvent* e : events) {
    if (e != nullptr && e->event_ != nullptr && list.size() < KV_MAX_WAIT_EVENTS) {
      list.push_back(e->event_);
      positions.push_back(position);
      api = &e->api_;
    }
    ++position;
  }
  if (api == nullptr) {  // nothing that could ever be set
    if (timeoutMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return -1;
  }
  int32_t index = -1;
  const int32_t r =
      api->WaitAnyEvent(list.data(), static_cast<int32_t>(list.size()), timeoutMs, &index);
  if (r != KV_OK || index < 0 || index >= static_cast<int32_t>(list.size())) return -1;
  return positions[static_cast<std::size_t>(index)];
}

}  // namespace kestrel::device::oxbind
