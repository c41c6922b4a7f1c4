// kestrel-cli phone conformance: the order of the run and its table. The rows come from
// phone_conformance_calls.cpp and phone_conformance_identities.cpp (the library's calls) and
// phone_conformance_frames.cpp (the frames the library never sends).
#include "tools/cli/phone_conformance.h"

#include "device/ports/port_map.h"
#include "tools/cli/phone_conformance_checks.h"

#include <QtGlobal>

#include <algorithm>
#include <cstdio>

namespace kestrel::cli {
namespace {

using Result = ConformanceReport::Result;

void SkipIrreversible(ConformanceReport& report) {
  for (const char* name :
       {"KV_SetUsbAutoMode", "KV_EnableSecureBoot", "KV_EnterModeProcess", "KV_PowerOff"})
    report.Add(name, Result::Skip, "cannot be undone: --allow-irreversible runs it");
}

}  // namespace

void ConformanceReport::Add(const std::string& check, Result result, const std::string& why) {
  rows_.push_back({check, result, why});
}

void ConformanceReport::Timed(const std::string& what, int64_t ms) {
  if (ms > slowestMs_) {
    slowestMs_ = ms;
    slowest_ = what;
  }
}

void ConformanceReport::AddTimingRow(const std::string& check, int timeoutMs) {
  const bool inTime = slowestMs_ <= timeoutMs;
  Check(check, inTime,
        (inTime ? "slowest " : "too slow: ") + slowest_ + " " + std::to_string(slowestMs_) +
            " ms (time-out " + std::to_string(timeoutMs) + " ms)");
}

bool ConformanceReport::AllPassed() const {
  return std::none_of(rows_.begin(), rows_.end(),
                      [](const Row& r) { return r.result == Result::Fail; });
}

void ConformanceReport::Print() const {
  std::size_t width = 5;
  for (const Row& r : rows_) width = std::max(width, r.check.size());
  const auto w = static_cast<int>(width);
  std::printf("%-*s | %-6s | %s\n", w, "check", "result", "why");
  std::printf("%s-+--------+-%s\n", std::string(width, '-').c_str(), std::string(40, '-').c_str());
  int passed = 0, failed = 0, skipped = 0;
  for (const Row& r : rows_) {
    const char* result = r.result == Result::Pass   ? "pass"
                         : r.result == Result::Fail ? "FAIL"
                                                    : "skip";
    (r.result == Result::Pass ? passed : r.result == Result::Fail ? failed : skipped) += 1;
    std::printf("%-*s | %-6s | %s\n", w, r.check.c_str(), result, r.why.c_str());
  }
  std::printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
}

int LibraryReplyTimeoutMs() {
  bool ok = false;
  const int v = qEnvironmentVariableIntValue("KESTREL_OXBIND_REPLY_TIMEOUT_MS", &ok);
  return ok && v >= 10 && v <= 60000 ? v : 1000;
}

int RunPhoneConformance(const PhoneCalls& lib, int port, bool allowIrreversible) {
  ConformanceReport report;
  const QString device = device::ports::ResolvePort(port);
  const int timeoutMs = LibraryReplyTimeoutMs();
  const PhoneHandle h = lib.CreatePhone(0);
  if (h == KV_INVALID_HANDLE) {
    std::fputs("kestrel-cli phone conformance: the phone library did not start\n", stderr);
    return 1;
  }
  const PortChannel channel{KV_CHANNEL_COM, port, 115200};
  int32_t r = lib.BeginPhoneTest(h, &channel);
  report.Check("KV_BeginPhoneTest", r == KV_OK,
               r == KV_OK ? "COM" + std::to_string(port) + " " + device.toStdString() : Code(r));
  if (r == KV_OK) {
    LibraryChecks checks(lib, h, report);
    checks.Readable();
    checks.Reversible();
    lib.EndPhoneTest(h);
    // The frames the library never sends, on the port itself.
    RunFrameChecks(device, timeoutMs, &report);
    if (!allowIrreversible) {
      SkipIrreversible(report);
    } else if ((r = lib.BeginPhoneTest(h, &channel)) == KV_OK) {
      checks.Irreversible(port);
      checks.PowerOff();  // last: a phone that is off answers nothing more
      lib.EndPhoneTest(h);
    } else {
      report.Check("KV_BeginPhoneTest again", false, Code(r));
    }
    report.AddTimingRow("replies within the time-out", timeoutMs);
  }
  lib.ReleasePhone(h);
  report.Print();
  return report.AllPassed() ? 0 : 1;
}

}  // namespace kestrel::cli
