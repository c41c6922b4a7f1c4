#include "station/line_work_watch.h"

#include "records/result_store.h"
#include "station/station_controller.h"
#include "ui/thread_handoff.h"

namespace kestrel::station {

LineWorkWatch::LineWorkWatch(StationController& window, records::ResultStore& store)
    : store_(store), handoff_(new ui::ThreadHandoff(&window)) {
  ui::ThreadHandoff* handoff = handoff_;
  StationController* w = &window;
  store_.SetLineListener([handoff, w] { handoff->Post([w] { w->RefreshStatusLine(); }); });
}

LineWorkWatch::~LineWorkWatch() {
  store_.SetLineListener(nullptr);  // waits for a call in progress
  delete handoff_;
}

void LineWorkWatch::JobStarted(JobKind kind, int, const QDateTime&) {
  if (kind == JobKind::Write) store_.PokeLine();
}

}  // namespace kestrel::station
