// The station's side of its link to the line database (line/line_link.h), over the job
// observer: each job that starts tries a line that did not answer again (off the window's
// thread), and every change of the link's state (working offline, the outbox handed on,
// entries refused) puts the status line's words right on the window's thread.
#pragma once

#include "station/job_observer.h"

namespace kestrel::records {
class ResultStore;
}
namespace kestrel::ui {
class ThreadHandoff;
}

namespace kestrel::station {

class StationController;

class LineWorkWatch final : public JobObserver {
 public:
  LineWorkWatch(StationController& window, records::ResultStore& store);
  ~LineWorkWatch() override;
  LineWorkWatch(const LineWorkWatch&) = delete;
  LineWorkWatch& operator=(const LineWorkWatch&) = delete;

  void JobStarted(JobKind kind, int operationMode, const QDateTime& startedAt) override;
  void StepFinished(const JobStep&) override {}
  void JobEnded(const JobSummary&) override {}

 private:
  records::ResultStore& store_;
  ui::ThreadHandoff* handoff_;  // the window's child, deleted with this
};

}  // namespace kestrel::station
