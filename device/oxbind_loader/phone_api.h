// The phone library as the station calls it: one table of the library's KV_ calls, resolved
// once when the library is loaded (phone_library.h). Every caller of the phone goes through a
// table, so that the library in use is whichever file the station was pointed at.
#pragma once

#include "device/oxbind/oxbind.h"

#include <cstdint>

namespace kestrel::device::oxbind {

// clang-format off
// The calls every library has (the load fails without one of them) ...
#define KESTREL_OXBIND_REQUIRED_CALLS(X) \
  X(GetLibraryInfo) \
  X(CreateEvent) \
  X(SetEvent) \
  X(ResetEvent) \
  X(WaitEvent) \
  X(WaitAnyEvent) \
  X(CloseEvent) \
  X(CreatePhone) \
  X(ReleasePhone) \
  X(SetProperty) \
  X(BeginPhoneTest) \
  X(EndPhoneTest) \
  X(EnterModeProcess) \
  X(StopModeProcess) \
  X(GetUsbPort) \
  X(Write) \
  X(GetMsVersion) \
  X(FastReadVersion) \
  X(GetAPVersion) \
  X(SendATCommand) \
  X(FastReadNvInfo) \
  X(FastWriteNvInfo) \
  X(NvWriteDirect) \
  X(ReadSN) \
  X(WriteSN) \
  X(SetUsbAutoMode) \
  X(ReadCURef) \
  X(WriteCURef) \
  X(ReadSecureBoot) \
  X(WriteSecureBoot) \
  X(EnableSecureBoot) \
  X(PowerOff)
// ... and those a library may lack (left null then).
#define KESTREL_OXBIND_OPTIONAL_CALLS(X) \
  X(ReadStationRecord) \
  X(WriteStationRecord) \
  X(GetRequestCounts)
// clang-format on

struct PhoneApi {
#define KESTREL_OXBIND_MEMBER(name) decltype(&::KV_##name) name = nullptr;
  KESTREL_OXBIND_REQUIRED_CALLS(KESTREL_OXBIND_MEMBER)
  KESTREL_OXBIND_OPTIONAL_CALLS(KESTREL_OXBIND_MEMBER)
#undef KESTREL_OXBIND_MEMBER

  // What the library said of itself when it was loaded.
  KV_LibraryInfo info{};

  // Set when the library runs in a host process of its own behind the phone-library proxy
  // ([PHONE] Isolate=1): takes what happened to the host since the last take (it ended, was
  // ended, a new one started) as one text; returns its length. Null for a library in this
  // process.
  int32_t (*TakeHostNotes)(char* text, int32_t capacity) = nullptr;
  // Its calls can be ended by force: a call that does not return costs its host, never the
  // caller's thread.
  bool Isolated() const {
    return TakeHostNotes != nullptr;
  }

  // The station record (both calls) is offered.
  bool HasStationRecord() const {
    return ReadStationRecord != nullptr && WriteStationRecord != nullptr;
  }
  // The request counters of a handle; zero when the library has no counters or the handle is
  // not live.
  void RequestCounts(PhoneHandle h, uint64_t* requests, uint64_t* retransmissions) const {
    *requests = 0;
    *retransmissions = 0;
    if (GetRequestCounts == nullptr || GetRequestCounts(h, requests, retransmissions) != KV_OK) {
      *requests = 0;
      *retransmissions = 0;
    }
  }
};

}  // namespace kestrel::device::oxbind
