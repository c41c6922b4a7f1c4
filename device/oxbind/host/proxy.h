// The proxy's core: the host process of the moment, the calls waiting for its answers and the
// station's handles, which outlive any one host. Internal to libkestrel-phone-proxy (and its
// tests); callers use oxbind.h and phone_proxy.h.
//
// Every call is bounded. A call that the library has not answered within its bound, or that
// has not returned within the grace after KV_EndPhoneTest / KV_StopModeProcess of its handle,
// ends the host (killed); the call then returns KV_ERR_TIMEOUT or KV_ERR_CANCELLED. A host
// that ends while calls wait fails them with KV_ERR_LINK_LOST, and the phone test it had open
// answers KV_ERR_LINK_LOST until KV_EndPhoneTest. The next call after that starts a new host
// and a new handle in it (the properties set so far set again). The cancel calls wait for the
// host's answer at most the grace: one not answered by then is left to the host, which runs
// it before any later call.
#pragma once

#include "device/oxbind/host/host_platform.h"
#include "device/oxbind/host/host_protocol.h"
#include "device/oxbind/oxbind.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kestrel::device::oxbind::host {

struct ProxyBounds {
  int startMs = 5000;   // from starting the host to its hello
  int promptMs = 2000;  // calls that return at once by the contract (KV_SetProperty,
                        // KV_BeginPhoneTest, KV_EnterModeProcess, KV_GetUsbPort, the handle's)
  int callMs = 60000;   // calls that wait for the phone
  int graceMs = 250;    // a blocked call after a cancel of its handle
  // The bounds given by the environment (KESTREL_PHONE_HOST_PROMPT_MS, _CALL_MS), else the
  // defaults above.
  static ProxyBounds FromEnvironment();
};

class Proxy {
 public:
  // The process's one proxy (the KV_ calls are process-wide). Never destroyed: its threads may
  // outlive any owner.
  static Proxy& Instance();

  explicit Proxy(ProxyBounds bounds);
  Proxy(const Proxy&) = delete;
  Proxy& operator=(const Proxy&) = delete;

  std::int32_t Open(const std::string& hostProgram, const std::string& library, std::string* error);
  bool Opened() const;
  bool Has(Call call) const;
  std::int32_t Info(KV_LibraryInfo* info) const;
  std::string LibraryPath() const;
  int HostProcessId() const;
  std::string TakeNotes();
  // Ends the host (its channel closed) and waits for it: at the process's exit.
  void Shutdown();

  PhoneHandle CreatePhone(std::int32_t reserved);
  std::int32_t ReleasePhone(PhoneHandle h);
  // A call on a handle: `args` are its arguments after the handle; the outputs of the answer
  // go to *outputs. *answered (when given) tells whether the host answered at all.
  std::int32_t Invoke(PhoneHandle h, Call call, const std::vector<std::uint8_t>& args,
                      std::vector<std::uint8_t>* outputs, bool* answered = nullptr);
  std::int32_t SetProperty(PhoneHandle h, std::int32_t id, std::int32_t arg1, std::int32_t arg2);
  // KV_EndPhoneTest, KV_StopModeProcess: the library's answer, or KV_OK when it has not come
  // within the grace.
  std::int32_t Cancel(PhoneHandle h, Call call);
  std::int32_t EnterModeProcess(PhoneHandle h, std::int32_t byUsb, std::int32_t dutPort,
                                std::int32_t mode, KV_Event* arrived, std::int32_t reserved);
  // The counters the host's answers brought, summed over the hosts the handle has had.
  std::int32_t RequestCounts(PhoneHandle h, std::uint64_t* requests,
                             std::uint64_t* retransmissions);

 private:
  struct Pending;
  struct Host;
  struct Handle {
    PhoneHandle remote = KV_INVALID_HANDLE;
    std::uint64_t generation = 0;  // of the host `remote` lives in
    bool testOpen = false;
    bool lost = false;  // its host ended with the phone test open: calls fail until the end
    std::map<std::int32_t, std::pair<std::int32_t, std::int32_t>> properties;
    std::map<std::uint32_t, KV_Event*> modes;  // mode processes whose event is relayed
    std::uint64_t cancels = 0;
    std::int64_t lastCancelMs = 0;
    std::string lastCancel;
    std::uint64_t requestsBase = 0, retransmissionsBase = 0;  // of the hosts before
    std::uint64_t requests = 0, retransmissions = 0;          // of this host
  };

  std::string StartHost();
  void ReadHost(std::shared_ptr<Host> host);
  void MarkEndedLocked(Host* host);
  void KillLocked(Host* host, const std::string& why);
  std::int32_t Attach(PhoneHandle h, std::unique_lock<std::mutex>& lock);
  // Sends one call to `host` and waits for its answer (the lock is held on entry and exit).
  std::int32_t Exchange(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Host>& host,
                        PhoneHandle h, Call call, const std::vector<std::uint8_t>& payload,
                        int boundMs, std::uint64_t cancelsBefore,
                        std::vector<std::uint8_t>* outputs, bool* answered);
  Handle* Find(PhoneHandle h);
  bool HostAlive() const;

  const ProxyBounds bounds_;
  mutable std::mutex mutex_;  // everything below
  std::mutex startMutex_;     // held while a host starts and a handle is made in it
  std::condition_variable helloArrived_;
  bool opened_ = false;
  std::string program_;
  std::string library_;
  Hello hello_;
  std::shared_ptr<Host> host_;
  std::uint64_t generations_ = 0;
  std::map<PhoneHandle, Handle> handles_;
  PhoneHandle nextHandle_ = 1;
  std::uint32_t nextId_ = 1;
  std::uint32_t nextMode_ = 1;
  std::vector<std::string> notes_;
};

}  // namespace kestrel::device::oxbind::host
