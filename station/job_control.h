// The job threads: one phone per job, one job thread at a time.
//
// The window thread opens the phone test and hands the job to JobControl, which runs it on a
// thread of its own: in calibration mode the thread waits for the phone library's
// port-arrived event (or Stop, or Timeout); in normal mode it probes the running phone at
// once. Once the phone is reached the thread runs the job's sequence (write or read-back),
// closes the phone test and posts the job's end to the window.
//
// Stop is cooperative: it ends the phone library's blocking call (KV_EndPhoneTest), sets the
// stop event, and joins the thread within kStopJoinMs. Nothing is ever terminated by force.
// From the moment the phone is reached until the sequence returns a Stop is refused, so a
// sequence is never cut half-way.
//
// A library in a host process of its own (PhoneApi::Isolated, [PHONE] Isolate=1) can be ended
// by force: its proxy kills the host when a call does not return after KV_EndPhoneTest. There
// Stop stays enabled through the sequence, and a Stop while a call of the sequence has been
// blocked for kBlockedCallMs ends that call (and the host); the sequence then fails by itself
// at that step, as it fails on any call that does not succeed. A Stop while the sequence's
// calls return is refused as before.
//
// A thread that has not ended within kStopJoinMs of its Stop is stranded: it is inside a call
// that has not returned (a phone library that ignores the end of the phone test). Until it
// ends, no job can be run beside it, so the window refuses new jobs at once (StrandedText); the
// window may still close, and Abort then leaves the thread to the end of the process rather than
// wait for it.
#pragma once

#include "config/station_settings.h"
#include "device/oxbind_loader/phone_api.h"
#include "device/oxbind_loader/phone_event.h"
#include "device/sync/manual_reset_event.h"
#include "station/job_context.h"
#include "station/job_host.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace kestrel::station {

// What the job threads need of the window beyond what a sequence needs.
class JobWindow : public JobHost {
 public:
  virtual bool PortWatchRunning() const = 0;
  virtual void ShowPortState(bool present) = 0;
  virtual void StartPortWatch(bool on) = 0;
  virtual void FocusFirstEntry() = 0;
  virtual void EnablePortList(bool on) = 0;
  // Calibration mode with AutoPort: the COM port the library found the phone on.
  virtual void SetPortFromJob(int port) = 0;
  // WM_JOB_FINISHED: posted, never sent, with the job's number.
  virtual void PostJobFinished(std::uint64_t job) = 0;

 protected:
  ~JobWindow() override = default;
};

// The channel given to KV_BeginPhoneTest: kind 3 (the library finds the phone's USB port)
// with AutoPort in calibration mode, else the COM port Port at 115200 baud.
PortChannel MakePortChannel(const config::StationSettings& settings);
// The boot mode asked of KV_EnterModeProcess.
int BootModeCode(const config::StationSettings& settings);

class JobControl {
 public:
  static constexpr int kStopJoinMs = 3000;
  // Under isolation, a call of the sequence this old counts as blocked: Stop ends it.
  static constexpr int kBlockedCallMs = 2000;
  static constexpr int kProbeAttempts = 4;
  static constexpr int kProbeBufferSize = 16384;

  // Runs the write or read-back sequence of a job once the phone is reached.
  using Sequence = std::function<void(const JobContext&)>;

  // The events a job waits on are the phone library's, so that its mode process can set one
  // of them; `kv` outlives the job control.
  JobControl(JobWindow& window, const device::oxbind::PhoneApi& kv);
  ~JobControl();  // Abort()
  JobControl(const JobControl&) = delete;
  JobControl& operator=(const JobControl&) = delete;

  // The event handed to KV_EnterModeProcess.
  device::oxbind::PhoneEvent& PortArrived() { return portArrived_; }
  // Set while the window goes away: pauses and message waits of a job end at once.
  const device::oxbind::PhoneEvent& AbortEvent() const { return abort_; }

  // Window thread, after a successful KV_BeginPhoneTest: starts the job's thread and returns
  // its number. Calibration mode: the stop and port-arrived events are reset first; the
  // caller asks the library for the mode process afterwards.
  std::uint64_t StartCalibration(JobContext context, int timeoutMs, int entrerModeWaitMs,
                                 bool autoPort, Sequence sequence);
  std::uint64_t StartNormal(JobContext context, Sequence sequence);

  // The job-running flag: from the start of a job to the end of its thread or Stop.
  bool Running() const { return running_.load(); }
  // A job was started and has not yet been closed by Finish or Stop (window thread).
  bool Active() const { return active_; }
  // The phone was reached: the sequence runs (or has run) and Stop is refused.
  bool SequenceStarted() const;
  // The thread of the last job outlived its Stop and has not ended yet (window thread).
  bool Stranded() const;
  // What the window shows when it refuses a job while a thread is stranded.
  static QString StrandedText();
  // Steady-clock ms when the phone was reached (0 before).
  std::int64_t JobStartMs() const { return jobStartMs_.load(); }
  bool TimedOut() const { return timedOut_.load(); }

  // Window thread, on the job's WM_JOB_FINISHED: joins the thread (which has ended or is
  // ending) and closes the job. False when the message is stale: the job was already closed
  // by Stop, or it is not the current one.
  bool Finish(std::uint64_t job);

  // Window thread, the Stop command: false while a sequence runs (nothing done, or, under
  // isolation, a blocked call of it ended: the sequence ends the job itself). Otherwise ends
  // the phone test, sets the stop event, joins the thread within kStopJoinMs and closes the
  // job. Returns true also when no job was running.
  bool Stop();

  // The window goes: aborts whatever runs (the sequence too) and joins without bound; a
  // stranded thread is not waited for.
  void Abort();

 private:
  void CalibrationJobThread(JobContext context, int timeoutMs, int entrerModeWaitMs, bool autoPort,
                            Sequence sequence, std::uint64_t job);
  void NormalJobThread(JobContext context, Sequence sequence, std::uint64_t job);
  // Called by the thread when the phone is reached; false when a Stop came first.
  bool EnterSequence();
  void LeaveSequence();
  // The phone is reached and Stop disabled: the job's sequence, then Stop enabled again.
  void RunSequence(const JobContext& context, const Sequence& sequence);
  void Launch(std::function<void()> body);
  // Under isolation, with a call of the sequence blocked for kBlockedCallMs: ends it (the
  // phone test, and with it the host). False when there is no such call.
  bool EndBlockedCall();
  bool Join(int timeoutMs);

  JobWindow& window_;
  const device::oxbind::PhoneApi& kv_;
  PhoneHandle phone_ = KV_INVALID_HANDLE;
  device::oxbind::PhoneEvent stop_;
  device::oxbind::PhoneEvent portArrived_;
  device::oxbind::PhoneEvent abort_;
  device::ManualResetEvent threadDone_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<std::int64_t> jobStartMs_{0};
  std::atomic<bool> timedOut_{false};
  std::atomic<std::int64_t> callSinceUs_{0};  // JobContext::callSinceUs of the job
  bool active_ = false;                       // window thread
  std::uint64_t job_ = 0;                     // window thread: the current job's number

  mutable std::mutex sequenceLock_;  // decides between Stop and the phone being reached
  bool stopRequested_ = false;
  bool inSequence_ = false;
};

}  // namespace kestrel::station
