// What one job's steps work with: the phone handle and the library's calls, the settings, the
// window (through JobHost), and the observer that hears of every step. Built by the job control for
// each job and handed to the sequences and the checks they run.
#pragma once

#include "config/station_settings.h"
#include "device/oxbind_loader/phone_api.h"
#include "device/oxbind_loader/phone_event.h"
#include "station/job_host.h"
#include "station/job_observer.h"

#include <atomic>
#include <cstdint>

namespace kestrel::station {

struct JobContext {
  PhoneHandle phone = KV_INVALID_HANDLE;
  // The phone library's calls; every step reaches the phone through them.
  const device::oxbind::PhoneApi* kv = nullptr;
  // The controller's record. The job thread reads it and sets what a job changes (Port with
  // AutoPort, DefaultIMEI, the initial-address counters); the window thread leaves it alone
  // while a job runs (its inputs are disabled).
  config::StationSettings* settings = nullptr;
  JobHost* host = nullptr;
  JobObserver* observer = nullptr;  // may be null
  // Set when the window closes: a pause ends at once.
  const device::oxbind::PhoneEvent* abort = nullptr;
  // Steady-clock milliseconds when the job started (StartJob); step offsets count from here.
  std::int64_t originMs = 0;
  // Steady-clock milliseconds when the phone was reached (set by the job thread); the
  // write-time limit counts from here.
  std::int64_t phoneReachedMs = 0;
  // When set (by the job control), holds the steady-clock microseconds at which the
  // phone-library call in progress began, 0 between calls: how long a call has been blocked.
  std::atomic<std::int64_t>* callSinceUs = nullptr;

  const config::StationSettings& S() const { return *settings; }
  const device::oxbind::PhoneApi& Kv() const { return *kv; }
  JobHost& Host() const { return *host; }

  // Runs one phone-library call as a step: tells the observer as it starts, times it and tells
  // the observer when it has returned.
  template <typename F>
  std::int32_t Call(const char* name, F&& call) const {
    if (observer != nullptr) observer->StepStarted(name);
    const std::int64_t start = NowUs();
    if (callSinceUs != nullptr) callSinceUs->store(start);
    const std::int32_t r = call();
    if (callSinceUs != nullptr) callSinceUs->store(0);
    ReportUs(name, start, NowUs() - start, r);
    return r;
  }
  // A mandated wait of `ms` milliseconds on the job thread, as a step of its own. Returns
  // false when it ended early because the window is closing.
  bool Pause(const char* name, int ms) const;
  void Report(const char* name, std::int64_t startMs, std::int64_t durationMs,
              std::int32_t code) const;
  void ReportUs(const char* name, std::int64_t startUs, std::int64_t durationUs,
                std::int32_t code) const;

  // Milliseconds (microseconds) of the steady clock.
  static std::int64_t NowMs();
  static std::int64_t NowUs();
};

}  // namespace kestrel::station
