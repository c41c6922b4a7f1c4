#include "station/job_context.h"

#include <chrono>
#include <thread>

namespace kestrel::station {

std::int64_t JobContext::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::int64_t JobContext::NowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void JobContext::Report(const char* name, std::int64_t startMs, std::int64_t durationMs,
                        std::int32_t code) const {
  ReportUs(name, startMs * 1000, durationMs * 1000, code);
}

void JobContext::ReportUs(const char* name, std::int64_t startUs, std::int64_t durationUs,
                          std::int32_t code) const {
  if (observer == nullptr) return;
  JobStep step;
  step.name = name;
  step.startOffsetMs = startUs / 1000 - originMs;
  step.durationMs = durationUs / 1000;
  step.durationUs = durationUs;
  step.code = code;
  observer->StepFinished(step);
}

bool JobContext::Pause(const char* name, int ms) const {
  if (observer != nullptr) observer->StepStarted(name);
  const std::int64_t start = NowUs();
  bool aborted = false;
  if (ms > 0) {
    if (abort != nullptr) {
      aborted = abort->Wait(ms);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
  }
  ReportUs(name, start, NowUs() - start, 0);
  return !aborted;
}

}  // namespace kestrel::station
