// The KV_ event calls: manual-reset events of the platform seam. The phone-library proxy
// (host/) serves its own events with this file too.
#include "device/oxbind/event.h"
#include "device/oxbind/oxbind.h"

#include <new>

namespace platform = kestrel::device::oxbind::platform;

extern "C" {

KV_API KV_Event* KV_CreateEvent(void) {
  KV_Event* event = new (std::nothrow) KV_Event;
  if (event != nullptr && !event->event.Valid()) {
    delete event;
    return nullptr;
  }
  return event;
}

KV_API int32_t KV_SetEvent(KV_Event* event) {
  if (event == nullptr) return KV_ERR_BAD_ARGUMENT;
  event->event.Set();
  return KV_OK;
}

KV_API int32_t KV_ResetEvent(KV_Event* event) {
  if (event == nullptr) return KV_ERR_BAD_ARGUMENT;
  event->event.Reset();
  return KV_OK;
}

KV_API int32_t KV_WaitEvent(KV_Event* event, int32_t timeoutMs) {
  if (event == nullptr) return KV_ERR_BAD_ARGUMENT;
  return event->event.Wait(timeoutMs) ? KV_OK : KV_ERR_TIMEOUT;
}

KV_API int32_t KV_WaitAnyEvent(KV_Event* const* events, int32_t count, int32_t timeoutMs,
                               int32_t* index) {
  if (index != nullptr) *index = -1;
  if (events == nullptr || index == nullptr || count < 1 || count > KV_MAX_WAIT_EVENTS) {
    return KV_ERR_BAD_ARGUMENT;
  }
  const platform::Event* list[KV_MAX_WAIT_EVENTS];
  for (int32_t i = 0; i < count; ++i) {
    if (events[i] == nullptr) return KV_ERR_BAD_ARGUMENT;
    list[i] = &events[i]->event;
  }
  *index = platform::Event::WaitAny(list, count, timeoutMs);
  return *index >= 0 ? KV_OK : KV_ERR_TIMEOUT;
}

KV_API int32_t KV_CloseEvent(KV_Event* event) {
  delete event;
  return KV_OK;
}

}  // extern "C"
