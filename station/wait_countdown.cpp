#include "station/wait_countdown.h"

#include "ui/countdown_bar.h"
#include "ui/thread_handoff.h"

#include <QThread>

#include <cstring>

namespace kestrel::station {

WaitCountdown::WaitCountdown(ui::CountdownBar* bar, std::function<int()> timeoutMs, QObject* parent)
    : QObject(parent),
      bar_(bar),
      timeoutMs_(std::move(timeoutMs)),
      handoff_(new ui::ThreadHandoff(this)) {}

void WaitCountdown::JobStarted(JobKind, int operationMode, const QDateTime&) {
  timeout_ = timeoutMs_ ? timeoutMs_() : 0;
  std::lock_guard<std::mutex> l(lock_);
  state_ = operationMode == 0 ? State::Armed : State::Idle;
}

void WaitCountdown::StepStarted(const char*) {
  // Every step of the job thread comes after the wait.
  if (QThread::currentThread() != thread()) EndWait();
}

void WaitCountdown::StepFinished(const JobStep& step) {
  if (QThread::currentThread() != thread()) {
    EndWait();
    return;
  }
  if (step.name == nullptr || std::strcmp(step.name, "KV_EnterModeProcess") != 0) return;
  {
    std::lock_guard<std::mutex> l(lock_);
    if (state_ != State::Armed) return;  // not waiting, or the phone came first
    state_ = State::Waiting;
  }
  // The job thread has waited since just before the mode process began.
  bar_->Start(timeout_, static_cast<int>(step.durationMs));
}

void WaitCountdown::JobEnded(const JobSummary&) {
  {
    std::lock_guard<std::mutex> l(lock_);
    state_ = State::Idle;
  }
  bar_->Stop();
}

void WaitCountdown::EndWait() {
  {
    std::lock_guard<std::mutex> l(lock_);
    if (state_ != State::Armed && state_ != State::Waiting) return;
    state_ = State::Over;
  }
  ui::CountdownBar* bar = bar_;
  handoff_->Post([bar] { bar->Stop(); });
}

}  // namespace kestrel::station
