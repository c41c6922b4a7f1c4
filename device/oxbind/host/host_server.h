// The host's side of the channel: runs the proxy's calls on the hosted library and answers
// them. A call runs on a worker thread of its own, so that a cancel (KV_EndPhoneTest,
// KV_StopModeProcess) reaches the library while another call is blocked in it; the cancels run
// in the order they came on one thread, and a call never starts before a cancel sent ahead of
// it has returned. The event a mode process sets is the library's, watched here and reported
// to the proxy as a note.
#pragma once

#include "device/oxbind/host/host_platform.h"
#include "device/oxbind/host/host_protocol.h"
#include "device/oxbind_loader/phone_api.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrel::device::oxbind::host {

class HostServer {
 public:
  // Sends one whole frame to the proxy; false when the channel is gone.
  using Send = std::function<bool(const std::vector<std::uint8_t>&)>;

  // `library` is the hosted library's table (null where it lacks a call). With `threads`
  // false every call runs on the thread that takes it (the fuzz target, tests).
  HostServer(const PhoneApi& library, Send send, bool threads = true);
  // Ends the mode watches and the workers (which must have returned); the host itself ends
  // with ExitNow instead, leaving a blocked worker to the end of the process.
  ~HostServer();
  HostServer(const HostServer&) = delete;
  HostServer& operator=(const HostServer&) = delete;

  // One frame from the proxy. Anything but a call is ignored.
  void Take(Frame frame);

  // Runs one call on this thread: the payload of its answer.
  std::vector<std::uint8_t> Answer(Call call, const std::vector<std::uint8_t>& payload);

 private:
  struct Task {
    Frame frame;
    std::uint64_t cancelsBefore = 0;
  };
  struct ModeWatch;

  void Run(const Frame& frame);
  void GeneralWorker();
  void CancelWorker();
  std::int32_t EnterMode(PhoneHandle h, std::int32_t byUsb, std::int32_t dutPort, std::int32_t mode,
                         bool withEvent, std::uint32_t modeId, std::int32_t reserved);
  void EndWatch(PhoneHandle h);
  void Watch(ModeWatch* watch);

  const PhoneApi& lib_;
  Send send_;
  const bool threads_;
  std::mutex sendMutex_;

  std::mutex mutex_;  // the queues, the workers, the counts
  std::condition_variable changed_;
  std::deque<Task> general_;
  std::deque<Frame> cancels_;
  std::uint64_t cancelsTaken_ = 0;
  std::uint64_t cancelsDone_ = 0;
  int idle_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
  std::thread cancelWorker_;

  std::mutex watchMutex_;  // the mode watches
  std::map<PhoneHandle, std::unique_ptr<ModeWatch>> watches_;
};

// Reads the proxy's frames from `link` until the channel ends (or breaks), handing each to
// the server.
void Serve(Link& link, HostServer& server);

}  // namespace kestrel::device::oxbind::host
