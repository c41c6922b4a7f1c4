// Job start, Stop, the end of a job and the power-supply repeat run: the window's side of the
// job control. The threads are JobControl's, the sequences WriteSequence's and ReadSequence's.
#include "station/station_controller.h"

#include "device/ampvane/ampvane.h"
#include "identity/imei.h"
#include "identity/number_text.h"
#include "resources/message_format.h"
#include "resources/string_table.h"
#include "station/read_sequence.h"
#include "station/write_sequence.h"
#include "ui/colour_label.h"

#include <QComboBox>
#include <QMetaObject>
#include <QPushButton>

namespace kestrel::station {
namespace {

constexpr int kRepeatPauseMs = 2000;

}  // namespace

QString StationController::SettingsWriteFailure(const QString& path, const QString& error,
                                                bool closing) {
  QString text = QStringLiteral("The settings file %1 could not be written: %2.").arg(path, error);
  text += closing ? QStringLiteral(
                        "\nThe next start reads the settings it had before, and may "
                        "hand out IMEIs that are already in phones.")
                  : QStringLiteral(
                        "\nDefaultIMEI on disk is behind the phones already written; "
                        "write jobs are refused until it can be written.");
  return text;
}

void StationController::AddJobObserver(JobObserver* observer) {
  observers_.Add(observer);
}

JobContext StationController::MakeJobContext() {
  JobContext context;
  context.phone = startup_.phone;
  context.kv = startup_.phoneApi;
  context.settings = &settings_;
  context.host = this;
  context.observer = observers_.Empty() ? nullptr : &observers_;
  context.abort = &jobs_.AbortEvent();
  context.originMs = jobRecord_.startMs;
  return context;
}

bool StationController::RetryImeiBaseWrite() {
  QString error;
  if (identity::StoreImeiBaseAfterPass(settings_, identity::ReadDecimal(settings_.DefaultIMEI),
                                       settingsPath_, &error)) {
    imeiBaseError_.clear();
    return true;
  }
  imeiBaseError_ = error.isEmpty() ? QStringLiteral("not written") : error;
  return false;
}

void StationController::StartJob() {
  // One job at a time; the repeat run's pause counts as part of its run.
  if (JobRunning() || jobs_.Active() || repeatTimer_.isActive()) return;
  if (jobs_.Stranded()) {
    readJob_.store(false);
    EnableInputs(true);
    SetResultText(JobControl::StrandedText());
    ShowPlainResult(ResultState::Fail);
    return;
  }
  const config::StationSettings& s = settings_;
  const bool readJob = readJob_.load();

  jobRecord_ = {};
  jobRecord_.open = true;
  jobRecord_.kind = readJob ? JobKind::Read : JobKind::Write;
  jobRecord_.startedAt = QDateTime::currentDateTime();
  jobRecord_.startUs = JobContext::NowUs();
  jobRecord_.startMs = jobRecord_.startUs / 1000;
  jobRecord_.passBefore = PassCount();
  jobRecord_.failBefore = FailCount();
  observers_.JobStarted(jobRecord_.kind, s.OperationMode, jobRecord_.startedAt);

  // The IMEI base of the last pass must be on disk before another phone gets IMEIs.
  if (!readJob && ImeiBaseUnsaved() && !RetryImeiBaseWrite()) {
    const QString message = SettingsWriteFailure(settingsPath_, imeiBaseError_, false);
    SetResultText(message);
    ShowPlainResult(ResultState::Fail);
    ShowMessage(message);
    EndJob(JobOutcome::Shown, Identities());
    return;
  }

  // 1-2. The identities (prepared again first when the line database did not answer the
  // last preparation).
  if (!readJob && !lineError_.isEmpty()) PrepareNextIdentities();
  if (!readJob && identity::NeedsImeiDerivation(s)) {
    {
      std::lock_guard<std::mutex> lock(boundLock_);
      identity::DeriveImeisFromTyped(s, bound_.identities);
    }
    PushBoundStrings();
  }
  if (!CheckIdentitiesBeforeJob()) {
    RefuseJob();
    return;
  }
  TakeJobFieldTexts();
  if (!readJob && !ReserveLineIdentities()) {
    RefuseJob();
    return;
  }

  // 3-6. The phone test.
  EnableInputs(false);
  const PortChannel channel = MakePortChannel(s);
  const PhoneHandle h = startup_.phone;
  const device::oxbind::PhoneApi& kv = *startup_.phoneApi;
  JobContext context = MakeJobContext();
  if (s.RebootDUT == 0) {
    context.Call("KV_SetProperty", [&kv, h] { return kv.SetProperty(h, 3, 0, 2); });
    context.Call("KV_SetProperty", [&kv, h] { return kv.SetProperty(h, 6, 3, 1); });
  } else {
    context.Call("KV_SetProperty", [&kv, h] { return kv.SetProperty(h, 6, 3, 0); });
  }
  if (context.Call("KV_BeginPhoneTest",
                   [&kv, h, &channel] { return kv.BeginPhoneTest(h, &channel); }) != 0) {
    EnableInputs(true);
    SetResultText(resources::FormatString(107, {std::int64_t{s.Port}}));
    RefuseJob();
    return;
  }

  // 7. The job runs: the port list stays disabled until it has ended.
  controls_.portList->setEnabled(false);
  auto sequence = [this, readJob](const JobContext& c) { RunJobSequence(c, readJob); };

  // 8. Normal mode: the phone is probed at once. The waiting text is shown before the thread
  // starts, so that a fast phone's own results are never overwritten by it.
  if (s.OperationMode != 0) {
    SetResultText(resources::LoadString(110));
    ShowResult(ResultState::Busy);
    jobs_.StartNormal(context, sequence);
    return;
  }

  // 9. Calibration mode: the library catches the phone in its boot mode.
  const int mode = BootModeCode(s);
  SetResultText(resources::FormatString(108, {std::int64_t{s.Timeout / 1000}}));
  ShowResult(ResultState::Busy);
  jobs_.StartCalibration(context, s.Timeout, s.EntrerModeWait, s.AutoPort != 0, sequence);
  context.Call("KV_EnterModeProcess", [&] {
    return kv.EnterModeProcess(h, s.AutoPort != 0 ? 1 : 0, s.DUTPort, mode,
                               jobs_.PortArrived().get(), 0);
  });
  if (s.UseAMV && powerSource_ != nullptr) powerSource_->SetOutput(s.Voltage, -1);
}

void StationController::RefuseJob() {
  const identity::IdentitySet identities = Identities();
  ShowResult(ResultState::Fail);
  RecordOutcome(false);
  PrepareNextIdentities();
  if (readJob_.load()) {
    // A refused read leaves the Read button usable (it was disabled by the command).
    readJob_.store(false);
    EnableInputs(true);
  }
  EndJob(JobOutcome::Failed, identities);
}

void StationController::RunJobSequence(const JobContext& context, bool readJob) {
  // Job thread.
  if (readJob) {
    ReadSequence(context).RunReadJob();
    return;
  }
  WriteJobRecords records;
  records.store = resultStore_.get();
  records.addresses = &addressState_;
  records.imeiBase = imeiBase_;
  records.settingsPath = settingsPath_;
  WriteSequence sequence(context, records);
  sequence.RunWriteJob();
  if (!sequence.ImeiBaseStored()) {
    const QString error = sequence.ImeiBaseError();
    handoff_->Post([this, error] { imeiBaseError_ = error; });
    ShowMessage(SettingsWriteFailure(settingsPath_, error, false));
  }
}

void StationController::SetPortFromJob(int port) {
  OnWindowThread([this, port] { settings_.Port = port; });
}

void StationController::PostJobFinished(std::uint64_t job) {
  QMetaObject::invokeMethod(this, "OnJobFinished", Qt::QueuedConnection,
                            Q_ARG(quint64, static_cast<quint64>(job)));
}

void StationController::EndJob(JobOutcome outcome, const identity::IdentitySet& identities) {
  if (!jobRecord_.open) return;
  jobRecord_.open = false;
  if (observers_.Empty()) return;
  JobSummary summary;
  summary.kind = jobRecord_.kind;
  summary.operationMode = settings_.OperationMode;
  summary.startedAt = jobRecord_.startedAt;
  summary.durationUs = JobContext::NowUs() - jobRecord_.startUs;
  summary.durationMs = summary.durationUs / 1000;
  summary.passCount = PassCount();
  summary.failCount = FailCount();
  summary.resultText = ResultText();
  summary.identities = identities;
  if (outcome == JobOutcome::Shown) {
    // A counted phone is passed or failed; otherwise the verdict shown, if any.
    if (summary.passCount > jobRecord_.passBefore && summary.failCount == jobRecord_.failBefore) {
      outcome = JobOutcome::Passed;
    } else if (summary.failCount > jobRecord_.failBefore) {
      outcome = JobOutcome::Failed;
    } else if (lastShownState_.load() == static_cast<int>(ResultState::Pass)) {
      outcome = JobOutcome::Passed;
    } else if (lastShownState_.load() == static_cast<int>(ResultState::Fail)) {
      outcome = JobOutcome::Failed;
    }
  }
  summary.outcome = outcome;
  observers_.JobEnded(summary);
}

void StationController::OnJobFinished(quint64 job) {
  if (!jobs_.Finish(job)) return;  // closed by Stop meanwhile
  const config::StationSettings& s = settings_;
  const bool readJob = readJob_.load();
  const bool timedOut = jobs_.TimedOut();
  const identity::IdentitySet identities = Identities();  // the phone's, before the next ones

  // 1-2.
  readyToWrite_.store(false);
  EnableInputs(true);
  ClearEnteredIdentities();
  if (readJob) {
    PushBoundStrings();
    readJob_.store(false);
    controls_.read->setFocus(Qt::OtherFocusReason);
  } else {
    PrepareNextIdentities();
  }
  EndJob(timedOut ? JobOutcome::TimedOut : JobOutcome::Shown, identities);

  // 3. The power-supply repeat run: output off, a pause, the next job.
  if (s.UseAMV && powerRepeatCount_.load() <= s.TestCounts && s.OperationMode == 0 &&
      powerSource_ != nullptr) {
    powerSource_->SetOutput(-1.0F, -1);
    powerRepeatCount_.fetch_add(1);
    repeatTimer_.start(kRepeatPauseMs);
    return;  // the rest follows the pause
  }
  // 4.
  FocusFirstEntry();
}

void StationController::OnRepeatTimer() {
  if (powerRepeatCount_.load() <= settings_.TestCounts) {
    OnWriteCommand();
  } else {
    powerRepeatCount_.store(0);
  }
  FocusFirstEntry();
}

void StationController::OnStopCommand() {
  // Between the phone being reached and the end of its sequence Stop does nothing (the
  // button is disabled then); a sequence is never cut half-way.
  const bool wasActive = jobs_.Active();
  const identity::IdentitySet identities = Identities();
  if (!jobs_.Stop()) return;
  repeatTimer_.stop();
  const config::StationSettings& s = settings_;

  SetResultText(resources::LoadString(115));
  ShowResult(ResultState::Idle);
  EnableInputs(true);
  PrepareNextIdentities();
  if (s.UseAMV && powerRepeatCount_.load() <= s.TestCounts && s.OperationMode == 0 &&
      powerSource_ != nullptr) {
    powerSource_->SetOutput(0.0F, 1);
    powerRepeatCount_.store(0);
  }
  if (s.OperationMode != 0 || s.Port != -1) {
    const bool present = RefreshPortList();
    portPresent_.store(present);
    ShowPortState(present);
    StartPortWatch(true);
  }
  if (wasActive) EndJob(JobOutcome::Stopped, identities);
}

}  // namespace kestrel::station
