// The Win32 objects behind the seam's classes, shared by the Win32 sources only.
#pragma once

#include "device/oxbind/platform/platform.h"

#include <windows.h>

namespace kestrel::device::oxbind::platform {

struct CancelToken::Native {
  HANDLE event = nullptr;  // a manual-reset event: signalled while the token is
};

// A Win32 time-out for a wait of ms milliseconds (negative: without bound).
inline DWORD WaitMs(int ms) {
  return ms < 0 ? INFINITE : static_cast<DWORD>(ms);
}

}  // namespace kestrel::device::oxbind::platform
