// The phone link's framing: see PROTOCOL.md beside this file. Pure data handling, no I/O, so
// that the phone library, the phone simulator and the fuzz target share one implementation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::device::oxbind::wire {

constexpr uint8_t kFlag = 0x7E;
constexpr uint8_t kEscape = 0x7D;
constexpr uint8_t kEscapeXor = 0x20;

constexpr uint8_t kRequest = 0x00;
constexpr uint8_t kResponse = 0x01;

constexpr std::size_t kHeaderSize = 6;    // type, sequence, command (2), body length (2)
constexpr std::size_t kChecksumSize = 2;  // CRC-16/CCITT-FALSE, big-endian
constexpr std::size_t kMinBodySize = kHeaderSize + kChecksumSize;
constexpr std::size_t kMaxPayload = 20480;
constexpr std::size_t kMaxBodySize = kMinBodySize + kMaxPayload;

enum Command : uint16_t {
  kNop = 0x0000,
  kHello = 0x0001,
  kEnterMode = 0x0002,
  kGetMsVersion = 0x0010,
  kFastReadVersion = 0x0011,
  kGetApVersion = 0x0012,
  kAtCommand = 0x0020,
  kNvRead = 0x0030,
  kNvFastWrite = 0x0031,
  kNvWriteDirect = 0x0032,
  kReadSn = 0x0040,
  kWriteSn = 0x0041,
  kSetUsbAutoMode = 0x0050,
  kReadCuRef = 0x0060,
  kWriteCuRef = 0x0061,
  kReadSecureBoot = 0x0070,
  kWriteSecureBoot = 0x0071,
  kEnableSecureBoot = 0x0072,
  kPowerOff = 0x0080,
  kReadStationRecord = 0x0090,
  kWriteStationRecord = 0x0091,
};

struct Frame {
  uint8_t type = kRequest;
  uint8_t sequence = 0;
  uint16_t command = kNop;
  std::vector<uint8_t> payload;
};

uint16_t Crc16(const uint8_t* data, std::size_t size);

// The frame on the wire: flag, escaped body, flag. The payload must not exceed kMaxPayload.
std::vector<uint8_t> Encode(const Frame& frame);

// A response payload: the 32-bit little-endian result, then the data.
std::vector<uint8_t> ResponsePayload(int32_t result, const std::vector<uint8_t>& data = {});

// The 10-byte sync frame (a NOP request without checksum); the phone never answers it.
extern const uint8_t kSyncFrame[10];

// Splits a byte stream into frames. Bytes before the first flag, frames with a wrong
// checksum or length, malformed escapes and frames longer than kMaxBodySize are dropped; the
// decoder picks up again at the next flag. Memory use is bounded by kMaxBodySize.
class Decoder {
 public:
  struct Stats {
    std::size_t frames = 0;
    std::size_t badChecksum = 0;
    std::size_t malformed = 0;  // short, wrong length field, unknown type, bad escape
    std::size_t oversize = 0;
    std::size_t stray = 0;  // bytes outside any frame
  };

  // Appends every complete valid frame found in the bytes to *out.
  void Feed(const uint8_t* data, std::size_t size, std::vector<Frame>* out);
  // Forgets a partial frame; the next frame must start with a flag.
  void Reset();
  const Stats& stats() const { return stats_; }

 private:
  void Finish(std::vector<Frame>* out);

  std::vector<uint8_t> body_;
  bool inFrame_ = false;
  bool escaped_ = false;
  bool overflow_ = false;
  Stats stats_;
};

// "KV_GetMsVersion" for kGetMsVersion and so on (the call the command serves); "NOP",
// "HELLO"; "ReadStationRecord"/"WriteStationRecord" for the station-record block; empty for
// an unknown command.
std::string CommandName(uint16_t command);
// The command for a name of CommandName (also "KV_EnterModeProcess" for kEnterMode); -1 when
// there is none.
int CommandForName(const std::string& name);

// Little-endian helpers for payloads.
void PutU16(std::vector<uint8_t>* out, uint16_t v);
void PutU32(std::vector<uint8_t>* out, uint32_t v);
uint16_t GetU16(const uint8_t* p);
uint32_t GetU32(const uint8_t* p);

}  // namespace kestrel::device::oxbind::wire
