#include "device/oxbind/host/proxy.h"

#include "device/oxbind/event.h"
#include "device/oxbind/platform/platform.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace kestrel::device::oxbind::host {
namespace {

constexpr int kCancelWriteMs = 50;     // a cancel is a few bytes: the channel takes them at once
constexpr int kReapSelfEndedMs = 500;  // a host that closed its end on its own, to its end
constexpr int kReapKilledMs = 3000;

int EnvMs(const char* name, int fallback) {
  const std::string text = platform::GetEnv(name);
  char* end = nullptr;
  const long v = text.empty() ? 0 : std::strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == 0 && v >= 10 && v <= 3600000 ? static_cast<int>(v) : fallback;
}

// The calls that return at once by the contract, bounded by promptMs.
bool Prompt(Call c) {
  switch (c) {
    case Call::kCreatePhone:
    case Call::kReleasePhone:
    case Call::kSetProperty:
    case Call::kBeginPhoneTest:
    case Call::kEnterModeProcess:
    case Call::kGetUsbPort:
      return true;
    default:
      return false;
  }
}

Environment StationEnvironment() {
  Environment env;
  env.stationDir = platform::GetEnv("KESTREL_STATION_DIR");
  env.stationDirSet = !env.stationDir.empty();
  return env;
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& p : parts) text += (text.empty() ? "" : ", ") + p;
  return text;
}

}  // namespace

ProxyBounds ProxyBounds::FromEnvironment() {
  ProxyBounds b;
  b.promptMs = EnvMs("KESTREL_PHONE_HOST_PROMPT_MS", b.promptMs);
  b.callMs = EnvMs("KESTREL_PHONE_HOST_CALL_MS", b.callMs);
  return b;
}

struct Proxy::Pending {
  PhoneHandle handle = KV_INVALID_HANDLE;
  Call call = Call::kCount;
  bool done = false;
  bool failed = false;
  std::vector<std::uint8_t> payload;
  std::condition_variable cv;
};

struct Proxy::Host {
  std::unique_ptr<HostProcess> process;
  std::thread reader;
  std::uint64_t generation = 0;
  bool alive = true;
  bool quiet = false;  // ended before it served (a failed start): no note of its end
  bool helloSeen = false;
  Hello hello;
  std::string endedFor;  // why the proxy ended it; empty when it ended by itself
  std::map<std::uint32_t, Pending*> pending;
  std::mutex writeMutex;  // one frame at a time on the channel
};

Proxy& Proxy::Instance() {
  static Proxy* proxy = [] {
    auto* p = new Proxy(ProxyBounds::FromEnvironment());
    // At the process's exit the host goes with it and is waited for: no process of it is
    // left behind (not even one waiting to be reaped).
    std::atexit([] { Instance().Shutdown(); });
    return p;
  }();
  return *proxy;
}

Proxy::Proxy(ProxyBounds bounds) : bounds_(bounds) {}

bool Proxy::Opened() const {
  std::lock_guard lock(mutex_);
  return opened_;
}

bool Proxy::Has(Call call) const {
  std::lock_guard lock(mutex_);
  return opened_ && (hello_.calls & CallBit(call)) != 0;
}

std::int32_t Proxy::Info(KV_LibraryInfo* info) const {
  std::lock_guard lock(mutex_);
  if (!opened_) return KV_ERR_NOT_OPEN;
  *info = hello_.info;
  return hello_.infoResult;
}

std::string Proxy::LibraryPath() const {
  std::lock_guard lock(mutex_);
  return hello_.path;
}

int Proxy::HostProcessId() const {
  std::lock_guard lock(mutex_);
  return host_ && host_->alive ? host_->process->ProcessId() : 0;
}

std::string Proxy::TakeNotes() {
  std::lock_guard lock(mutex_);
  std::string text;
  for (const std::string& n : notes_) text += (text.empty() ? "" : "; ") + n;
  notes_.clear();
  return text;
}

bool Proxy::HostAlive() const {
  return host_ && host_->alive;
}

Proxy::Handle* Proxy::Find(PhoneHandle h) {
  auto it = handles_.find(h);
  return it == handles_.end() ? nullptr : &it->second;
}

std::int32_t Proxy::Open(const std::string& hostProgram, const std::string& library,
                         std::string* error) {
  std::lock_guard start(startMutex_);
  {
    std::lock_guard lock(mutex_);
    if (opened_) {
      if (library == library_) return KV_OK;
      *error = "this process hosts " + library_ + " already";
      return KV_ERR_BUSY;
    }
    program_ = hostProgram;
    library_ = library;
  }
  *error = StartHost();
  if (!error->empty()) return KV_ERR_LINK_LOST;
  std::lock_guard lock(mutex_);
  hello_ = host_->hello;
  opened_ = true;
  return KV_OK;
}

// startMutex_ held, mutex_ not. Empty, or why no host could be started.
std::string Proxy::StartHost() {
  std::shared_ptr<Host> old;
  {
    std::lock_guard lock(mutex_);
    old = host_;
  }
  if (old && old->reader.joinable()) old->reader.join();  // it has ended: its reader is done

  std::string error;
  auto process = HostProcess::Start(program_, {library_}, bounds_.startMs, &error);
  if (!process) return error;
  auto host = std::make_shared<Host>();
  host->process = std::move(process);
  std::unique_lock lock(mutex_);
  host->generation = ++generations_;
  host->reader = std::thread([this, host] { ReadHost(host); });
  const bool seen = helloArrived_.wait_for(lock, std::chrono::milliseconds(bounds_.startMs),
                                           [&] { return host->helloSeen || !host->alive; });
  host->quiet = true;
  if (!seen || !host->helloSeen) {
    KillLocked(host.get(), "it did not start");
    host_ = host;  // joined at the next start
    return seen ? "kestrel-phone-host ended before it reported (" + program_ + ")"
                : "kestrel-phone-host did not report within " + std::to_string(bounds_.startMs) +
                      " ms of its start";
  }
  if (host->hello.status != 0) {
    KillLocked(host.get(), "its library could not be loaded");  // it ends by itself anyway
    host_ = host;
    return host->hello.error;
  }
  host->quiet = false;
  host_ = host;
  if (opened_) {
    notes_.push_back("a new host was started (process " +
                     std::to_string(host->process->ProcessId()) + ")");
  }
  return {};
}

void Proxy::ReadHost(std::shared_ptr<Host> host) {
  FrameReader reader;
  std::vector<std::uint8_t> buffer(64 * 1024);
  std::vector<Frame> frames;
  for (;;) {
    const std::size_t n = host->process->link().Read(buffer.data(), buffer.size());
    if (n == 0) break;
    frames.clear();
    const bool ok = reader.Feed(buffer.data(), n, &frames);
    std::lock_guard lock(mutex_);
    for (Frame& f : frames) {
      if (f.kind == FrameKind::kAnswer) {
        auto it = host->pending.find(f.id);
        if (it == host->pending.end()) continue;  // a cancel's answer, or a call given up
        it->second->payload = std::move(f.payload);
        it->second->done = true;
        it->second->cv.notify_all();
      } else if (f.kind == FrameKind::kNote && f.code == static_cast<std::uint16_t>(Note::kHello)) {
        host->helloSeen = DecodeHello(f.payload, &host->hello);
        helloArrived_.notify_all();
      } else if (f.kind == FrameKind::kNote &&
                 f.code == static_cast<std::uint16_t>(Note::kEventSet)) {
        Reader r(f.payload);
        const std::uint32_t mode = r.U32();
        for (auto& [h, handle] : handles_) {
          auto it = handle.modes.find(mode);
          if (it == handle.modes.end()) continue;
          it->second->event.Set();
          handle.modes.erase(it);
        }
      }
    }
    if (!ok) {
      if (host->alive) KillLocked(host.get(), "it sent what is not of the channel");
      break;
    }
  }

  // The channel has ended: the host has ended or is ending. It is waited for first, so that
  // the note of how it ended is there before the calls waiting on it fail.
  bool killed = false;
  {
    std::lock_guard lock(mutex_);
    killed = !host->alive;  // the proxy ended it (and has noted why)
  }
  std::string how;
  if (!host->process->Wait(killed ? kReapKilledMs : kReapSelfEndedMs, &how)) {
    host->process->Kill();
    if (!host->process->Wait(kReapKilledMs, &how)) how = "it did not end when killed";
  }
  std::lock_guard lock(mutex_);
  if (host->alive && !host->quiet) {
    std::vector<std::string> during;
    for (const auto& [id, p] : host->pending) during.push_back(CallName(static_cast<int>(p->call)));
    notes_.push_back("the host ended (" + how + ") " +
                     (during.empty() ? std::string("between calls") : "during " + Joined(during)));
  }
  MarkEndedLocked(host.get());
  helloArrived_.notify_all();
}

// The host is gone for the station: waiting calls fail, open phone tests are lost.
void Proxy::MarkEndedLocked(Host* host) {
  if (!host->alive) return;
  host->alive = false;
  for (auto& [id, p] : host->pending) {
    p->failed = true;
    p->cv.notify_all();
  }
  for (auto& [h, handle] : handles_) {
    if (handle.generation != host->generation) continue;
    if (handle.testOpen) handle.lost = true;
    handle.testOpen = false;
    handle.modes.clear();
    handle.requestsBase += handle.requests;
    handle.retransmissionsBase += handle.retransmissions;
    handle.requests = 0;
    handle.retransmissions = 0;
  }
}

void Proxy::KillLocked(Host* host, const std::string& why) {
  if (!host->alive) return;
  host->endedFor = why;
  if (!host->quiet) notes_.push_back("the station ended the host (killed): " + why);
  MarkEndedLocked(host);
  host->process->Kill();
  host->process->link().Shutdown();  // the reader ends at once
}

// mutex_ held through `lock` on entry and exit. Gives the handle a live host: starts one when
// none runs, and makes the handle again in it (with the properties set so far).
std::int32_t Proxy::Attach(PhoneHandle h, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  std::lock_guard start(startMutex_);
  lock.lock();
  if (!HostAlive()) {
    lock.unlock();
    const std::string error = StartHost();
    lock.lock();
    if (!error.empty()) {
      notes_.push_back("no new host could be started: " + error);
      return KV_ERR_LINK_LOST;
    }
  }
  Handle* hd = Find(h);
  if (hd == nullptr) return KV_ERR_INVALID_HANDLE;
  const std::shared_ptr<Host> host = host_;
  if (hd->generation == host->generation) return KV_OK;
  const std::uint64_t cancels = hd->cancels;
  const auto properties = hd->properties;

  Writer create;
  PutEnvironment(&create, StationEnvironment());
  create.I32(0);
  bool answered = false;
  const std::int32_t remote = Exchange(lock, host, h, Call::kCreatePhone, create.bytes(),
                                       bounds_.promptMs, cancels, nullptr, &answered);
  if (!answered) return KV_ERR_LINK_LOST;
  if (remote == KV_INVALID_HANDLE) return KV_ERR_INVALID_HANDLE;
  for (const auto& [id, args] : properties) {
    Writer w;
    w.I32(remote);
    w.I32(id);
    w.I32(args.first);
    w.I32(args.second);
    Exchange(lock, host, h, Call::kSetProperty, w.bytes(), bounds_.promptMs, cancels, nullptr,
             &answered);
    if (!answered) return KV_ERR_LINK_LOST;
  }
  hd = Find(h);
  if (hd == nullptr) return KV_ERR_INVALID_HANDLE;
  hd->remote = remote;
  hd->generation = host->generation;
  hd->testOpen = false;
  hd->lost = false;
  return KV_OK;
}

std::int32_t Proxy::Exchange(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Host>& host,
                             PhoneHandle h, Call call, const std::vector<std::uint8_t>& payload,
                             int boundMs, std::uint64_t cancelsBefore,
                             std::vector<std::uint8_t>* outputs, bool* answered) {
  *answered = false;
  if (!host || !host->alive) return KV_ERR_LINK_LOST;
  if (payload.size() > kMaxPayload) return KV_ERR_BAD_ARGUMENT;
  Pending p;
  p.handle = h;
  p.call = call;
  std::uint32_t id = nextId_++;
  if (id == 0) id = nextId_++;
  host->pending[id] = &p;
  std::vector<std::uint8_t> bytes;
  AppendFrame(&bytes, FrameKind::kCall, static_cast<std::uint16_t>(call), id, payload.data(),
              payload.size());
  const std::int64_t start = platform::NowMs();
  lock.unlock();
  bool sent = false;
  {
    std::lock_guard w(host->writeMutex);
    sent = host->process->link().Write(bytes.data(), bytes.size(), boundMs);
  }
  lock.lock();
  const std::string name = CallName(static_cast<int>(call));
  if (!sent && host->alive && !p.done) {
    KillLocked(host.get(), "the channel did not take " + name);
  }
  const std::int64_t deadline = start + boundMs;
  for (;;) {
    if (p.done) break;
    if (p.failed) {
      host->pending.erase(id);
      return KV_ERR_LINK_LOST;
    }
    std::int64_t until = deadline;
    bool cancelled = false;
    const Handle* hd = Find(h);
    if (hd != nullptr && hd->cancels != cancelsBefore) {
      cancelled = true;
      until = std::min(until, hd->lastCancelMs + bounds_.graceMs);
    }
    const std::int64_t now = platform::NowMs();
    if (now >= until) {
      host->pending.erase(id);
      KillLocked(host.get(),
                 cancelled ? name + " did not return within " + std::to_string(bounds_.graceMs) +
                                 " ms of " + hd->lastCancel
                           : name + " did not return within " + std::to_string(boundMs) + " ms");
      return cancelled ? KV_ERR_CANCELLED : KV_ERR_TIMEOUT;
    }
    p.cv.wait_for(lock, std::chrono::milliseconds(until - now));
  }
  host->pending.erase(id);
  *answered = true;
  Reader r(p.payload);
  const AnswerHead head = GetAnswerHead(&r);
  if (!r.ok()) {
    *answered = false;
    KillLocked(host.get(), "its answer to " + name + " was cut short");
    return KV_ERR_LINK_LOST;
  }
  if (head.counted) {
    if (Handle* hd = Find(h); hd != nullptr && hd->generation == host->generation) {
      hd->requests = head.requests;
      hd->retransmissions = head.retransmissions;
    }
  }
  if (outputs != nullptr) {
    outputs->assign(p.payload.begin() + static_cast<std::ptrdiff_t>(kAnswerHeadSize),
                    p.payload.end());
  }
  return head.result;
}

PhoneHandle Proxy::CreatePhone(std::int32_t reserved) {
  std::unique_lock lock(mutex_);
  if (!opened_ || reserved != 0 || nextHandle_ == INT32_MAX) return KV_INVALID_HANDLE;
  const PhoneHandle h = nextHandle_++;  // never reused, as a library's own handles
  handles_[h];                          // a handle with no host yet: Attach makes it in the host
  const std::int32_t r = Attach(h, lock);
  if (r != KV_OK) {
    handles_.erase(h);
    return KV_INVALID_HANDLE;
  }
  return h;
}

std::int32_t Proxy::ReleasePhone(PhoneHandle h) {
  std::unique_lock lock(mutex_);
  Handle* hd = Find(h);
  if (hd == nullptr) return KV_ERR_INVALID_HANDLE;
  std::int32_t r = KV_OK;
  if (HostAlive() && hd->generation == host_->generation) {
    Writer w;
    w.I32(hd->remote);
    bool answered = false;
    r = Exchange(lock, host_, h, Call::kReleasePhone, w.bytes(), bounds_.promptMs, hd->cancels,
                 nullptr, &answered);
    if (!answered) r = KV_OK;  // the host went with the handle
  }
  handles_.erase(h);
  return r;
}

void Proxy::Shutdown() {
  std::unique_lock lock(mutex_);
  const std::shared_ptr<Host> host = host_;
  if (!host) return;
  if (host->alive) {
    host->quiet = true;
    MarkEndedLocked(host.get());
    host->process->link().Shutdown();  // the host ends when its channel does
  }
  lock.unlock();
  std::lock_guard start(startMutex_);
  if (host->reader.joinable()) host->reader.join();
}

std::int32_t Proxy::Invoke(PhoneHandle h, Call call, const std::vector<std::uint8_t>& args,
                           std::vector<std::uint8_t>* outputs, bool* answered) {
  bool got = false;
  if (answered == nullptr) answered = &got;
  *answered = false;
  std::unique_lock lock(mutex_);
  Handle* hd = Find(h);
  if (hd == nullptr) return KV_ERR_INVALID_HANDLE;
  if (hd->lost) return KV_ERR_LINK_LOST;
  const std::uint64_t cancels = hd->cancels;
  if (!HostAlive() || hd->generation != host_->generation) {
    const std::int32_t r = Attach(h, lock);
    if (r != KV_OK) return r;
    hd = Find(h);
    if (hd == nullptr) return KV_ERR_INVALID_HANDLE;
  }
  Writer w;
  if (CarriesEnvironment(call)) PutEnvironment(&w, StationEnvironment());
  w.I32(hd->remote);
  w.Raw(args.data(), args.size());
  int bound = Prompt(call) ? bounds_.promptMs : bounds_.callMs;
  if (call == Call::kSendATCommand && args.size() >= 4) {
    // The command's own time-out, for each attempt a library may make.
    Reader r(args.data() + args.size() - 4, 4);
    const std::int64_t own = std::int64_t{r.I32()} * 10 + 5000;
    bound = static_cast<int>(std::clamp<std::int64_t>(own, bound, 3600000));
  }
  const std::shared_ptr<Host> host = host_;
  const std::int32_t r =
      Exchange(lock, host, h, call, w.bytes(), bound, cancels, outputs, answered);
  if (call == Call::kBeginPhoneTest && r == KV_OK && *answered) {
    if (Handle* now = Find(h); now != nullptr && now->generation == host->generation) {
      now->testOpen = true;
    }
  }
  return r;
}

std::int32_t Proxy::SetProperty(PhoneHandle h, std::int32_t id, std::int32_t arg1,
                                std::int32_t arg2) {
  Writer w;
  w.I32(id);
  w.I32(arg1);
  w.I32(arg2);
  bool answered = false;
  const std::int32_t r = Invoke(h, Call::kSetProperty, w.bytes(), nullptr, &answered);
  if (r == KV_OK && answered) {
    std::lock_guard lock(mutex_);
    if (Handle* hd = Find(h)) hd->properties[id] = {arg1, arg2};
  }
  return r;
}

std::int32_t Proxy::Cancel(PhoneHandle h, Call call) {
  std::unique_lock lock(mutex_);
  Handle* hd = Find(h);
  if (hd == nullptr) return KV_ERR_INVALID_HANDLE;
  hd->modes.clear();  // both end the mode process: its event is no longer relayed
  const bool lost = hd->lost;
  if (call == Call::kEndPhoneTest) {
    hd->lost = false;
    hd->testOpen = false;
  }
  ++hd->cancels;
  hd->lastCancelMs = platform::NowMs();
  hd->lastCancel = CallName(static_cast<int>(call));
  if (!HostAlive() || hd->generation != host_->generation || lost) return KV_OK;
  const std::shared_ptr<Host> host = host_;
  for (auto& [id, p] : host->pending) {
    if (p->handle == h) p->cv.notify_all();  // their grace runs from now
  }
  Pending p;
  p.handle = h;
  p.call = call;
  std::uint32_t id = nextId_++;
  if (id == 0) id = nextId_++;
  host->pending[id] = &p;
  Writer w;
  w.I32(hd->remote);
  std::vector<std::uint8_t> bytes;
  AppendFrame(&bytes, FrameKind::kCall, static_cast<std::uint16_t>(call), id, w.bytes().data(),
              w.bytes().size());
  const std::int64_t sentMs = platform::NowMs();
  lock.unlock();
  // The caller may be the window's thread: the cancel waits for the host only briefly. A
  // cancel not taken or not answered in that time is left to the host, which runs it before
  // any later call, or to the blocked call's grace, which ends the host.
  {
    // Not a timed mutex: the thread sanitizer does not see a lock taken with a time-out.
    std::unique_lock write(host->writeMutex, std::try_to_lock);
    for (int tries = 0; !write.owns_lock() && tries < kCancelWriteMs; ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      write.try_lock();
    }
    if (write.owns_lock()) host->process->link().Write(bytes.data(), bytes.size(), kCancelWriteMs);
  }
  lock.lock();
  p.cv.wait_for(lock,
                std::chrono::milliseconds(
                    std::max<std::int64_t>(0, sentMs + bounds_.graceMs - platform::NowMs())),
                [&] { return p.done || p.failed; });
  host->pending.erase(id);
  if (!p.done) return KV_OK;
  Reader r(p.payload);
  const AnswerHead head = GetAnswerHead(&r);
  return r.ok() ? head.result : KV_OK;
}

std::int32_t Proxy::EnterModeProcess(PhoneHandle h, std::int32_t byUsb, std::int32_t dutPort,
                                     std::int32_t mode, KV_Event* arrived, std::int32_t reserved) {
  std::uint32_t id = 0;
  {
    std::lock_guard lock(mutex_);
    Handle* hd = Find(h);
    if (hd == nullptr) return KV_ERR_INVALID_HANDLE;
    id = nextMode_++;
    if (id == 0) id = nextMode_++;
    if (arrived != nullptr) hd->modes[id] = arrived;
  }
  Writer w;
  w.I32(byUsb);
  w.I32(dutPort);
  w.I32(mode);
  w.U8(arrived != nullptr ? 1 : 0);
  w.U32(id);
  w.I32(reserved);
  const std::int32_t r = Invoke(h, Call::kEnterModeProcess, w.bytes(), nullptr);
  std::lock_guard lock(mutex_);
  if (Handle* hd = Find(h)) {
    if (r != KV_OK) {
      hd->modes.erase(id);  // refused: the running one (if any) stays relayed
    } else {
      for (auto it = hd->modes.begin(); it != hd->modes.end();) {
        it = it->first == id ? std::next(it) : hd->modes.erase(it);
      }
    }
  }
  return r;
}

std::int32_t Proxy::RequestCounts(PhoneHandle h, std::uint64_t* requests,
                                  std::uint64_t* retransmissions) {
  std::lock_guard lock(mutex_);
  const Handle* hd = Find(h);
  if (hd == nullptr) return KV_ERR_INVALID_HANDLE;
  *requests = hd->requestsBase + hd->requests;
  *retransmissions = hd->retransmissionsBase + hd->retransmissions;
  return KV_OK;
}

}  // namespace kestrel::device::oxbind::host
