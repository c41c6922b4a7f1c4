#include "station/job_control.h"

#include "resources/string_table.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

namespace kestrel::station {
namespace {

using identity::ResultState;

constexpr int kBaudRate = 115200;

// The sync frame written before the first probe of a normal-mode job.
constexpr std::array<std::uint8_t, 10> kProbeFrame = {0x7E, 0x00, 0x00, 0x00, 0x00,
                                                      0x00, 0x08, 0x00, 0x00, 0x7E};

}  // namespace

PortChannel MakePortChannel(const config::StationSettings& s) {
  PortChannel channel{};
  if (s.AutoPort != 0 && s.OperationMode == 0) {
    channel.type = KV_CHANNEL_USB;
  } else {
    channel.type = KV_CHANNEL_COM;
    channel.port = s.Port;
    channel.baudRate = kBaudRate;
  }
  return channel;
}

int BootModeCode(const config::StationSettings& s) {
  if (s.TESTMODE == 0) return 10;
  int code = 1;
  if (s.Quarl != 0) code = s.QuarlVariant == 0 ? 14 : 1;
  if (s.APMode != 0) code = 22;
  return code;
}

JobControl::JobControl(JobWindow& window, const device::oxbind::PhoneApi& kv)
    : window_(window), kv_(kv), stop_(kv), portArrived_(kv), abort_(kv) {}

JobControl::~JobControl() {
  Abort();
}

bool JobControl::SequenceStarted() const {
  std::lock_guard<std::mutex> lock(sequenceLock_);
  return inSequence_;
}

bool JobControl::EnterSequence() {
  std::lock_guard<std::mutex> lock(sequenceLock_);
  if (stopRequested_ || abort_.IsSet()) return false;
  inSequence_ = true;
  return true;
}

void JobControl::LeaveSequence() {
  std::lock_guard<std::mutex> lock(sequenceLock_);
  inSequence_ = false;
}

bool JobControl::Stranded() const {
  return !active_ && thread_.joinable() && !threadDone_.IsSet();
}

QString JobControl::StrandedText() {
  return QStringLiteral(
      "The phone library has not returned from its last call; restart the station.");
}

void JobControl::Launch(std::function<void()> body) {
  // A thread left from the last job has ended its work (it only closes the phone test after
  // its post); wait for it rather than start a second one beside it. (A stranded thread is
  // never waited for here: the window refuses the job first.)
  if (thread_.joinable()) thread_.join();
  {
    std::lock_guard<std::mutex> lock(sequenceLock_);
    stopRequested_ = false;
    inSequence_ = false;
  }
  timedOut_.store(false);
  jobStartMs_.store(0);
  threadDone_.Reset();
  running_.store(true);
  active_ = true;
  thread_ = std::thread(std::move(body));
}

std::uint64_t JobControl::StartCalibration(JobContext context, int timeoutMs, int entrerModeWaitMs,
                                           bool autoPort, Sequence sequence) {
  phone_ = context.phone;
  context.callSinceUs = &callSinceUs_;
  stop_.Reset();
  portArrived_.Reset();
  const std::uint64_t job = ++job_;
  Launch([this, context, timeoutMs, entrerModeWaitMs, autoPort, sequence = std::move(sequence),
          job]() mutable {
    CalibrationJobThread(context, timeoutMs, entrerModeWaitMs, autoPort, std::move(sequence), job);
  });
  return job;
}

std::uint64_t JobControl::StartNormal(JobContext context, Sequence sequence) {
  phone_ = context.phone;
  context.callSinceUs = &callSinceUs_;
  stop_.Reset();
  const std::uint64_t job = ++job_;
  Launch([this, context, sequence = std::move(sequence), job]() mutable {
    NormalJobThread(context, std::move(sequence), job);
  });
  return job;
}

void JobControl::CalibrationJobThread(JobContext context, int timeoutMs, int entrerModeWaitMs,
                                      bool autoPort, Sequence sequence, std::uint64_t job) {
  JobWindow& w = window_;
  const PhoneHandle h = context.phone;
  const device::oxbind::PhoneApi& kv = context.Kv();
  bool post = false;

  // Stop wins over the phone's arrival when both are set; the window going counts as Stop.
  const int which =
      device::oxbind::PhoneEvent::WaitAny({&stop_, &abort_, &portArrived_}, std::max(timeoutMs, 0));
  if (which < 0) {
    context.Call("KV_StopModeProcess", [&kv, h] { return kv.StopModeProcess(h); });
    timedOut_.store(true);
    w.SetResultText(resources::LoadString(103));
    w.ShowResult(ResultState::Fail);
    w.RecordOutcome(false);
    post = true;
  } else if (which < 2) {
    stop_.Reset();
    context.Call("KV_StopModeProcess", [&kv, h] { return kv.StopModeProcess(h); });
  } else if (EnterSequence()) {
    if (!w.PortWatchRunning()) w.ShowPortState(true);
    jobStartMs_.store(JobContext::NowMs());
    context.phoneReachedMs = jobStartMs_.load();
    portArrived_.Reset();
    if (!kv.Isolated()) w.EnableStop(false);
    if (autoPort) {
      const std::int64_t start = JobContext::NowMs();
      const int port = kv.GetUsbPort(h);
      context.Report("KV_GetUsbPort", start, JobContext::NowMs() - start, 0);
      w.SetPortFromJob(port);
    } else {
      context.Pause("EntrerModeWait", entrerModeWaitMs);
    }
    RunSequence(context, sequence);
    post = true;
  } else {
    // A Stop came as the phone arrived: the Stop command restores the window.
    context.Call("KV_StopModeProcess", [&kv, h] { return kv.StopModeProcess(h); });
  }

  context.Call("KV_EndPhoneTest", [&kv, h] { return kv.EndPhoneTest(h); });
  if (!w.PortWatchRunning()) w.ShowPortState(false);
  w.FocusFirstEntry();
  running_.store(false);
  w.EnablePortList(true);
  threadDone_.Set();
  // Posted last, so that the window's handling of the job's end (which may start the next
  // job) never meets this job's phone test still open.
  if (post) w.PostJobFinished(job);
}

void JobControl::NormalJobThread(JobContext context, Sequence sequence, std::uint64_t job) {
  JobWindow& w = window_;
  const PhoneHandle h = context.phone;
  const device::oxbind::PhoneApi& kv = context.Kv();
  bool post = false;
  auto stopped = [this] { return stop_.IsSet() || abort_.IsSet(); };

  context.Call("KV_SetProperty", [&kv, h] { return kv.SetProperty(h, 3, 0, 2); });
  context.Call("KV_Write", [&kv, h] {
    return kv.Write(h, kProbeFrame.data(), static_cast<std::int32_t>(kProbeFrame.size()));
  });
  bool answered = false;
  std::vector<char> buffer(kProbeBufferSize);
  for (int attempt = 0; attempt < kProbeAttempts && !answered && !stopped(); ++attempt) {
    std::fill(buffer.begin(), buffer.end(), '\0');
    answered = context.Call("KV_GetMsVersion", [&kv, h, &buffer] {
      return kv.GetMsVersion(h, buffer.data(), kProbeBufferSize);
    }) == KV_OK;
  }

  if (!answered) {
    if (!stopped()) {
      w.SetResultText(resources::LoadString(111));
      w.ShowResult(ResultState::Fail);
      w.RecordOutcome(false);
      post = true;
    }
  } else if (EnterSequence()) {
    jobStartMs_.store(JobContext::NowMs());
    context.phoneReachedMs = jobStartMs_.load();
    if (!kv.Isolated()) w.EnableStop(false);
    RunSequence(context, sequence);
    post = true;
  }

  context.Call("KV_EndPhoneTest", [&kv, h] { return kv.EndPhoneTest(h); });
  // Normal mode: the port watch always runs between jobs.
  w.StartPortWatch(true);
  running_.store(false);
  w.EnablePortList(true);
  threadDone_.Set();
  if (post) w.PostJobFinished(job);
}

void JobControl::RunSequence(const JobContext& context, const Sequence& sequence) {
  window_.SetResultText(resources::LoadString(104));
  window_.ShowResult(ResultState::Busy);
  sequence(context);
  window_.EnableStop(true);
  LeaveSequence();
}

bool JobControl::Join(int timeoutMs) {
  if (!thread_.joinable()) return true;
  if (!threadDone_.Wait(timeoutMs)) return false;
  thread_.join();
  return true;
}

bool JobControl::Finish(std::uint64_t job) {
  if (!active_ || job != job_) return false;
  Join(kStopJoinMs);
  active_ = false;
  return true;
}

bool JobControl::EndBlockedCall() {
  const std::int64_t since = callSinceUs_.load();
  if (!kv_.Isolated() || since == 0 ||
      JobContext::NowUs() - since < std::int64_t{kBlockedCallMs} * 1000) {
    return false;
  }
  // The proxy sends the end at once and kills the host if the call has not returned within
  // its grace; the window never waits for the host.
  if (phone_ != KV_INVALID_HANDLE) kv_.EndPhoneTest(phone_);
  return true;
}

bool JobControl::Stop() {
  if (Stranded()) return true;  // its Stop has waited for it once already
  bool inSequence = false;
  {
    std::lock_guard<std::mutex> lock(sequenceLock_);
    inSequence = inSequence_;
    if (!inSequence) stopRequested_ = true;
  }
  if (inSequence) {
    EndBlockedCall();
    return false;
  }
  // The stop event first: a call that the end of the phone test cancels must find it set, or
  // the thread would take the cancelled probe for a phone that does not answer.
  stop_.Set();
  if (phone_ != KV_INVALID_HANDLE) kv_.EndPhoneTest(phone_);
  Join(kStopJoinMs);
  active_ = false;
  running_.store(false);
  return true;
}

void JobControl::Abort() {
  const bool stranded = Stranded();
  abort_.Set();
  {
    std::lock_guard<std::mutex> lock(sequenceLock_);
    stopRequested_ = true;
  }
  if (!thread_.joinable()) return;
  // Ends whatever call the job waits in; every later call fails at once.
  stop_.Set();
  if (phone_ != KV_INVALID_HANDLE) kv_.EndPhoneTest(phone_);
  if (stranded) {
    // Its call did not return to Stop either; the station ends with its window.
    thread_.detach();
  } else {
    thread_.join();
  }
  active_ = false;
  running_.store(false);
}

}  // namespace kestrel::station
