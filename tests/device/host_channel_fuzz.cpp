// Fuzz target for the channel between the phone-library proxy and its host: any byte stream,
// cut anyhow, goes through the frame reader; every frame must encode back to itself; every
// call is served by the host's code over a library of stubs that fill exactly the buffers
// they are given (so that a size the host got wrong is a heap overflow here), and every
// answer it sends must read back as an answer; every note is read as a hello.
#include "device/oxbind/host/host_protocol.h"
#include "device/oxbind/host/host_server.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace host = kestrel::device::oxbind::host;
using kestrel::device::oxbind::PhoneApi;

namespace {

struct KV_EventStub {
  int unused;
};
KV_EventStub g_event;

void Fill(void* buffer, int32_t size) {
  if (buffer != nullptr && size > 0) std::memset(buffer, 'A', static_cast<std::size_t>(size) - 1);
}

int32_t Text(PhoneHandle, char* buffer, int32_t size) {
  Fill(buffer, size);
  return buffer != nullptr && size > 0 ? KV_OK : KV_ERR_BAD_ARGUMENT;
}
int32_t Plain(PhoneHandle) {
  return KV_OK;
}
int32_t Record(PhoneHandle, const NvInfoRecord* r) {
  volatile char c = r != nullptr ? r->imei1[15] : 0;
  (void)c;
  return KV_OK;
}

PhoneApi Stubs() {
  PhoneApi api;
  api.CreateEvent = []() { return reinterpret_cast<KV_Event*>(&g_event); };
  api.SetEvent = [](KV_Event*) { return KV_OK; };
  api.CloseEvent = [](KV_Event*) { return KV_OK; };
  api.WaitAnyEvent = [](KV_Event* const*, int32_t, int32_t, int32_t* index) {
    *index = 1;  // the watch's own stop: it ends at once
    return KV_OK;
  };
  api.CreatePhone = [](int32_t) { return PhoneHandle{1}; };
  api.ReleasePhone = Plain;
  api.SetProperty = [](PhoneHandle, int32_t, int32_t, int32_t) { return KV_OK; };
  api.BeginPhoneTest = [](PhoneHandle, const PortChannel* c) {
    return c != nullptr && c->port == 3 ? KV_OK : KV_ERR_PORT_OPEN;
  };
  api.EndPhoneTest = Plain;
  api.EnterModeProcess = [](PhoneHandle, int32_t, int32_t, int32_t, KV_Event* e, int32_t) {
    return e != nullptr ? KV_OK : KV_ERR_BAD_ARGUMENT;
  };
  api.StopModeProcess = Plain;
  api.GetUsbPort = [](PhoneHandle) { return 3; };
  api.Write = [](PhoneHandle, const uint8_t* data, int32_t length) {
    volatile uint8_t c = data != nullptr && length > 0 ? data[length - 1] : 0;
    (void)c;
    return KV_OK;
  };
  api.GetMsVersion = Text;
  api.FastReadVersion = Text;
  api.GetAPVersion = Text;
  api.SendATCommand = [](PhoneHandle, const char* command, int32_t, char* reply, int32_t capacity,
                         int32_t* length, int32_t) {
    if (command != nullptr) {
      volatile std::size_t n = std::strlen(command);
      (void)n;
    }
    Fill(reply, capacity);
    if (length != nullptr) *length = capacity > 0 ? capacity - 1 : 0;
    return KV_OK;
  };
  api.FastReadNvInfo = [](PhoneHandle, NvInfoRecord* r) {
    if (r != nullptr) std::memset(r->wifi, 'B', sizeof(r->wifi) - 1);
    return KV_OK;
  };
  api.FastWriteNvInfo = Record;
  api.NvWriteDirect = Record;
  api.ReadSN = [](PhoneHandle, int32_t, char* buffer, int32_t size) {
    if (buffer != nullptr && size > 0) std::memset(buffer, 'S', static_cast<std::size_t>(size));
    return KV_OK;
  };
  api.WriteSN = [](PhoneHandle, int32_t, const char* text, int32_t length) {
    volatile char c = text != nullptr && length > 0 ? text[length - 1] : 0;
    (void)c;
    return KV_OK;
  };
  api.SetUsbAutoMode = [](PhoneHandle, int32_t) { return KV_OK; };
  api.ReadCURef = Text;
  api.WriteCURef = [](PhoneHandle, const char* buffer, int32_t size) {
    volatile char c = buffer != nullptr && size > 0 ? buffer[size - 1] : 0;
    (void)c;
    return KV_OK;
  };
  api.ReadSecureBoot = [](PhoneHandle, SecureBootItem* item, int32_t) {
    if (item != nullptr) item->value = 7;
    return KV_OK;
  };
  api.WriteSecureBoot = [](PhoneHandle, const SecureBootItem*, int32_t) { return KV_OK; };
  api.EnableSecureBoot = Plain;
  api.PowerOff = Plain;
  api.ReadStationRecord = [](PhoneHandle, uint8_t* buffer, int32_t capacity, int32_t* length) {
    const int32_t n = capacity < KV_MAX_STATION_RECORD ? capacity : KV_MAX_STATION_RECORD;
    if (buffer != nullptr && n > 0) std::memset(buffer, 0x5A, static_cast<std::size_t>(n));
    if (length != nullptr) *length = n > 0 ? n : 0;
    return KV_OK;
  };
  api.WriteStationRecord = [](PhoneHandle, const uint8_t* data, int32_t length) {
    volatile uint8_t c = data != nullptr && length > 0 ? data[length - 1] : 0;
    (void)c;
    return KV_OK;
  };
  api.GetRequestCounts = [](PhoneHandle, uint64_t* r, uint64_t* t) {
    *r = 1;
    *t = 0;
    return KV_OK;
  };
  return api;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const PhoneApi api = Stubs();
  host::FrameReader reader;
  std::vector<host::Frame> frames;
  const std::size_t step = size ? 1 + data[0] % 97 : 1;
  for (std::size_t at = 0; at < size; at += step) {
    if (!reader.Feed(data + at, size - at < step ? size - at : step, &frames)) break;
  }
  std::vector<std::vector<std::uint8_t>> sent;
  {
    host::HostServer server(
        api,
        [&sent](const std::vector<std::uint8_t>& bytes) {
          sent.push_back(bytes);
          return true;
        },
        false);
    for (const host::Frame& f : frames) {
      std::vector<std::uint8_t> bytes;
      host::AppendFrame(&bytes, f.kind, f.code, f.id, f.payload.data(), f.payload.size());
      host::FrameReader again;
      std::vector<host::Frame> out;
      if (!again.Feed(bytes.data(), bytes.size(), &out) || out.size() != 1 ||
          out[0].payload != f.payload || out[0].code != f.code || out[0].id != f.id ||
          out[0].kind != f.kind) {
        std::abort();
      }
      if (f.kind == host::FrameKind::kNote) {
        host::Hello hello;
        host::DecodeHello(f.payload, &hello);
      }
      server.Take(f);
    }
  }
  for (const std::vector<std::uint8_t>& bytes : sent) {
    host::FrameReader back;
    std::vector<host::Frame> out;
    if (!back.Feed(bytes.data(), bytes.size(), &out) || out.size() != 1) std::abort();
    if (out[0].kind == host::FrameKind::kAnswer) {
      host::Reader r(out[0].payload);
      host::GetAnswerHead(&r);
      if (!r.ok()) std::abort();
    }
  }
  return 0;
}
