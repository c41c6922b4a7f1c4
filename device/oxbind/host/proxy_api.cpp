// The KV_ calls of libkestrel-phone-proxy: each one's arguments put on the channel, its
// outputs taken from the host's answer into the caller's buffers (as the hosted library left
// the zeroed buffers it was given). The events are the proxy's own (event_api.cpp): the
// station waits on them here, and the one a mode process sets is relayed from the host.
#include "device/oxbind/host/phone_proxy.h"
#include "device/oxbind/host/proxy.h"
#include "device/oxbind/oxbind.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using kestrel::device::oxbind::host::Call;
using kestrel::device::oxbind::host::kMaxBuffer;
using kestrel::device::oxbind::host::Proxy;
using kestrel::device::oxbind::host::Reader;
using kestrel::device::oxbind::host::Writer;

namespace {

Proxy& P() {
  return Proxy::Instance();
}

bool TooBig(int32_t size) {
  return size > static_cast<int32_t>(kMaxBuffer);
}

// What the library left in a buffer of `size` bytes, into the caller's.
void CopyOut(Reader* r, void* buffer, int32_t size) {
  const std::vector<uint8_t> bytes = r->Bytes();
  if (buffer == nullptr || size <= 0 || !r->ok()) return;
  std::memset(buffer, 0, static_cast<std::size_t>(size));
  if (!bytes.empty()) {
    std::memcpy(buffer, bytes.data(), std::min(bytes.size(), static_cast<std::size_t>(size)));
  }
}

int32_t TextCall(Call call, PhoneHandle h, char* buffer, int32_t size) {
  if (TooBig(size)) return KV_ERR_BAD_ARGUMENT;
  Writer w;
  w.U8(buffer != nullptr ? 1 : 0);
  w.I32(size);
  std::vector<uint8_t> out;
  bool answered = false;
  const int32_t r = P().Invoke(h, call, w.bytes(), &out, &answered);
  if (answered) {
    Reader in(out);
    CopyOut(&in, buffer, size);
  }
  return r;
}

// A block call: (h, has buffer, the `size` bytes, size).
int32_t BlockCall(Call call, PhoneHandle h, const void* data, int32_t size) {
  if (TooBig(size)) return KV_ERR_BAD_ARGUMENT;
  Writer w;
  w.U8(data != nullptr ? 1 : 0);
  w.Bytes(data, data != nullptr && size > 0 ? static_cast<std::size_t>(size) : 0);
  w.I32(size);
  return P().Invoke(h, call, w.bytes(), nullptr);
}

int32_t Plain(Call call, PhoneHandle h) {
  return P().Invoke(h, call, {}, nullptr);
}

// A record call's request: (has record, the record or zeros).
Writer RecordRequest(const NvInfoRecord* record) {
  Writer w;
  NvInfoRecord copy;
  std::memset(&copy, 0, sizeof(copy));
  if (record != nullptr) copy = *record;
  w.U8(record != nullptr ? 1 : 0);
  w.Raw(&copy, sizeof(copy));
  return w;
}

int32_t RecordCall(Call call, PhoneHandle h, const NvInfoRecord* record) {
  return P().Invoke(h, call, RecordRequest(record).bytes(), nullptr);
}

void PutText(char* to, int32_t capacity, const std::string& text) {
  if (to == nullptr || capacity <= 0) return;
  const std::size_t n = std::min(text.size(), static_cast<std::size_t>(capacity) - 1);
  std::memcpy(to, text.data(), n);
  to[n] = 0;
}

}  // namespace

extern "C" {

KV_API int32_t KVP_Open(const char* hostProgram, const char* library, char* error,
                        int32_t errorCapacity) {
  PutText(error, errorCapacity, "");
  if (hostProgram == nullptr || library == nullptr) return KV_ERR_BAD_ARGUMENT;
  std::string why;
  const int32_t r = P().Open(hostProgram, library, &why);
  PutText(error, errorCapacity, why);
  return r;
}

KV_API int32_t KVP_HasCall(const char* name) {
  const int call = kestrel::device::oxbind::host::CallForName(name);
  return call >= 0 && P().Has(static_cast<Call>(call)) ? 1 : 0;
}

KV_API int32_t KVP_LibraryPath(char* path, int32_t capacity) {
  const std::string p = P().LibraryPath();
  PutText(path, capacity, p);
  return static_cast<int32_t>(p.size());
}

KV_API int32_t KVP_TakeHostNotes(char* text, int32_t capacity) {
  const std::string notes = P().TakeNotes();
  PutText(text, capacity, notes);
  return static_cast<int32_t>(notes.size());
}

KV_API int32_t KVP_HostProcessId(void) {
  return P().HostProcessId();
}

KV_API int32_t KV_GetLibraryInfo(KV_LibraryInfo* info) {
  if (info == nullptr) return KV_ERR_BAD_ARGUMENT;
  std::memset(info, 0, sizeof(*info));
  return P().Info(info);
}

KV_API PhoneHandle KV_CreatePhone(int32_t reserved) {
  return P().CreatePhone(reserved);
}

KV_API int32_t KV_ReleasePhone(PhoneHandle h) {
  return P().ReleasePhone(h);
}

KV_API int32_t KV_SetProperty(PhoneHandle h, int32_t id, int32_t arg1, int32_t arg2) {
  return P().SetProperty(h, id, arg1, arg2);
}

KV_API int32_t KV_BeginPhoneTest(PhoneHandle h, const PortChannel* channel) {
  Writer w;
  w.U8(channel != nullptr ? 1 : 0);
  w.I32(channel != nullptr ? channel->type : 0);
  w.I32(channel != nullptr ? channel->port : 0);
  w.I32(channel != nullptr ? channel->baudRate : 0);
  return P().Invoke(h, Call::kBeginPhoneTest, w.bytes(), nullptr);
}

KV_API int32_t KV_EndPhoneTest(PhoneHandle h) {
  return P().Cancel(h, Call::kEndPhoneTest);
}

KV_API int32_t KV_EnterModeProcess(PhoneHandle h, int32_t byUsb, int32_t dutPort, int32_t mode,
                                   KV_Event* arrived, int32_t reserved) {
  return P().EnterModeProcess(h, byUsb, dutPort, mode, arrived, reserved);
}

KV_API int32_t KV_StopModeProcess(PhoneHandle h) {
  return P().Cancel(h, Call::kStopModeProcess);
}

KV_API int32_t KV_GetUsbPort(PhoneHandle h) {
  bool answered = false;
  const int32_t port = P().Invoke(h, Call::kGetUsbPort, {}, nullptr, &answered);
  return answered ? port : -1;
}

KV_API int32_t KV_Write(PhoneHandle h, const uint8_t* data, int32_t length) {
  return BlockCall(Call::kWrite, h, data, length);
}

KV_API int32_t KV_GetMsVersion(PhoneHandle h, char* buffer, int32_t size) {
  return TextCall(Call::kGetMsVersion, h, buffer, size);
}

KV_API int32_t KV_FastReadVersion(PhoneHandle h, char* buffer, int32_t size) {
  return TextCall(Call::kFastReadVersion, h, buffer, size);
}

KV_API int32_t KV_GetAPVersion(PhoneHandle h, char* buffer, int32_t size) {
  return TextCall(Call::kGetAPVersion, h, buffer, size);
}

KV_API int32_t KV_SendATCommand(PhoneHandle h, const char* command, int32_t waitReply, char* reply,
                                int32_t replyCapacity, int32_t* replyLength, int32_t timeoutMs) {
  if (TooBig(replyCapacity)) return KV_ERR_BAD_ARGUMENT;
  const std::size_t length = command != nullptr ? strnlen(command, kMaxBuffer + 1) : 0;
  if (length > kMaxBuffer) return KV_ERR_BAD_ARGUMENT;
  Writer w;
  w.U8(command != nullptr ? 1 : 0);
  w.Bytes(command, length);
  w.I32(waitReply);
  w.U8(reply != nullptr ? 1 : 0);
  w.I32(replyCapacity);
  w.U8(replyLength != nullptr ? 1 : 0);
  w.I32(timeoutMs);  // last: the proxy bounds the call by it
  std::vector<uint8_t> out;
  bool answered = false;
  const int32_t r = P().Invoke(h, Call::kSendATCommand, w.bytes(), &out, &answered);
  if (answered) {
    Reader in(out);
    const int32_t n = in.I32();
    if (replyLength != nullptr && in.ok()) *replyLength = n;
    CopyOut(&in, reply, replyCapacity);
  } else if (replyLength != nullptr) {
    *replyLength = 0;
  }
  return r;
}

KV_API int32_t KV_FastReadNvInfo(PhoneHandle h, NvInfoRecord* record) {
  std::vector<uint8_t> out;
  bool answered = false;
  const int32_t r =
      P().Invoke(h, Call::kFastReadNvInfo, RecordRequest(record).bytes(), &out, &answered);
  if (answered && record != nullptr) {
    Reader in(out);
    NvInfoRecord copy{};
    in.Raw(&copy, sizeof(copy));
    if (in.ok()) *record = copy;
  }
  return r;
}

KV_API int32_t KV_FastWriteNvInfo(PhoneHandle h, const NvInfoRecord* record) {
  return RecordCall(Call::kFastWriteNvInfo, h, record);
}

KV_API int32_t KV_NvWriteDirect(PhoneHandle h, const NvInfoRecord* record) {
  return RecordCall(Call::kNvWriteDirect, h, record);
}

KV_API int32_t KV_ReadSN(PhoneHandle h, int32_t isSn1, char* buffer, int32_t size) {
  if (TooBig(size)) return KV_ERR_BAD_ARGUMENT;
  Writer w;
  w.I32(isSn1);
  w.U8(buffer != nullptr ? 1 : 0);
  w.I32(size);
  std::vector<uint8_t> out;
  bool answered = false;
  const int32_t r = P().Invoke(h, Call::kReadSN, w.bytes(), &out, &answered);
  if (answered) {
    Reader in(out);
    CopyOut(&in, buffer, size);
  }
  return r;
}

KV_API int32_t KV_WriteSN(PhoneHandle h, int32_t isSn1, const char* text, int32_t length) {
  if (TooBig(length)) return KV_ERR_BAD_ARGUMENT;
  Writer w;
  w.I32(isSn1);
  w.U8(text != nullptr ? 1 : 0);
  // The text up to its terminator (the host pads it with zeros to `length`).
  w.Bytes(text,
          text != nullptr && length > 0 ? strnlen(text, static_cast<std::size_t>(length)) : 0);
  w.I32(length);
  return P().Invoke(h, Call::kWriteSN, w.bytes(), nullptr);
}

KV_API int32_t KV_SetUsbAutoMode(PhoneHandle h, int32_t on) {
  Writer w;
  w.I32(on);
  return P().Invoke(h, Call::kSetUsbAutoMode, w.bytes(), nullptr);
}

KV_API int32_t KV_ReadCURef(PhoneHandle h, char* buffer, int32_t size) {
  return TextCall(Call::kReadCURef, h, buffer, size);
}

KV_API int32_t KV_WriteCURef(PhoneHandle h, const char* buffer, int32_t size) {
  return BlockCall(Call::kWriteCURef, h, buffer, size);
}

KV_API int32_t KV_ReadSecureBoot(PhoneHandle h, SecureBootItem* item, int32_t size) {
  SecureBootItem copy{};
  if (item != nullptr) std::memcpy(&copy, item, sizeof(copy));
  Writer w;
  w.U8(item != nullptr ? 1 : 0);
  w.Raw(&copy, sizeof(copy));
  w.I32(size);
  std::vector<uint8_t> out;
  bool answered = false;
  const int32_t r = P().Invoke(h, Call::kReadSecureBoot, w.bytes(), &out, &answered);
  if (answered && item != nullptr) {
    Reader in(out);
    in.Raw(&copy, sizeof(copy));
    if (in.ok()) std::memcpy(item, &copy, sizeof(copy));
  }
  return r;
}

KV_API int32_t KV_WriteSecureBoot(PhoneHandle h, const SecureBootItem* item, int32_t size) {
  SecureBootItem copy{};
  if (item != nullptr) std::memcpy(&copy, item, sizeof(copy));
  Writer w;
  w.U8(item != nullptr ? 1 : 0);
  w.Raw(&copy, sizeof(copy));
  w.I32(size);
  return P().Invoke(h, Call::kWriteSecureBoot, w.bytes(), nullptr);
}

KV_API int32_t KV_EnableSecureBoot(PhoneHandle h) {
  return Plain(Call::kEnableSecureBoot, h);
}

KV_API int32_t KV_PowerOff(PhoneHandle h) {
  return Plain(Call::kPowerOff, h);
}

KV_API int32_t KV_ReadStationRecord(PhoneHandle h, uint8_t* buffer, int32_t capacity,
                                    int32_t* length) {
  const int32_t asked = std::min(capacity, static_cast<int32_t>(kMaxBuffer));
  Writer w;
  w.U8(buffer != nullptr ? 1 : 0);
  w.I32(asked);
  w.U8(length != nullptr ? 1 : 0);
  std::vector<uint8_t> out;
  bool answered = false;
  const int32_t r = P().Invoke(h, Call::kReadStationRecord, w.bytes(), &out, &answered);
  if (length != nullptr) *length = 0;
  if (answered) {
    Reader in(out);
    const int32_t n = in.I32();
    const std::vector<uint8_t> block = in.Bytes();
    if (in.ok()) {
      if (length != nullptr) *length = n;
      if (buffer != nullptr && asked > 0 && !block.empty()) {
        std::memcpy(buffer, block.data(), std::min(block.size(), static_cast<std::size_t>(asked)));
      }
    }
  }
  return r;
}

KV_API int32_t KV_WriteStationRecord(PhoneHandle h, const uint8_t* data, int32_t length) {
  return BlockCall(Call::kWriteStationRecord, h, data, length);
}

KV_API int32_t KV_GetRequestCounts(PhoneHandle h, uint64_t* requests, uint64_t* retransmissions) {
  if (requests != nullptr) *requests = 0;
  if (retransmissions != nullptr) *retransmissions = 0;
  if (requests == nullptr || retransmissions == nullptr) return KV_ERR_BAD_ARGUMENT;
  return P().RequestCounts(h, requests, retransmissions);
}

}  // extern "C"
