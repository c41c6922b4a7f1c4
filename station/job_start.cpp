// Job start and Stop as far as the window goes without the job control.
//
// TODO(job control): StartJob and OnStopCommand belong to the job control, which replaces this
// file: after the identity check it opens the phone test and starts the job thread; Stop ends
// that thread. Until then a Write or Read runs the identity check and shows its verdict, so the
// window serves for checking scans; no phone is touched and nothing is counted as passed.
#include "station/station_controller.h"

#include "identity/imei.h"
#include "resources/string_table.h"

namespace kestrel::station {

void StationController::StartJob() {
  const bool readJob = readJob_.load();
  if (!readJob && identity::NeedsImeiDerivation(settings_)) {
    {
      std::lock_guard<std::mutex> lock(boundLock_);
      identity::DeriveImeisFromTyped(settings_, bound_.identities);
    }
    PushBoundStrings();
  }
  if (!CheckIdentitiesBeforeJob()) {
    ShowResult(ResultState::Fail);
    RecordOutcome(false);
    PrepareNextIdentities();
  } else {
    SetResultText(resources::LoadString(168));
    ShowResult(ResultState::Idle);
  }
  if (readJob) {
    // What the end of a read job does for the inputs.
    readJob_.store(false);
    EnableInputs(true);
  }
}

void StationController::OnStopCommand() {
  SetResultText(resources::LoadString(115));
  ShowResult(ResultState::Idle);
  EnableInputs(true);
  PrepareNextIdentities();
  jobRunning_.store(false);
  if (settings_.OperationMode != 0 || settings_.Port != -1) {
    const bool present = RefreshPortList();
    portPresent_.store(present);
    ShowPortState(present);
    StartPortWatch(true);
  }
}

}  // namespace kestrel::station
