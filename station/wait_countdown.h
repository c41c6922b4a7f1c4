// WaitCountdown: while a calibration-mode job waits for the phone (Timeout), the countdown under
// the result label shows the seconds left.
//
// The wait starts with the mode process (KV_EnterModeProcess, which StartJob runs on the window
// thread once the job thread waits) and ends with the first step of the job thread: the phone
// reached (KV_GetUsbPort or the EntrerModeWait pause), the time-out or a Stop (both
// KV_StopModeProcess). The job's end hides the countdown too. Normal-mode jobs have no wait.
#pragma once

#include "station/job_observer.h"

#include <QObject>

#include <functional>
#include <mutex>

namespace kestrel::ui {
class CountdownBar;
class ThreadHandoff;
}  // namespace kestrel::ui

namespace kestrel::station {

class WaitCountdown final : public QObject, public JobObserver {
 public:
  // `timeoutMs` is asked on the window thread as each job starts.
  WaitCountdown(ui::CountdownBar* bar, std::function<int()> timeoutMs, QObject* parent = nullptr);

  void JobStarted(JobKind kind, int operationMode, const QDateTime& startedAt) override;
  void StepStarted(const char* name) override;
  void StepFinished(const JobStep& step) override;
  void JobEnded(const JobSummary& summary) override;

 private:
  enum class State { Idle, Armed, Waiting, Over };
  // Any thread: the wait is over; hides the countdown on the window thread.
  void EndWait();

  ui::CountdownBar* bar_;
  std::function<int()> timeoutMs_;
  ui::ThreadHandoff* handoff_;
  std::mutex lock_;
  State state_ = State::Idle;  // guarded by lock_
  int timeout_ = 0;            // window thread
};

}  // namespace kestrel::station
