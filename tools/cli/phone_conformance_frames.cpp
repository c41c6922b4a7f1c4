// The conformance check's rows that need frames the phone library never sends: HELLO, an
// unknown command, wrong lengths, a bad checksum, an oversize frame, a frame split over many
// writes, a repeated sequence number, bytes between frames, the sync frame and a response
// sent to the phone. Frames are made with the wire codec and written to the port's device.
// A frame the phone must not answer is followed at once by a regular request: the phone
// answers in order, so an answer to the first would come before the second's.
#include "device/oxbind/wire_protocol.h"
#include "tools/cli/phone_conformance_checks.h"

#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <thread>

namespace kestrel::cli {
namespace {

namespace wire = device::oxbind::wire;
using Bytes = std::vector<uint8_t>;

int64_t NowMs() {
  return ConformanceNowMs();
}

// The phone's line: raw 8N1 at 115200 baud, every wait bounded.
class RawLine {
 public:
  explicit RawLine(const QString& device) {
    if (device.isEmpty()) return;
    fd_ = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return;
    termios tio{};
    if (::tcgetattr(fd_, &tio) == 0) {
      ::cfmakeraw(&tio);
      ::cfsetispeed(&tio, B115200);
      ::cfsetospeed(&tio, B115200);
      tio.c_cflag |= CLOCAL | CREAD;
      ::tcsetattr(fd_, TCSANOW, &tio);
    }
    ::tcflush(fd_, TCIOFLUSH);
  }
  ~RawLine() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawLine(const RawLine&) = delete;
  RawLine& operator=(const RawLine&) = delete;

  bool open() const { return fd_ >= 0; }

  bool Write(const Bytes& bytes) {
    std::size_t done = 0;
    const int64_t deadline = NowMs() + 5000;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        if (NowMs() > deadline) return false;
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 50);
      } else {
        return false;
      }
    }
    return true;
  }

  // The response frames that arrive until one answers (sequence, command) or the time-out
  // passes (counted from now, stretched while bytes keep coming, as the library does).
  std::vector<wire::Frame> Collect(uint8_t sequence, uint16_t command, int timeoutMs,
                                   bool* answered) {
    std::vector<wire::Frame> frames;
    *answered = false;
    int64_t deadline = NowMs() + timeoutMs;
    uint8_t buffer[4096];
    while (!*answered) {
      const int64_t left = deadline - NowMs();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      deadline = std::max(deadline, NowMs() + 100);
      std::vector<wire::Frame> got;
      decoder_.Feed(buffer, static_cast<std::size_t>(n), &got);
      for (wire::Frame& f : got) {
        if (f.type != wire::kResponse) continue;
        *answered = *answered || (f.sequence == sequence && f.command == command);
        frames.push_back(std::move(f));
      }
    }
    return frames;
  }

 private:
  int fd_ = -1;
  wire::Decoder decoder_;
};

Bytes Frame(uint8_t sequence, uint16_t command, const Bytes& payload) {
  wire::Frame f;
  f.type = wire::kRequest;
  f.sequence = sequence;
  f.command = command;
  f.payload = payload;
  return wire::Encode(f);
}

// A frame around any body (its length field and checksum as given): flag, escaped body, flag.
Bytes RawFrame(const Bytes& body) {
  Bytes out{wire::kFlag};
  for (uint8_t b : body) {
    if (b == wire::kFlag || b == wire::kEscape) {
      out.push_back(wire::kEscape);
      out.push_back(static_cast<uint8_t>(b ^ wire::kEscapeXor));
    } else {
      out.push_back(b);
    }
  }
  out.push_back(wire::kFlag);
  return out;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Reply {
  bool answered = false;
  int32_t result = -1;
  Bytes data;
  Bytes raw;                        // the whole response payload
  std::vector<wire::Frame> others;  // frames that answered something else
};

class FrameChecks {
 public:
  FrameChecks(RawLine& line, int timeoutMs, ConformanceReport& report)
      : line_(line), timeoutMs_(timeoutMs), report_(report) {
    std::random_device rd;
    sequence_ = static_cast<uint8_t>(rd());
  }

  uint8_t Next() {
    if (++sequence_ == 0) ++sequence_;
    return sequence_;
  }

  // Writes the bytes (in one write, or one byte a write); the reply to (sequence, command).
  Reply Ask(const char* what, const Bytes& bytes, uint8_t sequence, uint16_t command,
            bool byteByByte = false) {
    Reply reply;
    const int64_t start = NowMs();
    bool written = true;
    if (byteByByte) {
      for (uint8_t b : bytes) {
        written = written && line_.Write(Bytes{b});
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    } else {
      written = line_.Write(bytes);
    }
    if (!written) return reply;
    const std::vector<wire::Frame> frames =
        line_.Collect(sequence, command, timeoutMs_, &reply.answered);
    for (const wire::Frame& f : frames) {
      if (f.sequence != sequence || f.command != command) {
        reply.others.push_back(f);
        continue;
      }
      reply.raw = f.payload;
      if (f.payload.size() >= 4) {
        reply.result = static_cast<int32_t>(wire::GetU32(f.payload.data()));
        reply.data.assign(f.payload.begin() + 4, f.payload.end());
      }
    }
    if (reply.answered) report_.Timed(what, NowMs() - start);
    return reply;
  }

  std::string Describe(const Reply& r) {
    if (!r.answered) return "no answer within " + std::to_string(timeoutMs_) + " ms";
    if (r.raw.size() < 4) return "a response without a result";
    return "answered " + std::to_string(r.result) +
           (r.data.empty() ? "" : " with " + std::to_string(r.data.size()) + " bytes");
  }

  void Hello() {
    const uint8_t s = Next();
    const Reply r = Ask("HELLO", Frame(s, wire::kHello, {}), s, wire::kHello);
    const bool ok = r.answered && r.result == 0 && !r.data.empty();
    report_.Check("HELLO", ok,
                  ok ? "\"" + std::string(r.data.begin(), r.data.end()) + "\"" : Describe(r));
  }

  void UnknownCommand() {
    const uint8_t s = Next();
    const Reply r = Ask("unknown command", Frame(s, 0x7F7F, {}), s, 0x7F7F);
    const bool ok = r.answered && r.result == 32 && r.data.empty();
    report_.Check("frame: unknown command", ok, ok ? "answered 32" : Describe(r) + ", not 32");
  }

  void WrongLength() {
    const struct {
      const char* what;
      uint16_t command;
      Bytes payload;
    } cases[] = {{"KV_ReadSecureBoot index of 1 byte", wire::kReadSecureBoot, {0}},
                 {"KV_FastReadNvInfo mask of 3 bytes", wire::kNvRead, {0x77, 0, 0}},
                 {"KV_FastWriteNvInfo record of 139 bytes", wire::kNvFastWrite, Bytes(139, 0)}};
    std::string why;
    for (const auto& c : cases) {
      const uint8_t s = Next();
      const Reply r = Ask("wrong length", Frame(s, c.command, c.payload), s, c.command);
      if ((!r.answered || r.result != 33) && why.empty())
        why = std::string(c.what) + ": " + Describe(r) + ", not 33";
    }
    report_.Check("frame: wrong length", why.empty(), why.empty() ? "answered 33" : why);
  }

  // A frame the phone must drop, then a regular request.
  void Dropped(const char* check, const Bytes& bad, uint8_t badSequence, uint16_t badCommand,
               const std::string& passed) {
    const uint8_t s = Next();
    const Reply r = Ask(check, Cat(bad, Frame(s, wire::kGetApVersion, {})), s, wire::kGetApVersion);
    bool answeredBad = false;
    for (const wire::Frame& f : r.others)
      answeredBad = answeredBad || (f.sequence == badSequence && f.command == badCommand);
    // (The request after it only has to be answered: its result is another row's business.)
    std::string why;
    if (answeredBad) {
      why = "answered";
    } else if (!r.answered) {
      why = "the request after it: " + Describe(r);
    }
    report_.Check(check, why.empty(), why.empty() ? passed : why);
  }

  void BadChecksum() {
    const uint8_t s = Next();
    Bytes bad = Frame(s, wire::kGetMsVersion, {});
    bad[bad.size() - 2] ^= 0x01;  // the checksum's low byte (escaped or not, it is wrong now)
    Dropped("frame: bad checksum", bad, s, wire::kGetMsVersion,
            "dropped without an answer, the next frame answered");
  }

  void Oversize() {
    const uint8_t s = Next();
    Bytes body{wire::kRequest, s, 0, static_cast<uint8_t>(wire::kGetMsVersion)};
    const std::size_t size = wire::kMaxBodySize + 2;
    body.push_back(static_cast<uint8_t>(size >> 8));
    body.push_back(static_cast<uint8_t>(size & 0xFF));
    body.resize(size - 2, 'A');
    const uint16_t crc = wire::Crc16(body.data(), body.size());
    body.push_back(static_cast<uint8_t>(crc >> 8));
    body.push_back(static_cast<uint8_t>(crc & 0xFF));
    Dropped("frame: oversize", RawFrame(body), s, wire::kGetMsVersion,
            "a body of 20490 bytes dropped, the next frame answered");
  }

  void Sync() {
    Dropped("frame: sync frame", Bytes(wire::kSyncFrame, wire::kSyncFrame + 10), 0, wire::kNop,
            "not answered, the next frame answered");
  }

  void ResponseToThePhone() {
    wire::Frame f;
    f.type = wire::kResponse;
    f.sequence = Next();
    f.command = wire::kGetMsVersion;
    f.payload = {0, 0, 0, 0};
    Dropped("frame: response sent to the phone", wire::Encode(f), f.sequence, f.command,
            "not answered, the next frame answered");
  }

  void Split() {
    const uint8_t s = Next();
    const Reply r =
        Ask("split frame", Frame(s, wire::kGetApVersion, {}), s, wire::kGetApVersion, true);
    const bool ok = r.answered && r.others.empty();
    report_.Check("frame: split over many writes", ok,
                  ok ? "one byte a write, answered once" : Describe(r));
  }

  void Repeated() {
    const uint8_t s = Next();
    Bytes index0;
    wire::PutU16(&index0, 0);
    Bytes index1;
    wire::PutU16(&index1, 1);
    const Bytes request = Frame(s, wire::kReadSecureBoot, index0);
    const Reply first = Ask("repeated sequence number", request, s, wire::kReadSecureBoot);
    const Reply again = Ask("repeated sequence number", request, s, wire::kReadSecureBoot);
    const Reply other = Ask("repeated sequence number", Frame(s, wire::kReadSecureBoot, index1), s,
                            wire::kReadSecureBoot);
    std::string why;
    if (!first.answered || first.result != 0) {
      why = "the request: " + Describe(first);
    } else if (!again.answered || again.raw != first.raw) {
      why = "its retransmission: " + (again.answered ? "another answer" : Describe(again));
    } else if (!other.answered || other.result != 0 || other.data.size() < 2 ||
               wire::GetU16(other.data.data()) != 1) {
      why = "another request with the same number was answered from memory";
    }
    report_.Check(
        "frame: repeated sequence number", why.empty(),
        why.empty() ? "a retransmission gets the same answer, another request its own" : why);
  }

  void BytesBetween() {
    const uint8_t a = Next();
    const uint8_t b = Next();
    const Bytes noise = {'n', 'o', 'i', 's', 'e', '\r', '\n', 0x00, 0xFF};
    const Bytes first = Cat(noise, Frame(a, wire::kGetMsVersion, {}));
    const Bytes second = Cat(
        Cat(Cat(noise, Bytes{wire::kFlag, wire::kFlag}), Frame(b, wire::kGetApVersion, {})), noise);
    const Reply r1 = Ask("bytes between frames", first, a, wire::kGetMsVersion);
    const Reply r2 = Ask("bytes between frames", second, b, wire::kGetApVersion);
    const bool ok = r1.answered && r2.answered;
    report_.Check("frame: bytes between frames", ok,
                  ok ? "ignored, both frames answered" : Describe(r1.answered ? r2 : r1));
  }

 private:
  RawLine& line_;
  int timeoutMs_;
  ConformanceReport& report_;
  uint8_t sequence_ = 0;
};

}  // namespace

void RunFrameChecks(const QString& device, int timeoutMs, ConformanceReport* report) {
  RawLine line(device);
  if (!line.open()) {
    report->Check("frames on the port", false, "cannot open " + device.toStdString());
    return;
  }
  FrameChecks checks(line, timeoutMs, *report);
  checks.Hello();
  checks.UnknownCommand();
  checks.WrongLength();
  checks.BadChecksum();
  checks.Oversize();
  checks.Split();
  checks.Repeated();
  checks.BytesBetween();
  checks.Sync();
  checks.ResponseToThePhone();
}

}  // namespace kestrel::cli
