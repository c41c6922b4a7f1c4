// The KV_ calls: argument checks and the translation between the C records and the
// request payloads of PROTOCOL.md.
#include "device/oxbind/oxbind.h"
#include "device/oxbind/phone.h"
#include "device/oxbind/wire_protocol.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace wire = kestrel::device::oxbind::wire;
using kestrel::device::oxbind::FindPhone;

namespace {

constexpr int32_t kSnBytes = 24;
constexpr int32_t kCuBytes = 24;
constexpr int32_t kMaxAtCommandBytes = 4096;
constexpr int32_t kNvWireBytes = static_cast<int32_t>(sizeof(NvInfoRecord));

// Runs one request on a live handle.
int32_t Request(PhoneHandle h, uint16_t command, const std::vector<uint8_t>& payload,
                std::vector<uint8_t>* data, int attemptTimeoutMs = 0) {
  auto phone = FindPhone(h);
  if (!phone) return KV_ERR_INVALID_HANDLE;
  return phone->Call(command, payload, data, attemptTimeoutMs);
}

// Copies a text reply into a caller's buffer: zero-filled, at most size - 1 bytes, up to the
// first NUL of the reply, always terminated.
void CopyText(const std::vector<uint8_t>& data, char* buffer, int32_t size) {
  std::memset(buffer, 0, static_cast<std::size_t>(size));
  std::size_t n = 0;
  const std::size_t limit = static_cast<std::size_t>(size) - 1;
  while (n < data.size() && n < limit && data[n] != 0) ++n;
  if (n > 0) std::memcpy(buffer, data.data(), n);
}

// Copies a fixed-size reply (serial number, CU reference) into a caller's buffer: zero-filled,
// at most size bytes. A reply filling the whole buffer carries no terminator, as the
// contract allows for these 24-byte items.
void CopyBytes(const std::vector<uint8_t>& data, char* buffer, int32_t size) {
  std::memset(buffer, 0, static_cast<std::size_t>(size));
  const std::size_t n = std::min(data.size(), static_cast<std::size_t>(size));
  if (n > 0) std::memcpy(buffer, data.data(), n);
}

std::vector<uint8_t> RecordBytes(const NvInfoRecord* record) {
  const auto* p = reinterpret_cast<const uint8_t*>(record);
  return std::vector<uint8_t>(p, p + sizeof(NvInfoRecord));
}

void CopyField(char* to, const uint8_t* from, std::size_t size) {
  std::memcpy(to, from, size);
  to[size - 1] = 0;  // a device that filled the field still leaves a terminated text
}

int32_t TextCall(PhoneHandle h, uint16_t command, char* buffer, int32_t size) {
  if (!buffer || size <= 0) return KV_ERR_BAD_ARGUMENT;
  std::vector<uint8_t> data;
  const int32_t r = Request(h, command, {}, &data);
  if (r != KV_OK) return r;
  CopyText(data, buffer, size);
  return KV_OK;
}

int32_t WriteRecord(PhoneHandle h, uint16_t command, const NvInfoRecord* record) {
  if (!record) return KV_ERR_BAD_ARGUMENT;
  return Request(h, command, RecordBytes(record), nullptr);
}

}  // namespace

extern "C" {

int32_t KV_SetProperty(PhoneHandle h, int32_t id, int32_t arg1, int32_t arg2) {
  auto phone = FindPhone(h);
  return phone ? phone->SetProperty(id, arg1, arg2) : KV_ERR_INVALID_HANDLE;
}

int32_t KV_BeginPhoneTest(PhoneHandle h, const PortChannel* channel) {
  auto phone = FindPhone(h);
  return phone ? phone->Begin(channel) : KV_ERR_INVALID_HANDLE;
}

int32_t KV_EndPhoneTest(PhoneHandle h) {
  auto phone = FindPhone(h);
  return phone ? phone->End() : KV_ERR_INVALID_HANDLE;
}

int32_t KV_EnterModeProcess(PhoneHandle h, int32_t byUsb, int32_t dutPort, int32_t mode,
                            KV_Event* arrived, int32_t /*reserved*/) {
  auto phone = FindPhone(h);
  return phone ? phone->EnterModeProcess(byUsb, dutPort, mode, arrived) : KV_ERR_INVALID_HANDLE;
}

int32_t KV_StopModeProcess(PhoneHandle h) {
  auto phone = FindPhone(h);
  return phone ? phone->StopModeProcess() : KV_ERR_INVALID_HANDLE;
}

int32_t KV_GetUsbPort(PhoneHandle h) {
  auto phone = FindPhone(h);
  return phone ? phone->UsbPort() : -1;
}

int32_t KV_Write(PhoneHandle h, const uint8_t* data, int32_t length) {
  auto phone = FindPhone(h);
  return phone ? phone->WriteRaw(data, length) : KV_ERR_INVALID_HANDLE;
}

int32_t KV_GetMsVersion(PhoneHandle h, char* buffer, int32_t size) {
  return TextCall(h, wire::kGetMsVersion, buffer, size);
}

int32_t KV_FastReadVersion(PhoneHandle h, char* buffer, int32_t size) {
  return TextCall(h, wire::kFastReadVersion, buffer, size);
}

int32_t KV_GetAPVersion(PhoneHandle h, char* buffer, int32_t size) {
  return TextCall(h, wire::kGetApVersion, buffer, size);
}

int32_t KV_SendATCommand(PhoneHandle h, const char* command, int32_t waitReply, char* reply,
                         int32_t replyCapacity, int32_t* replyLength, int32_t timeoutMs) {
  if (replyLength) *replyLength = 0;
  if (!command) return KV_ERR_BAD_ARGUMENT;
  if (waitReply && (!reply || replyCapacity <= 0)) return KV_ERR_BAD_ARGUMENT;
  const std::size_t length = strnlen(command, kMaxAtCommandBytes + 1);
  if (length > static_cast<std::size_t>(kMaxAtCommandBytes)) return KV_ERR_BAD_ARGUMENT;
  const std::vector<uint8_t> payload(command, command + length);
  std::vector<uint8_t> data;
  const int32_t r = Request(h, wire::kAtCommand, payload, &data, timeoutMs > 0 ? timeoutMs : 0);
  if (r != KV_OK) return r;
  if (waitReply) {
    CopyText(data, reply, replyCapacity);
    if (replyLength) *replyLength = static_cast<int32_t>(std::strlen(reply));
  }
  return KV_OK;
}

int32_t KV_FastReadNvInfo(PhoneHandle h, NvInfoRecord* record) {
  if (!record) return KV_ERR_BAD_ARGUMENT;
  std::vector<uint8_t> payload;
  wire::PutU32(&payload, record->mask);
  std::vector<uint8_t> data;
  const int32_t r = Request(h, wire::kNvRead, payload, &data);
  if (r != KV_OK) return r;
  if (data.size() < static_cast<std::size_t>(kNvWireBytes)) return KV_ERR_BAD_REPLY;
  NvInfoRecord got;
  std::memcpy(&got, data.data(), sizeof(got));
  const uint32_t mask = record->mask;
  const auto* g = reinterpret_cast<const uint8_t*>(&got);
  if (mask & KV_NV_IMEI1) CopyField(record->imei1, g + offsetof(NvInfoRecord, imei1), 16);
  if (mask & KV_NV_IMEI2) CopyField(record->imei2, g + offsetof(NvInfoRecord, imei2), 16);
  if (mask & KV_NV_IMEI3) CopyField(record->imei3, g + offsetof(NvInfoRecord, imei3), 16);
  if (mask & KV_NV_IMEI4) CopyField(record->imei4, g + offsetof(NvInfoRecord, imei4), 16);
  if (mask & KV_NV_BT) CopyField(record->bt, g + offsetof(NvInfoRecord, bt), 13);
  if (mask & KV_NV_WIFI) CopyField(record->wifi, g + offsetof(NvInfoRecord, wifi), 13);
  return KV_OK;
}

int32_t KV_FastWriteNvInfo(PhoneHandle h, const NvInfoRecord* record) {
  return WriteRecord(h, wire::kNvFastWrite, record);
}

int32_t KV_NvWriteDirect(PhoneHandle h, const NvInfoRecord* record) {
  return WriteRecord(h, wire::kNvWriteDirect, record);
}

int32_t KV_ReadSN(PhoneHandle h, int32_t isSn1, char* buffer, int32_t size) {
  if (!buffer || size <= 0) return KV_ERR_BAD_ARGUMENT;
  const std::vector<uint8_t> payload{static_cast<uint8_t>(isSn1 ? 1 : 0)};
  std::vector<uint8_t> data;
  const int32_t r = Request(h, wire::kReadSn, payload, &data);
  if (r != KV_OK) return r;
  if (data.size() > static_cast<std::size_t>(kSnBytes)) data.resize(kSnBytes);
  CopyBytes(data, buffer, size);
  return KV_OK;
}

int32_t KV_WriteSN(PhoneHandle h, int32_t isSn1, const char* text, int32_t length) {
  if (!text || length < 0 || length > kSnBytes) return KV_ERR_BAD_ARGUMENT;
  const std::size_t n = strnlen(text, static_cast<std::size_t>(length));
  std::vector<uint8_t> payload(n + 1);
  payload[0] = static_cast<uint8_t>(isSn1 ? 1 : 0);
  if (n > 0) std::memcpy(payload.data() + 1, text, n);
  return Request(h, wire::kWriteSn, payload, nullptr);
}

int32_t KV_SetUsbAutoMode(PhoneHandle h, int32_t on) {
  return Request(h, wire::kSetUsbAutoMode, {static_cast<uint8_t>(on ? 1 : 0)}, nullptr);
}

int32_t KV_ReadCURef(PhoneHandle h, char* buffer, int32_t size) {
  if (!buffer || size <= 0) return KV_ERR_BAD_ARGUMENT;
  std::vector<uint8_t> data;
  const int32_t r = Request(h, wire::kReadCuRef, {}, &data);
  if (r != KV_OK) return r;
  if (data.size() > static_cast<std::size_t>(kCuBytes)) data.resize(kCuBytes);
  CopyBytes(data, buffer, size);
  return KV_OK;
}

int32_t KV_WriteCURef(PhoneHandle h, const char* buffer, int32_t size) {
  if (!buffer || size < 0 || size > kCuBytes) return KV_ERR_BAD_ARGUMENT;
  const std::vector<uint8_t> payload(buffer, buffer + size);
  return Request(h, wire::kWriteCuRef, payload, nullptr);
}

int32_t KV_ReadSecureBoot(PhoneHandle h, SecureBootItem* item, int32_t size) {
  if (!item || size < static_cast<int32_t>(sizeof(SecureBootItem))) return KV_ERR_BAD_ARGUMENT;
  std::vector<uint8_t> payload;
  wire::PutU16(&payload, item->index);
  std::vector<uint8_t> data;
  const int32_t r = Request(h, wire::kReadSecureBoot, payload, &data);
  if (r != KV_OK) return r;
  if (data.size() < sizeof(SecureBootItem)) return KV_ERR_BAD_REPLY;
  item->value = wire::GetU32(data.data() + 2);
  return KV_OK;
}

int32_t KV_WriteSecureBoot(PhoneHandle h, const SecureBootItem* item, int32_t size) {
  if (!item || size < static_cast<int32_t>(sizeof(SecureBootItem))) return KV_ERR_BAD_ARGUMENT;
  std::vector<uint8_t> payload;
  wire::PutU16(&payload, item->index);
  wire::PutU32(&payload, item->value);
  return Request(h, wire::kWriteSecureBoot, payload, nullptr);
}

int32_t KV_EnableSecureBoot(PhoneHandle h) {
  return Request(h, wire::kEnableSecureBoot, {}, nullptr);
}

int32_t KV_PowerOff(PhoneHandle h) {
  return Request(h, wire::kPowerOff, {}, nullptr);
}

int32_t KV_ReadStationRecord(PhoneHandle h, uint8_t* buffer, int32_t capacity, int32_t* length) {
  if (length) *length = 0;
  if (!buffer || !length || capacity < KV_MAX_STATION_RECORD) return KV_ERR_BAD_ARGUMENT;
  std::vector<uint8_t> block;
  const int32_t r = Request(h, wire::kReadStationRecord, {}, &block);
  if (r != KV_OK) return r;
  if (block.size() > static_cast<std::size_t>(KV_MAX_STATION_RECORD)) return KV_ERR_BAD_REPLY;
  // An empty record has no bytes to copy (and its vector's data() may be null).
  if (!block.empty()) std::memcpy(buffer, block.data(), block.size());
  *length = static_cast<int32_t>(block.size());
  return KV_OK;
}

int32_t KV_WriteStationRecord(PhoneHandle h, const uint8_t* data, int32_t length) {
  if (length < 0 || length > KV_MAX_STATION_RECORD || (length > 0 && !data)) {
    return KV_ERR_BAD_ARGUMENT;
  }
  const std::vector<uint8_t> payload(data, data + length);
  return Request(h, wire::kWriteStationRecord, payload, nullptr);
}

int32_t KV_GetRequestCounts(PhoneHandle h, uint64_t* requests, uint64_t* retransmissions) {
  if (requests) *requests = 0;
  if (retransmissions) *retransmissions = 0;
  if (!requests || !retransmissions) return KV_ERR_BAD_ARGUMENT;
  const std::shared_ptr<kestrel::device::oxbind::Phone> phone = FindPhone(h);
  if (!phone) return KV_ERR_INVALID_HANDLE;
  const kestrel::device::oxbind::LinkCounters c = phone->RequestCounters();
  *requests = c.requests;
  *retransmissions = c.retransmissions;
  return KV_OK;
}

}  // extern "C"
