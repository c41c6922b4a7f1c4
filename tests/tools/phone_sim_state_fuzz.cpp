// The simulator's state file is edited by hand and by tests. Any bytes there either load or
// are refused with a message; a loaded state answers every request the phone library sends
// without crashing, and answers the same after it was saved and loaded again.
#include "device/oxbind/oxbind.h"
#include "device/oxbind/wire_protocol.h"
#include "tools/phone-sim/sim_device.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace wire = kestrel::device::oxbind::wire;
using kestrel::tools::phonesim::Faults;
using kestrel::tools::phonesim::SimDevice;

namespace {

void Check(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "phone_sim_state_fuzz: check at line %d failed\n", line);
  std::abort();
}
#define Require(cond) Check((cond), __LINE__)

wire::Frame Request(uint16_t command, std::vector<uint8_t> payload = {}) {
  static uint8_t sequence = 0;
  wire::Frame f;
  f.command = command;
  f.sequence = ++sequence;
  f.payload = std::move(payload);
  return f;
}

std::vector<uint8_t> Bytes(const char* text) {
  return std::vector<uint8_t>(text, text + std::strlen(text));
}

// What a read job asks: every read the library has.
std::vector<wire::Frame> Reads() {
  std::vector<wire::Frame> r{
      Request(wire::kHello),
      Request(wire::kGetMsVersion),
      Request(wire::kFastReadVersion),
      Request(wire::kGetApVersion),
      Request(wire::kAtCommand, Bytes("AT+KVDIAG=\"0000000008000000\"")),
      Request(wire::kAtCommand, Bytes("AT+CGSN")),
      Request(wire::kReadSn, {1}),
      Request(wire::kReadSn, {0}),
      Request(wire::kReadCuRef),
      Request(wire::kReadStationRecord),
  };
  std::vector<uint8_t> mask;
  wire::PutU32(&mask, 0x3F);
  r.push_back(Request(wire::kNvRead, mask));
  for (uint16_t i = 0; i < 8; ++i) {
    std::vector<uint8_t> index;
    wire::PutU16(&index, i);
    r.push_back(Request(wire::kReadSecureBoot, index));
  }
  return r;
}

// What a write job changes.
std::vector<wire::Frame> Writes() {
  std::vector<uint8_t> mode;
  wire::PutU32(&mode, 1);
  NvInfoRecord record;
  std::memset(&record, 0, sizeof record);
  record.mask = KV_NV_IMEI1 | KV_NV_BT;
  std::memcpy(record.imei1, "356938035643809", 15);
  std::memcpy(record.bt, "0011223344AA", 12);
  const auto* raw = reinterpret_cast<const uint8_t*>(&record);
  std::vector<uint8_t> item;
  wire::PutU16(&item, 3);
  wire::PutU32(&item, 0xDEADBEEF);
  std::vector<uint8_t> sn{1};
  for (char c : QByteArray("SN1ABCDEF")) sn.push_back(static_cast<uint8_t>(c));
  return {Request(wire::kEnterMode, mode),
          Request(wire::kNvFastWrite, std::vector<uint8_t>(raw, raw + sizeof record)),
          Request(wire::kWriteSn, sn),
          Request(wire::kWriteSecureBoot, item),
          Request(wire::kSetUsbAutoMode, {0}),
          Request(wire::kWriteCuRef, Bytes("CUREF-1")),
          Request(wire::kPowerOff)};
}

// The request on the wire, handed to the simulated phone; the payload of its one response.
std::vector<uint8_t> Ask(SimDevice& device, const wire::Frame& request) {
  const std::vector<uint8_t> bytes = wire::Encode(request);
  const std::vector<uint8_t> reply = device.Receive(bytes.data(), bytes.size());
  wire::Decoder decoder;
  std::vector<wire::Frame> frames;
  decoder.Feed(reply.data(), reply.size(), &frames);
  Require(frames.size() == 1 && frames[0].type == wire::kResponse &&
          frames[0].sequence == request.sequence && frames[0].command == request.command &&
          frames[0].payload.size() >= 4);
  return frames[0].payload;
}

std::vector<std::vector<uint8_t>> Answers(SimDevice& device) {
  std::vector<std::vector<uint8_t>> out;
  for (const wire::Frame& f : Reads()) out.push_back(Ask(device, f));
  return out;
}

const QString& StatePath() {
  static const QString path = [] {
    const QString dir =
        QDir::tempPath() +
        QStringLiteral("/kestrel-sim-state-fuzz-%1").arg(static_cast<long long>(::getpid()));
    QDir().mkpath(dir);
    return dir + QStringLiteral("/phone.json");
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    QFile f(StatePath());
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return 0;
    f.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
  }
  SimDevice device(StatePath(), QString(), Faults{}, {});
  QString error;
  if (!device.Load(&error)) {
    Require(!error.isEmpty());
    return 0;
  }
  (void)device.bootMode();
  (void)Answers(device);
  for (const wire::Frame& f : Writes()) Ask(device, f);
  const auto before = Answers(device);
  Require(device.Save());

  SimDevice again(StatePath(), QString(), Faults{}, {});
  Require(again.Load(&error));
  Require(Answers(again) == before);
  Require(again.bootMode() == 1);
  return 0;
}
