// Who watches the jobs: one call when a job starts, two per step it runs (each phone-library
// call and each mandated wait: as it starts and when it has finished), one when it has ended.
// The station's audit record, the operator's aids and the job benchmark listen here; a job
// never waits for what an observer does with the news.
#pragma once

#include "identity/identity_set.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <vector>

namespace kestrel::station {

enum class JobKind { Write, Read };

enum class JobOutcome {
  Passed,    // counted as passed (a read: shown as passed)
  Failed,    // counted as failed, or a read shown as failed
  TimedOut,  // no phone within Timeout (counted as failed)
  Stopped,   // the operator pressed Stop (not counted)
  Shown,     // ended with a result that is neither counted nor a verdict (a read with nothing
             // to read, a failure the station shows but does not count)
};

struct JobStep {
  const char* name = "";        // "KV_WriteSN", "EntrerModeWait", ...
  std::int64_t startOffsetMs = 0;  // from the job's start
  std::int64_t durationMs = 0;
  std::int64_t durationUs = 0;  // the same in microseconds
  std::int32_t code = 0;        // the phone library's result (0 for a wait)
};

struct JobSummary {
  JobKind kind = JobKind::Write;
  int operationMode = 0;
  QDateTime startedAt;            // local time with its offset
  std::int64_t durationMs = 0;    // from StartJob to the end
  std::int64_t durationUs = 0;
  JobOutcome outcome = JobOutcome::Failed;
  QString resultText;             // as shown, identity lines included
  identity::IdentitySet identities;  // written or read
  std::uint32_t passCount = 0;    // the counters after the job
  std::uint32_t failCount = 0;
};

class JobObserver {
 public:
  virtual ~JobObserver() = default;
  // Window thread: StartJob has begun a job.
  virtual void JobStarted(JobKind kind, int operationMode, const QDateTime& startedAt) = 0;
  // Job thread (or the window thread for the steps StartJob runs): a step begins; `name` as in
  // JobStep. A step whose start is not told (one timed by its caller) is still finished.
  virtual void StepStarted(const char* /*name*/) {}
  // Job thread (or the window thread for the steps StartJob runs).
  virtual void StepFinished(const JobStep& step) = 0;
  // Window thread: the job has ended (finished, refused, timed out or stopped).
  virtual void JobEnded(const JobSummary& summary) = 0;
};

// Hands every call on to each observer added, in the order added. Observers are added on the
// window thread before the first job; the list does not own them.
class JobObserverList : public JobObserver {
 public:
  void Add(JobObserver* observer) {
    if (observer != nullptr) observers_.push_back(observer);
  }
  bool Empty() const { return observers_.empty(); }
  void JobStarted(JobKind kind, int operationMode, const QDateTime& startedAt) override {
    for (JobObserver* o : observers_) o->JobStarted(kind, operationMode, startedAt);
  }
  void StepStarted(const char* name) override {
    for (JobObserver* o : observers_) o->StepStarted(name);
  }
  void StepFinished(const JobStep& step) override {
    for (JobObserver* o : observers_) o->StepFinished(step);
  }
  void JobEnded(const JobSummary& summary) override {
    for (JobObserver* o : observers_) o->JobEnded(summary);
  }

 private:
  std::vector<JobObserver*> observers_;
};

}  // namespace kestrel::station
