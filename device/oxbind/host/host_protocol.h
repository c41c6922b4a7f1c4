// The channel between the phone-library proxy (in the station's process) and
// kestrel-phone-host (the process that holds a maker's library): frames and their payloads.
// HOST.md beside this file describes it; both ends are this code, so the layout is private
// and may change with the station. Pure data handling, no I/O.
//
// A frame: its length (32 bits, little-endian, the bytes after the length field), a kind, a
// code and an id, then the payload. Calls go from the proxy to the host, answers back with
// the id of their call; notes come from the host unasked (the hello, an event set by a mode
// process).
#pragma once

#include "device/oxbind_loader/phone_api.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::device::oxbind::host {

// Every KV_ call of the interface, numbered in the order of phone_api.h's lists (the calls
// a library must have, then the optional ones). The number is a call's code on the channel
// and its bit in the mask of calls a library has.
enum class Call : std::uint16_t {
#define KESTREL_HOST_CALL(name) k##name,
  KESTREL_OXBIND_REQUIRED_CALLS(KESTREL_HOST_CALL) KESTREL_OXBIND_OPTIONAL_CALLS(KESTREL_HOST_CALL)
#undef KESTREL_HOST_CALL
      kCount
};
constexpr int kCallCount = static_cast<int>(Call::kCount);
static_assert(kCallCount <= 64, "the mask of calls is 64 bits");

// "KV_GetMsVersion" for Call::kGetMsVersion; empty for a number out of range.
std::string CallName(int call);
// The number of a call by its name ("KV_ReadStationRecord"), or -1.
int CallForName(const char* name);
constexpr std::uint64_t CallBit(Call c) {
  return std::uint64_t{1} << static_cast<int>(c);
}
// The calls that cancel another in progress (they may come while it is blocked).
constexpr bool IsCancel(Call c) {
  return c == Call::kEndPhoneTest || c == Call::kStopModeProcess;
}

enum class FrameKind : std::uint8_t { kCall = 1, kAnswer = 2, kNote = 3 };

enum class Note : std::uint16_t {
  kHello = 1,     // the host has loaded the library (or failed to): see Hello
  kEventSet = 2,  // payload u32: the mode process (its id in the call) set its event
};

// Buffers a call hands over (text, records, station-record blocks) hold at most this much.
constexpr std::size_t kMaxBuffer = 256 * 1024;
constexpr std::size_t kMaxPayload = kMaxBuffer + 4096;
constexpr std::size_t kFrameHeader = 12;  // length (4), kind, zero, code (2), id (4)

struct Frame {
  FrameKind kind = FrameKind::kCall;
  std::uint16_t code = 0;
  std::uint32_t id = 0;
  std::vector<std::uint8_t> payload;
};

// Appends the frame's bytes to *out. The payload must not exceed kMaxPayload.
void AppendFrame(std::vector<std::uint8_t>* out, FrameKind kind, std::uint16_t code,
                 std::uint32_t id, const std::uint8_t* payload, std::size_t size);

// Splits the channel's byte stream into frames.
class FrameReader {
 public:
  // Appends every complete frame of the bytes to *out. False once the stream cannot be this
  // channel (a length out of bounds, an unknown kind): nothing more is taken from it.
  bool Feed(const std::uint8_t* data, std::size_t size, std::vector<Frame>* out);

 private:
  std::vector<std::uint8_t> pending_;
  bool broken_ = false;
};

// Little-endian payload writing.
class Writer {
 public:
  void U8(std::uint8_t v) { bytes_.push_back(v); }
  void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
  void U32(std::uint32_t v);
  void U64(std::uint64_t v);
  // A length (u32) and the bytes.
  void Bytes(const void* data, std::size_t size);
  void Text(const std::string& text) { Bytes(text.data(), text.size()); }
  // Bytes without a length (a record of fixed size).
  void Raw(const void* data, std::size_t size);
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Little-endian payload reading. A read past the end (or a length over its bound) yields
// zeros and leaves ok() false for good.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  explicit Reader(const std::vector<std::uint8_t>& v) : Reader(v.data(), v.size()) {}
  std::uint8_t U8();
  std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
  std::uint32_t U32();
  std::uint64_t U64();
  // A length and that many bytes, the length at most `max`.
  std::vector<std::uint8_t> Bytes(std::size_t max = kMaxBuffer);
  std::string Text(std::size_t max = 4096);
  // `size` bytes without a length into `to`.
  void Raw(void* to, std::size_t size);
  bool ok() const { return ok_; }

 private:
  const std::uint8_t* Take(std::size_t n);

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

// The host's first note: whether the library loaded, what it is and which calls it has.
struct Hello {
  std::int32_t status = 0;  // 0: loaded; otherwise `error` says why not, and the host ends
  std::string error;
  std::int32_t infoResult = 0;  // what KV_GetLibraryInfo answered
  KV_LibraryInfo info{};
  std::uint64_t calls = 0;  // CallBit of each call the library has
  std::string path;         // the file the system's loader took it from
  std::int32_t processId = 0;
};
std::vector<std::uint8_t> EncodeHello(const Hello& hello);
bool DecodeHello(const std::vector<std::uint8_t>& payload, Hello* hello);

// An answer begins with the call's result and the handle's request counters (when the library
// keeps them); the call's outputs follow.
struct AnswerHead {
  std::int32_t result = 0;
  bool counted = false;
  std::uint64_t requests = 0;
  std::uint64_t retransmissions = 0;
};
constexpr std::size_t kAnswerHeadSize = 21;
void PutAnswerHead(Writer* w, const AnswerHead& head);
AnswerHead GetAnswerHead(Reader* r);

// The environment a phone library may look at that the station sets after its host started:
// the station folder (KESTREL_STATION_DIR, whose ports/ is the port map). It travels with the
// calls that look for ports (KV_CreatePhone, KV_BeginPhoneTest, KV_EnterModeProcess), ahead of
// their arguments.
struct Environment {
  bool stationDirSet = false;
  std::string stationDir;
};
void PutEnvironment(Writer* w, const Environment& env);
Environment GetEnvironment(Reader* r);
constexpr bool CarriesEnvironment(Call c) {
  return c == Call::kCreatePhone || c == Call::kBeginPhoneTest || c == Call::kEnterModeProcess;
}

}  // namespace kestrel::device::oxbind::host
