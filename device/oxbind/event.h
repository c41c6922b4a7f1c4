// What a KV_Event is inside this library: the platform's manual-reset event.
#pragma once

#include "device/oxbind/oxbind.h"
#include "device/oxbind/platform/platform.h"

struct KV_Event {
  kestrel::device::oxbind::platform::Event event;
};
