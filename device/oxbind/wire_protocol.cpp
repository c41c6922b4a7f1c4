#include "device/oxbind/wire_protocol.h"

#include <cstring>

namespace kestrel::device::oxbind::wire {

const uint8_t kSyncFrame[10] = {0x7E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x7E};

uint16_t Crc16(const uint8_t* data, std::size_t size) {
  uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < size; ++i) {
    crc = static_cast<uint16_t>(crc ^ (static_cast<uint16_t>(data[i]) << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

namespace {

void PutEscaped(std::vector<uint8_t>* out, uint8_t b) {
  if (b == kFlag || b == kEscape) {
    out->push_back(kEscape);
    out->push_back(static_cast<uint8_t>(b ^ kEscapeXor));
  } else {
    out->push_back(b);
  }
}

}  // namespace

std::vector<uint8_t> Encode(const Frame& frame) {
  const std::size_t payloadSize =
      frame.payload.size() > kMaxPayload ? kMaxPayload : frame.payload.size();
  const std::size_t bodySize = kMinBodySize + payloadSize;
  std::vector<uint8_t> body;
  body.reserve(bodySize);
  body.push_back(frame.type);
  body.push_back(frame.sequence);
  body.push_back(static_cast<uint8_t>(frame.command >> 8));
  body.push_back(static_cast<uint8_t>(frame.command & 0xFF));
  body.push_back(static_cast<uint8_t>(bodySize >> 8));
  body.push_back(static_cast<uint8_t>(bodySize & 0xFF));
  body.insert(body.end(), frame.payload.begin(),
              frame.payload.begin() + static_cast<std::ptrdiff_t>(payloadSize));
  const uint16_t crc = Crc16(body.data(), body.size());
  body.push_back(static_cast<uint8_t>(crc >> 8));
  body.push_back(static_cast<uint8_t>(crc & 0xFF));

  std::vector<uint8_t> out;
  out.reserve(body.size() + body.size() / 16 + 4);
  out.push_back(kFlag);
  for (uint8_t b : body) PutEscaped(&out, b);
  out.push_back(kFlag);
  return out;
}

std::vector<uint8_t> ResponsePayload(int32_t result, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> out;
  out.reserve(4 + data.size());
  PutU32(&out, static_cast<uint32_t>(result));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

void Decoder::Reset() {
  body_.clear();
  inFrame_ = false;
  escaped_ = false;
  overflow_ = false;
}

void Decoder::Feed(const uint8_t* data, std::size_t size, std::vector<Frame>* out) {
  for (std::size_t i = 0; i < size; ++i) {
    uint8_t b = data[i];
    if (b == kFlag) {
      if (inFrame_) Finish(out);
      body_.clear();
      inFrame_ = true;
      escaped_ = false;
      overflow_ = false;
      continue;
    }
    if (!inFrame_) {
      ++stats_.stray;
      continue;
    }
    if (escaped_) {
      escaped_ = false;
      b = static_cast<uint8_t>(b ^ kEscapeXor);
    } else if (b == kEscape) {
      escaped_ = true;
      continue;
    }
    if (body_.size() >= kMaxBodySize) {
      overflow_ = true;
      continue;
    }
    body_.push_back(b);
  }
}

void Decoder::Finish(std::vector<Frame>* out) {
  if (overflow_) {
    ++stats_.oversize;
    return;
  }
  if (body_.empty()) return;  // two flags in a row: a separator
  if (escaped_ || body_.size() < kMinBodySize) {
    ++stats_.malformed;
    return;
  }
  const uint8_t type = body_[0];
  const uint16_t command = static_cast<uint16_t>((body_[2] << 8) | body_[3]);
  const std::size_t length = static_cast<std::size_t>((body_[4] << 8) | body_[5]);
  if (length != body_.size() || (type != kRequest && type != kResponse)) {
    ++stats_.malformed;
    return;
  }
  const std::size_t crcAt = body_.size() - kChecksumSize;
  const uint16_t sent = static_cast<uint16_t>((body_[crcAt] << 8) | body_[crcAt + 1]);
  const bool unchecked =
      sent == 0 && type == kRequest && command == kNop && body_.size() == kMinBodySize;
  if (!unchecked && Crc16(body_.data(), crcAt) != sent) {
    ++stats_.badChecksum;
    return;
  }
  Frame f;
  f.type = type;
  f.sequence = body_[1];
  f.command = command;
  f.payload.assign(body_.begin() + kHeaderSize, body_.begin() + static_cast<std::ptrdiff_t>(crcAt));
  ++stats_.frames;
  out->push_back(std::move(f));
}

namespace {

struct NamedCommand {
  uint16_t command;
  const char* name;
};

const NamedCommand kNames[] = {
    {kNop, "NOP"},
    {kHello, "HELLO"},
    {kEnterMode, "KV_EnterModeProcess"},
    {kGetMsVersion, "KV_GetMsVersion"},
    {kFastReadVersion, "KV_FastReadVersion"},
    {kGetApVersion, "KV_GetAPVersion"},
    {kAtCommand, "KV_SendATCommand"},
    {kNvRead, "KV_FastReadNvInfo"},
    {kNvFastWrite, "KV_FastWriteNvInfo"},
    {kNvWriteDirect, "KV_NvWriteDirect"},
    {kReadSn, "KV_ReadSN"},
    {kWriteSn, "KV_WriteSN"},
    {kSetUsbAutoMode, "KV_SetUsbAutoMode"},
    {kReadCuRef, "KV_ReadCURef"},
    {kWriteCuRef, "KV_WriteCURef"},
    {kReadSecureBoot, "KV_ReadSecureBoot"},
    {kWriteSecureBoot, "KV_WriteSecureBoot"},
    {kEnableSecureBoot, "KV_EnableSecureBoot"},
    {kPowerOff, "KV_PowerOff"},
    {kReadStationRecord, "ReadStationRecord"},
    {kWriteStationRecord, "WriteStationRecord"},
};

}  // namespace

std::string CommandName(uint16_t command) {
  for (const NamedCommand& n : kNames) {
    if (n.command == command) return n.name;
  }
  return {};
}

int CommandForName(const std::string& name) {
  for (const NamedCommand& n : kNames) {
    if (name == n.name) return n.command;
  }
  return -1;
}

void PutU16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v & 0xFF));
  out->push_back(static_cast<uint8_t>(v >> 8));
}

void PutU32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xFF));
}

uint16_t GetU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace kestrel::device::oxbind::wire
