// The request counters of a phone handle, for the station's audit record of a job: how many
// requests went over the link and how many of them had to be sent again.
#pragma once

#include "device/oxbind/oxbind.h"

#include <cstdint>

namespace kestrel::device::oxbind {

struct RequestCounts {
  std::uint64_t requests = 0;
  std::uint64_t retransmissions = 0;
};

// The counts of the handle's lifetime so far. Never waits for a call in progress, so the window
// thread may ask while a job runs. False (counts left at 0) for a handle that is not live.
bool ReadRequestCounts(PhoneHandle h, RequestCounts* counts);

}  // namespace kestrel::device::oxbind
