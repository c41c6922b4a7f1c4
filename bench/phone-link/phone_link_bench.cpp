// A full identity record written (KV_FastWriteNvInfo) and read back (KV_FastReadNvInfo)
// against kestrel-phone-sim, many times, through the table of the loaded phone library as the
// station calls it. Prints the wall time per call next to the pure wire time of the bytes each
// call puts on the line at 115200 baud (10 bits a byte), and the bytes on the wire against the
// payload. The bytes are those of the call's request and response frames as the wire
// protocol's encoder makes them (the library's own byte counters are internal to it).
//
// The same series runs a second time with the library in a process of its own ([PHONE]
// Isolate=1: the phone-library proxy here, the library in kestrel-phone-host), side by side:
// what isolation adds to each call.
//
// Targets: at most 1 ms per call beyond the wire time; framing under 20 % of the payload;
// isolation adds under 0.2 ms a call (median).
// A pseudo-terminal carries bytes without baud-rate pacing, so the wall time measured here is
// the library's and the phone's own cost per call, which is what the first target bounds.
//
// usage: kestrel-bench-phone-link [ITERATIONS] [LIBRARY]   (default: the library beside it)
#include "device/oxbind/wire_protocol.h"
#include "device/oxbind_loader/phone_library.h"
#include "tests/device/full_nv_record.h"
#include "device/ports/port_map.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <vector>

namespace oxbind = kestrel::device::oxbind;
namespace wire = kestrel::device::oxbind::wire;

namespace {

constexpr double kBaud = 115200.0;
constexpr double kBitsPerByte = 10.0;  // start, 8 data, stop

double WireMs(double bytes) {
  return bytes * kBitsPerByte / kBaud * 1000.0;
}

// Bytes on the line of one request and its response, both framed.
double FramedBytes(uint16_t command, const std::vector<uint8_t>& request,
                   const std::vector<uint8_t>& responseData) {
  wire::Frame out;
  out.type = wire::kRequest;
  out.sequence = 1;
  out.command = command;
  out.payload = request;
  wire::Frame in = out;
  in.type = wire::kResponse;
  in.payload = wire::ResponsePayload(0, responseData);
  return static_cast<double>(wire::Encode(out).size() + wire::Encode(in).size());
}

struct Series {
  std::vector<double> wallMs;
  double bytes = 0;    // on the wire, both directions, per call
  double payload = 0;  // the call's own data, both directions, per call

  double Median() {
    std::sort(wallMs.begin(), wallMs.end());
    return wallMs.empty() ? 0 : wallMs[wallMs.size() / 2];
  }
  double Mean() const {
    double sum = 0;
    for (double v : wallMs) sum += v;
    return wallMs.empty() ? 0 : sum / static_cast<double>(wallMs.size());
  }
  double P99() {
    std::sort(wallMs.begin(), wallMs.end());
    return wallMs.empty() ? 0 : wallMs[wallMs.size() * 99 / 100];
  }
};

// Write + read-back pairs through a library's table, `pairs` of them in one phone test,
// added to the series (a handle of the library's made on the first call): false when the
// phone test cannot be opened.
bool RunPairs(const oxbind::PhoneApi& kv, PhoneHandle* h, int pairs, bool warmUp, Series* write,
              Series* read, int* failures) {
  if (*h == KV_INVALID_HANDLE) *h = kv.CreatePhone(0);
  const PortChannel channel{KV_CHANNEL_COM, 1, 115200};
  if (kv.BeginPhoneTest(*h, &channel) != KV_OK) return false;

  const NvInfoRecord record = kestrel::testing::FullNvRecord();

  // Payload of each call: the write sends the 140-byte record and gets a 4-byte result; the
  // read sends the 4-byte mask and gets the result and the 140-byte record.
  write->payload = sizeof(NvInfoRecord) + 4;
  read->payload = 4 + 4 + sizeof(NvInfoRecord);
  const auto* raw = reinterpret_cast<const uint8_t*>(&record);
  const std::vector<uint8_t> recordBytes(raw, raw + sizeof(record));
  std::vector<uint8_t> mask;
  wire::PutU32(&mask, record.mask);
  write->bytes = FramedBytes(wire::kNvFastWrite, recordBytes, {});
  read->bytes = FramedBytes(wire::kNvRead, mask, recordBytes);
  for (int i = 0; i < pairs; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    *failures += kv.FastWriteNvInfo(*h, &record) != KV_OK;
    const auto t1 = std::chrono::steady_clock::now();
    NvInfoRecord back;
    std::memset(&back, 0, sizeof(back));
    back.mask = record.mask;
    *failures += kv.FastReadNvInfo(*h, &back) != KV_OK;
    const auto t2 = std::chrono::steady_clock::now();
    *failures += std::memcmp(&back, &record, sizeof(record)) != 0;
    if (warmUp) continue;
    write->wallMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    read->wallMs.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
  }
  kv.EndPhoneTest(*h);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;

  qputenv("KESTREL_SYSTEM_PORTS", "0");
  QTemporaryDir station;
  kestrel::device::ports::SetStationFolder(station.path());

  QProcess sim;
  sim.setProgram(QCoreApplication::applicationDirPath() + "/kestrel-phone-sim");
  sim.setArguments({"--ports", station.filePath("ports"), "--com", "1", "--state",
                    station.filePath("phone.json")});
  sim.start();
  if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000) ||
      !sim.readLine().startsWith("ready COM1")) {
    std::fprintf(stderr, "phone-link bench: the simulator did not start\n");
    return 1;
  }

  QString error;
  const QString file = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
  const auto library = oxbind::PhoneLibrary::Load(file, &error);
  const auto isolated = library ? oxbind::PhoneLibrary::Load(file, true, &error) : nullptr;
  if (!library || !isolated) {
    std::fprintf(stderr, "phone-link bench: %s\n", qPrintable(error));
    return 1;
  }

  // The two in turns of 50 pairs, so that both meet the same machine.
  Series write, read, writeIsolated, readIsolated;
  int failures = 0;
  PhoneHandle own = KV_INVALID_HANDLE;
  PhoneHandle hosted = KV_INVALID_HANDLE;
  constexpr int kTurn = 50;
  for (int done = -kTurn; done < iterations; done += kTurn) {  // the first turn warms up
    const int pairs = std::min(kTurn, std::max(iterations - done, 1));
    if (!RunPairs(library->Api(), &own, pairs, done < 0, &write, &read, &failures) ||
        !RunPairs(isolated->Api(), &hosted, pairs, done < 0, &writeIsolated, &readIsolated,
                  &failures)) {
      std::fprintf(stderr, "phone-link bench: cannot open COM1\n");
      return 1;
    }
  }
  library->Api().ReleasePhone(own);
  isolated->Api().ReleasePhone(hosted);
  sim.terminate();
  sim.waitForFinished(3000);

  std::printf("phone-link: %d write + read-back pairs against kestrel-phone-sim over a pty\n",
              iterations);
  std::printf("%-22s %-9s %10s %10s %10s %10s %12s %10s %10s\n", "call", "library", "wall med",
              "wall mean", "wall p99", "wire ms", "beyond wire", "bytes", "payload");
  bool timeOk = true;
  for (auto [name, how, s] :
       {std::tuple<const char*, const char*, Series*>{"KV_FastWriteNvInfo", "in-process", &write},
        {"KV_FastWriteNvInfo", "isolated", &writeIsolated},
        {"KV_FastReadNvInfo", "in-process", &read},
        {"KV_FastReadNvInfo", "isolated", &readIsolated}}) {
    const double wire = WireMs(s->bytes);
    const double mean = s->Mean();
    const double beyond = std::max(0.0, mean - wire);
    timeOk = timeOk && mean <= wire + 1.0;
    std::printf("%-22s %-9s %10.3f %10.3f %10.3f %10.3f %12.3f %10.0f %10.0f\n", name, how,
                s->Median(), mean, s->P99(), wire, beyond, s->bytes, s->payload);
  }
  const double bytes = write.bytes + read.bytes;
  const double payload = write.payload + read.payload;
  const double overhead = (bytes - payload) / payload * 100.0;
  const double addedWrite = writeIsolated.Median() - write.Median();
  const double addedRead = readIsolated.Median() - read.Median();
  const bool isolationOk = addedWrite < 0.2 && addedRead < 0.2;
  std::printf("wire bytes %.0f for %.0f payload bytes: framing %.1f %% (target < 20 %%)\n", bytes,
              payload, overhead);
  std::printf(
      "isolation adds per call (median): KV_FastWriteNvInfo %+.3f ms, KV_FastReadNvInfo %+.3f ms "
      "(target < 0.2 ms)\n",
      addedWrite, addedRead);
  std::printf(
      "wall time per call within wire time + 1 ms: %s; framing: %s; isolation: %s; failures: "
      "%d\n",
      timeOk ? "yes" : "NO", overhead < 20.0 ? "yes" : "NO", isolationOk ? "yes" : "NO", failures);
  return failures == 0 && timeOk && overhead < 20.0 && isolationOk ? 0 : 1;
}
