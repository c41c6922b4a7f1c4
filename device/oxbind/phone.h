// The phone behind one PhoneHandle: the open channel, the mode process, the requests.
// Internal to the library (and its tests and benchmark); callers use oxbind.h.
#pragma once

#include "device/oxbind/oxbind.h"
#include "device/oxbind/platform/platform.h"
#include "device/oxbind/serial_link.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace kestrel::device::oxbind {

constexpr int kDefaultReplyTimeoutMs = 1000;
constexpr int kDefaultAttempts = 3;
constexpr int kDefaultBaudRate = 115200;
// How long one attempt may be stretched while a reply keeps arriving (a 20 KB reply takes
// about 1.8 s at 115200 baud).
constexpr int kReplyStretchMs = 4000;
// A port probed by channel kind 3 or by the mode process gets this long to answer.
constexpr int kProbeTimeoutMs = 300;
// How often the mode process looks at the port map.
constexpr int kModePollMs = 50;

struct LinkCounters {
  uint64_t bytesSent = 0;
  uint64_t bytesReceived = 0;
  uint64_t requests = 0;
  uint64_t retransmissions = 0;
};

class Phone {
 public:
  Phone();
  ~Phone();
  Phone(const Phone&) = delete;
  Phone& operator=(const Phone&) = delete;

  int32_t SetProperty(int32_t id, int32_t arg1, int32_t arg2);
  int32_t Begin(const PortChannel* channel);
  int32_t End();
  int32_t EnterModeProcess(int32_t byUsb, int32_t dutPort, int32_t mode, KV_Event* arrived);
  int32_t StopModeProcess();
  int32_t UsbPort() const;
  int32_t WriteRaw(const uint8_t* data, int32_t length);

  // One request and its response over the open channel. The response's result is returned;
  // on 0, *data holds the response data after the result. attemptTimeoutMs <= 0: the
  // handle's reply time-out.
  int32_t Call(uint16_t command, const std::vector<uint8_t>& payload, std::vector<uint8_t>* data,
               int attemptTimeoutMs = 0);

  LinkCounters Counters() const;
  // The requests and retransmissions so far (bytes left 0), without waiting for a call in
  // progress.
  LinkCounters RequestCounters() const;

 private:
  struct PortSeen {
    int64_t changedMsecs = 0;
  };

  int32_t EnsureLinkLocked();
  int32_t FindAnsweringPortLocked();
  int32_t Transact(SerialLink* link, uint16_t command, const std::vector<uint8_t>& payload,
                   std::vector<uint8_t>* data, int attemptTimeoutMs, int attempts,
                   const platform::CancelToken* cancel);
  void DropLinkLocked();
  void ModeThread(bool byUsb, int32_t dutPort, int32_t mode, KV_Event* arrived,
                  std::map<int, PortSeen> baseline);

  // Held by every call for its whole length; KV_EndPhoneTest takes it after waking the
  // call through cancel_, so a call never sees its line closed under it.
  mutable std::mutex callMutex_;
  // Made by the first Begin, so that idle handles hold no system object; kept to the end.
  std::unique_ptr<platform::CancelToken> cancelOwner_;
  std::atomic<platform::CancelToken*> cancel_{nullptr};
  bool open_ = false;
  int32_t channelType_ = KV_CHANNEL_COM;
  int32_t channelPort_ = 0;
  int32_t baudRate_ = kDefaultBaudRate;
  std::map<int, PortSeen> beginPorts_;  // kind 3: the map when the test was opened
  std::unique_ptr<SerialLink> link_;
  std::atomic<uint8_t> sequence_{0};  // the mode thread sends requests too
  int replyTimeoutMs_ = kDefaultReplyTimeoutMs;
  int attempts_ = kDefaultAttempts;
  std::atomic<int32_t> boundPort_{0};

  // The mode process.
  std::mutex modeMutex_;  // guards modeThread_; never taken while holding callMutex_
  std::thread modeThread_;
  std::unique_ptr<platform::CancelToken> modeStopOwner_;  // made by the first EnterModeProcess
  std::atomic<platform::CancelToken*> modeStop_{nullptr};
  std::atomic<int32_t> usbPort_{0};

  mutable std::mutex countersMutex_;
  LinkCounters counters_;  // of lines already closed, plus requests
};

// The phone of a live handle, or null.
std::shared_ptr<Phone> FindPhone(PhoneHandle h);

}  // namespace kestrel::device::oxbind
