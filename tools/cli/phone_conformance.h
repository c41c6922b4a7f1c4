// kestrel-cli phone conformance: every request of the phone link (device/oxbind/PROTOCOL.md)
// against a phone, one row a check. The regular calls go through the phone library; the
// error paths need frames the library never sends and go through the wire codec straight to
// the port of the port map.
#pragma once

#include "device/oxbind_loader/phone_api.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel::cli {

// The phone library the check goes through: the table of its resolved calls.
using PhoneCalls = device::oxbind::PhoneApi;

// The table: one row a check.
class ConformanceReport {
 public:
  enum class Result { Pass, Fail, Skip };
  struct Row {
    std::string check;
    Result result;
    std::string why;
  };

  void Add(const std::string& check, Result result, const std::string& why);
  void Check(const std::string& check, bool passed, const std::string& why) {
    Add(check, passed ? Result::Pass : Result::Fail, why);
  }
  // A reply's time, for the time-out row.
  void Timed(const std::string& what, int64_t ms);
  void AddTimingRow(const std::string& check, int timeoutMs);
  bool AllPassed() const;
  void Print() const;

 private:
  std::vector<Row> rows_;
  int64_t slowestMs_ = -1;
  std::string slowest_;
};

// The library's time-out of one attempt and its attempts (its defaults, or the environment's
// KESTREL_OXBIND_REPLY_TIMEOUT_MS and KESTREL_OXBIND_ATTEMPTS as the library reads them).
int LibraryReplyTimeoutMs();

// The error paths and the framing, on the port's device (no phone test open meanwhile).
void RunFrameChecks(const QString& device, int timeoutMs, ConformanceReport* report);

// kestrel-cli phone [--library FILE] conformance --port N [--allow-irreversible], through the
// loaded library's table: the exit code (0 when every check that ran passed).
int RunPhoneConformance(const PhoneCalls& calls, int port, bool allowIrreversible);

}  // namespace kestrel::cli
