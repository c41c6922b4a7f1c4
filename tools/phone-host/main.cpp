// kestrel-phone-host: holds one phone library in a process of its own and serves its KV_
// calls to the station's proxy over the channel the station made (device/oxbind/host/HOST.md).
// The station starts it; a person does not:
//
//   kestrel-phone-host --fd N LIBRARY      (Linux: the channel is descriptor N)
//   kestrel-phone-host --pipe NAME LIBRARY (Windows: the channel is the named pipe NAME)
//
// It loads LIBRARY, tells the station what it found (the hello), serves calls until the channel
// ends — the station closed it, or ended, whereupon the system closes it — and then ends at
// once, whatever a call of the library is still doing. A library that crashes takes only this
// process with it.
#include "device/oxbind/host/host_platform.h"
#include "device/oxbind/host/host_protocol.h"
#include "device/oxbind/host/host_server.h"
#include "device/oxbind/platform/platform.h"
#include "device/oxbind_loader/phone_api.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace host = kestrel::device::oxbind::host;
using kestrel::device::oxbind::PhoneApi;

namespace {

constexpr int kSendTimeoutMs = 10000;  // a station that takes nothing for this long is gone

int Usage() {
  std::fprintf(stderr,
               "usage: kestrel-phone-host %s CHANNEL LIBRARY\n"
               "The station starts this program to hold a phone library of [PHONE] Library in a "
               "process of its own ([PHONE] Isolate=1); it is not run by hand.\n",
               host::ChannelOption());
  return 2;
}

bool SendFrame(host::Link& link, host::FrameKind kind, std::uint16_t code,
               const std::vector<std::uint8_t>& payload) {
  std::vector<std::uint8_t> bytes;
  host::AppendFrame(&bytes, kind, code, 0, payload.data(), payload.size());
  return link.Write(bytes.data(), bytes.size(), kSendTimeoutMs);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || std::strcmp(argv[1], host::ChannelOption()) != 0) return Usage();
  std::string error;
  const std::unique_ptr<host::Link> link = host::OpenParentChannel(argv[2], &error);
  if (!link) {
    std::fprintf(stderr, "kestrel-phone-host: %s\n", error.c_str());
    return 2;
  }

  host::Hello hello;
  hello.processId = kestrel::device::oxbind::platform::ProcessId();
  const std::unique_ptr<host::SharedLibrary> library = host::SharedLibrary::Load(argv[3], &error);
  if (!library) {
    hello.status = 1;
    hello.error = "not a library that can be loaded (" + error + ")";
    SendFrame(*link, host::FrameKind::kNote, static_cast<std::uint16_t>(host::Note::kHello),
              host::EncodeHello(hello));
    host::ExitNow(3);
  }

  // The library's calls, resolved by name into the table the station would have made.
  PhoneApi api;
#define KESTREL_HOST_RESOLVE(name)                                               \
  api.name = reinterpret_cast<decltype(api.name)>(library->Symbol("KV_" #name)); \
  if (api.name != nullptr) hello.calls |= host::CallBit(host::Call::k##name);
  KESTREL_OXBIND_REQUIRED_CALLS(KESTREL_HOST_RESOLVE)
  KESTREL_OXBIND_OPTIONAL_CALLS(KESTREL_HOST_RESOLVE)
#undef KESTREL_HOST_RESOLVE
  if (api.GetLibraryInfo != nullptr) {
    hello.infoResult = api.GetLibraryInfo(&hello.info);
    hello.path = library->PathOf(reinterpret_cast<void*>(api.GetLibraryInfo));
  }
  if (!SendFrame(*link, host::FrameKind::kNote, static_cast<std::uint16_t>(host::Note::kHello),
                 host::EncodeHello(hello))) {
    host::ExitNow(1);
  }

  host::Link* out = link.get();
  host::HostServer server(api, [out](const std::vector<std::uint8_t>& bytes) {
    return out->Write(bytes.data(), bytes.size(), kSendTimeoutMs);
  });
  host::Serve(*link, server);
  // The station has gone (or closed the channel): end now, a call still blocked in the
  // library with it.
  host::ExitNow(0);
}
