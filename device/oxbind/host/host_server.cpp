#include "device/oxbind/host/host_server.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace kestrel::device::oxbind::host {
namespace {

constexpr int kWatchSliceMs = 1000;  // a mode watch looks whether it is to end this often

// A zeroed buffer of `size` bytes for a library to fill (at least one byte, so that the
// library gets a pointer whatever size the caller named).
std::vector<char> Buffer(std::int32_t size) {
  return std::vector<char>(static_cast<std::size_t>(std::max<std::int32_t>(size, 0)) + 1, '\0');
}

// What the library left in a buffer it was given zeroed: up to its last nonzero byte.
void PutFilled(Writer* w, const std::vector<char>& buffer, std::int32_t size) {
  std::size_t n = static_cast<std::size_t>(std::max<std::int32_t>(size, 0));
  while (n > 0 && buffer[n - 1] == 0) --n;
  w->Bytes(buffer.data(), n);
}

// Bytes of the caller's, in a buffer of at least `size` bytes (zero-padded) and a terminator.
std::vector<char> Padded(const std::vector<std::uint8_t>& bytes, std::int32_t size) {
  std::vector<char> b(std::max(bytes.size(), static_cast<std::size_t>(std::max(size, 0))) + 1,
                      '\0');
  if (!bytes.empty()) std::memcpy(b.data(), bytes.data(), bytes.size());
  return b;
}

bool SizeOk(std::int32_t size) {
  return size <= static_cast<std::int32_t>(kMaxBuffer);
}

// A block a call hands the library: (has buffer, bytes, size), the bytes padded to the size.
struct InBlock {
  bool has = false;
  std::int32_t size = 0;
  std::vector<char> bytes;
  const char* data() const { return has ? bytes.data() : nullptr; }
  const std::uint8_t* udata() const { return reinterpret_cast<const std::uint8_t*>(data()); }
};

// False when the request is cut or names a size over the bound.
bool ReadBlock(Reader* in, InBlock* b) {
  b->has = in->U8() != 0;
  const std::vector<std::uint8_t> data = in->Bytes();
  b->size = in->I32();
  if (!in->ok() || !SizeOk(b->size)) return false;
  b->bytes = Padded(data, b->size);
  return true;
}

// The station folder the proxy's process has, made the host's own before a call that looks
// for ports. Applied only when it changed.
void Apply(const Environment& env) {
  static std::mutex m;
  static bool known = false;
  static Environment last;
  std::lock_guard lock(m);
  if (known && last.stationDirSet == env.stationDirSet && last.stationDir == env.stationDir) return;
  SetEnvironment("KESTREL_STATION_DIR", env.stationDir, env.stationDirSet);
  last = env;
  known = true;
}

}  // namespace

struct HostServer::ModeWatch {
  KV_Event* event = nullptr;  // the library's, handed to its mode process
  KV_Event* stop = nullptr;   // set to end the watch
  std::uint32_t id = 0;
  std::thread thread;
};

HostServer::HostServer(const PhoneApi& library, Send send, bool threads)
    : lib_(library), send_(std::move(send)), threads_(threads) {}

HostServer::~HostServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : workers_) t.join();
  if (cancelWorker_.joinable()) cancelWorker_.join();
  std::vector<PhoneHandle> handles;
  {
    std::lock_guard lock(watchMutex_);
    for (const auto& [h, w] : watches_) handles.push_back(h);
  }
  for (PhoneHandle h : handles) EndWatch(h);
}

void HostServer::Take(Frame frame) {
  if (frame.kind != FrameKind::kCall) return;
  if (!threads_) {
    Run(frame);
    return;
  }
  const bool cancel = frame.code < kCallCount && IsCancel(static_cast<Call>(frame.code));
  std::lock_guard lock(mutex_);
  if (cancel) {
    cancels_.push_back(std::move(frame));
    ++cancelsTaken_;
    if (!cancelWorker_.joinable()) cancelWorker_ = std::thread([this] { CancelWorker(); });
  } else {
    general_.push_back({std::move(frame), cancelsTaken_});
    if (idle_ < static_cast<int>(general_.size())) {
      workers_.emplace_back([this] { GeneralWorker(); });
    }
  }
  changed_.notify_all();
}

void HostServer::GeneralWorker() {
  std::unique_lock lock(mutex_);
  for (;;) {
    ++idle_;
    changed_.wait(lock, [this] { return stopping_ || !general_.empty(); });
    --idle_;
    if (general_.empty()) return;  // stopping
    Task task = std::move(general_.front());
    general_.pop_front();
    // A cancel sent before this call has returned first (a phone test ended before the next
    // one opens).
    changed_.wait(lock, [&] { return stopping_ || cancelsDone_ >= task.cancelsBefore; });
    lock.unlock();
    Run(task.frame);
    lock.lock();
  }
}

void HostServer::CancelWorker() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || !cancels_.empty(); });
    if (cancels_.empty()) return;
    Frame frame = std::move(cancels_.front());
    cancels_.pop_front();
    lock.unlock();
    Run(frame);
    lock.lock();
    ++cancelsDone_;
    changed_.notify_all();
  }
}

void HostServer::Run(const Frame& frame) {
  const std::vector<std::uint8_t> payload =
      frame.code < kCallCount ? Answer(static_cast<Call>(frame.code), frame.payload)
                              : Answer(Call::kCount, frame.payload);
  std::vector<std::uint8_t> bytes;
  AppendFrame(&bytes, FrameKind::kAnswer, frame.code, frame.id, payload.data(), payload.size());
  std::lock_guard lock(sendMutex_);
  send_(bytes);
}

std::vector<std::uint8_t> HostServer::Answer(Call call, const std::vector<std::uint8_t>& payload) {
  Reader in(payload);
  Writer out;  // the call's outputs
  AnswerHead head;
  head.result = KV_ERR_NOT_SUPPORTED;
  PhoneHandle h = KV_INVALID_HANDLE;
  bool withHandle = true;
  if (CarriesEnvironment(call)) {
    const Environment env = GetEnvironment(&in);
    if (in.ok()) Apply(env);
  }

  auto bad = [&] { head.result = KV_ERR_BAD_ARGUMENT; };
  // A text call: (h, has buffer, size) -> the text.
  auto text = [&](decltype(PhoneApi::GetMsVersion) fn) {
    h = in.I32();
    const bool has = in.U8() != 0;
    const std::int32_t size = in.I32();
    if (!in.ok() || !SizeOk(size)) return bad();
    std::vector<char> b = Buffer(size);
    head.result = fn(h, has ? b.data() : nullptr, size);
    PutFilled(&out, b, size);
  };
  auto record = [&](decltype(PhoneApi::FastWriteNvInfo) fn) {
    h = in.I32();
    const bool has = in.U8() != 0;
    NvInfoRecord r;
    in.Raw(&r, sizeof(r));
    if (!in.ok()) return bad();
    head.result = fn(h, has ? &r : nullptr);
  };
  auto plain = [&](decltype(PhoneApi::PowerOff) fn) {
    h = in.I32();
    if (!in.ok()) return bad();
    head.result = fn(h);
  };

  switch (call) {
#define KESTREL_HOST_NEEDS(name) \
  case Call::k##name:            \
    if (lib_.name == nullptr) break;
    KESTREL_HOST_NEEDS(CreatePhone) {
      withHandle = false;
      const std::int32_t reserved = in.I32();
      if (!in.ok()) {
        bad();
        break;
      }
      head.result = lib_.CreatePhone(reserved);
      break;
    }
    KESTREL_HOST_NEEDS(ReleasePhone) {
      withHandle = false;  // no counters of a released handle
      h = in.I32();
      if (!in.ok()) {
        bad();
        break;
      }
      head.result = lib_.ReleasePhone(h);
      EndWatch(h);
      break;
    }
    KESTREL_HOST_NEEDS(SetProperty) {
      h = in.I32();
      const std::int32_t id = in.I32();
      const std::int32_t a1 = in.I32();
      const std::int32_t a2 = in.I32();
      if (!in.ok()) {
        bad();
        break;
      }
      head.result = lib_.SetProperty(h, id, a1, a2);
      break;
    }
    KESTREL_HOST_NEEDS(BeginPhoneTest) {
      h = in.I32();
      const bool has = in.U8() != 0;
      PortChannel c{};
      c.type = in.I32();
      c.port = in.I32();
      c.baudRate = in.I32();
      if (!in.ok()) {
        bad();
        break;
      }
      head.result = lib_.BeginPhoneTest(h, has ? &c : nullptr);
      break;
    }
    KESTREL_HOST_NEEDS(EndPhoneTest) {
      plain(lib_.EndPhoneTest);
      EndWatch(h);
      break;
    }
    KESTREL_HOST_NEEDS(EnterModeProcess) {
      h = in.I32();
      const std::int32_t byUsb = in.I32();
      const std::int32_t dutPort = in.I32();
      const std::int32_t mode = in.I32();
      const bool withEvent = in.U8() != 0;
      const std::uint32_t id = in.U32();
      const std::int32_t reserved = in.I32();
      if (!in.ok()) {
        bad();
        break;
      }
      head.result = EnterMode(h, byUsb, dutPort, mode, withEvent, id, reserved);
      break;
    }
    KESTREL_HOST_NEEDS(StopModeProcess) {
      plain(lib_.StopModeProcess);
      EndWatch(h);
      break;
    }
    KESTREL_HOST_NEEDS(GetUsbPort) {
      plain(lib_.GetUsbPort);
      break;
    }
    KESTREL_HOST_NEEDS(Write) {
      h = in.I32();
      InBlock b;
      if (!ReadBlock(&in, &b)) {
        bad();
        break;
      }
      head.result = lib_.Write(h, b.udata(), b.size);
      break;
    }
    KESTREL_HOST_NEEDS(GetMsVersion) {
      text(lib_.GetMsVersion);
      break;
    }
    KESTREL_HOST_NEEDS(FastReadVersion) {
      text(lib_.FastReadVersion);
      break;
    }
    KESTREL_HOST_NEEDS(GetAPVersion) {
      text(lib_.GetAPVersion);
      break;
    }
    KESTREL_HOST_NEEDS(SendATCommand) {
      h = in.I32();
      const bool hasCommand = in.U8() != 0;
      const std::vector<std::uint8_t> command = in.Bytes();
      const std::int32_t waitReply = in.I32();
      const bool hasReply = in.U8() != 0;
      const std::int32_t capacity = in.I32();
      const bool hasLength = in.U8() != 0;
      const std::int32_t timeoutMs = in.I32();
      if (!in.ok() || !SizeOk(capacity)) {
        bad();
        break;
      }
      const std::vector<char> c = Padded(command, 0);
      std::vector<char> reply = Buffer(capacity);
      std::int32_t length = 0;
      head.result = lib_.SendATCommand(h, hasCommand ? c.data() : nullptr, waitReply,
                                       hasReply ? reply.data() : nullptr, capacity,
                                       hasLength ? &length : nullptr, timeoutMs);
      out.I32(length);
      PutFilled(&out, reply, capacity);
      break;
    }
    KESTREL_HOST_NEEDS(FastReadNvInfo) {
      h = in.I32();
      const bool has = in.U8() != 0;
      NvInfoRecord r;
      in.Raw(&r, sizeof(r));
      if (!in.ok()) {
        bad();
        break;
      }
      head.result = lib_.FastReadNvInfo(h, has ? &r : nullptr);
      out.Raw(&r, sizeof(r));
      break;
    }
    KESTREL_HOST_NEEDS(FastWriteNvInfo) {
      record(lib_.FastWriteNvInfo);
      break;
    }
    KESTREL_HOST_NEEDS(NvWriteDirect) {
      record(lib_.NvWriteDirect);
      break;
    }
    KESTREL_HOST_NEEDS(ReadSN) {
      h = in.I32();
      const std::int32_t isSn1 = in.I32();
      const bool has = in.U8() != 0;
      const std::int32_t size = in.I32();
      if (!in.ok() || !SizeOk(size)) {
        bad();
        break;
      }
      std::vector<char> b = Buffer(size);
      head.result = lib_.ReadSN(h, isSn1, has ? b.data() : nullptr, size);
      PutFilled(&out, b, size);
      break;
    }
    KESTREL_HOST_NEEDS(WriteSN) {
      h = in.I32();
      const std::int32_t isSn1 = in.I32();
      InBlock b;
      if (!ReadBlock(&in, &b)) {
        bad();
        break;
      }
      head.result = lib_.WriteSN(h, isSn1, b.data(), b.size);
      break;
    }
    KESTREL_HOST_NEEDS(SetUsbAutoMode) {
      h = in.I32();
      const std::int32_t on = in.I32();
      if (!in.ok()) {
        bad();
        break;
      }
      head.result = lib_.SetUsbAutoMode(h, on);
      break;
    }
    KESTREL_HOST_NEEDS(ReadCURef) {
      text(lib_.ReadCURef);
      break;
    }
    KESTREL_HOST_NEEDS(WriteCURef) {
      h = in.I32();
      InBlock b;
      if (!ReadBlock(&in, &b)) {
        bad();
        break;
      }
      head.result = lib_.WriteCURef(h, b.data(), b.size);
      break;
    }
    KESTREL_HOST_NEEDS(ReadSecureBoot) {
      h = in.I32();
      const bool has = in.U8() != 0;
      SecureBootItem item;
      in.Raw(&item, sizeof(item));
      const std::int32_t size = in.I32();
      if (!in.ok()) {
        bad();
        break;
      }
      head.result = lib_.ReadSecureBoot(h, has ? &item : nullptr, size);
      out.Raw(&item, sizeof(item));
      break;
    }
    KESTREL_HOST_NEEDS(WriteSecureBoot) {
      h = in.I32();
      const bool has = in.U8() != 0;
      SecureBootItem item;
      in.Raw(&item, sizeof(item));
      const std::int32_t size = in.I32();
      if (!in.ok()) {
        bad();
        break;
      }
      head.result = lib_.WriteSecureBoot(h, has ? &item : nullptr, size);
      break;
    }
    KESTREL_HOST_NEEDS(EnableSecureBoot) {
      plain(lib_.EnableSecureBoot);
      break;
    }
    KESTREL_HOST_NEEDS(PowerOff) {
      plain(lib_.PowerOff);
      break;
    }
    KESTREL_HOST_NEEDS(ReadStationRecord) {
      h = in.I32();
      const bool has = in.U8() != 0;
      const std::int32_t capacity = in.I32();
      const bool hasLength = in.U8() != 0;
      if (!in.ok() || !SizeOk(capacity)) {
        bad();
        break;
      }
      std::vector<char> b = Buffer(capacity);
      std::int32_t length = 0;
      head.result =
          lib_.ReadStationRecord(h, has ? reinterpret_cast<std::uint8_t*>(b.data()) : nullptr,
                                 capacity, hasLength ? &length : nullptr);
      const std::int32_t kept = std::clamp(length, 0, std::max(capacity, 0));
      out.I32(length);
      out.Bytes(b.data(), static_cast<std::size_t>(kept));
      break;
    }
    KESTREL_HOST_NEEDS(WriteStationRecord) {
      h = in.I32();
      InBlock b;
      if (!ReadBlock(&in, &b)) {
        bad();
        break;
      }
      head.result = lib_.WriteStationRecord(h, b.udata(), b.size);
      break;
    }
#undef KESTREL_HOST_NEEDS
    default:
      withHandle = false;  // the events and the library's info are the proxy's own
      break;
  }
  if (withHandle && lib_.GetRequestCounts != nullptr && h != KV_INVALID_HANDLE) {
    head.counted = lib_.GetRequestCounts(h, &head.requests, &head.retransmissions) == KV_OK;
  }
  Writer w;
  PutAnswerHead(&w, head);
  w.Raw(out.bytes().data(), out.bytes().size());
  return std::move(w.bytes());
}

// The mode process gets an event of the library's; a watch thread tells the proxy when it is
// set. The watch of the handle's last mode process ends when that process is stopped (or the
// phone test ended, the handle released, another mode process taken on).
std::int32_t HostServer::EnterMode(PhoneHandle h, std::int32_t byUsb, std::int32_t dutPort,
                                   std::int32_t mode, bool withEvent, std::uint32_t modeId,
                                   std::int32_t reserved) {
  if (!withEvent) return lib_.EnterModeProcess(h, byUsb, dutPort, mode, nullptr, reserved);
  if (lib_.CreateEvent == nullptr || lib_.WaitAnyEvent == nullptr || lib_.SetEvent == nullptr ||
      lib_.CloseEvent == nullptr) {
    return KV_ERR_NOT_SUPPORTED;
  }
  auto watch = std::make_unique<ModeWatch>();
  watch->event = lib_.CreateEvent();
  watch->stop = lib_.CreateEvent();
  watch->id = modeId;
  if (watch->event == nullptr || watch->stop == nullptr) {
    lib_.CloseEvent(watch->event);
    lib_.CloseEvent(watch->stop);
    return KV_ERR_BAD_ARGUMENT;  // what the library says to a null event
  }
  const std::int32_t r = lib_.EnterModeProcess(h, byUsb, dutPort, mode, watch->event, reserved);
  if (r != KV_OK) {
    // Refused (busy, a bad argument): the library keeps no hold of the event.
    lib_.CloseEvent(watch->event);
    lib_.CloseEvent(watch->stop);
    return r;
  }
  EndWatch(h);  // a mode process taken on means the last one has ended
  ModeWatch* w = watch.get();
  {
    std::lock_guard lock(watchMutex_);
    watches_[h] = std::move(watch);
  }
  w->thread = std::thread([this, w] { Watch(w); });
  return r;
}

void HostServer::Watch(ModeWatch* w) {
  KV_Event* const list[2] = {w->event, w->stop};
  for (;;) {
    std::int32_t index = -1;
    const std::int32_t r = lib_.WaitAnyEvent(list, 2, kWatchSliceMs, &index);
    if (r == KV_OK && index == 0) {
      Writer note;
      note.U32(w->id);
      std::vector<std::uint8_t> bytes;
      AppendFrame(&bytes, FrameKind::kNote, static_cast<std::uint16_t>(Note::kEventSet), 0,
                  note.bytes().data(), note.bytes().size());
      std::lock_guard lock(sendMutex_);
      send_(bytes);
      return;
    }
    if (r == KV_OK && index == 1) return;           // ended
    if (r != KV_OK && r != KV_ERR_TIMEOUT) return;  // the library's wait is broken
  }
}

void HostServer::EndWatch(PhoneHandle h) {
  std::unique_ptr<ModeWatch> w;
  {
    std::lock_guard lock(watchMutex_);
    auto it = watches_.find(h);
    if (it == watches_.end()) return;
    w = std::move(it->second);
    watches_.erase(it);
  }
  lib_.SetEvent(w->stop);
  if (w->thread.joinable()) w->thread.join();
  lib_.CloseEvent(w->event);
  lib_.CloseEvent(w->stop);
}

void Serve(Link& link, HostServer& server) {
  FrameReader reader;
  std::vector<std::uint8_t> buffer(64 * 1024);
  std::vector<Frame> frames;
  for (;;) {
    const std::size_t n = link.Read(buffer.data(), buffer.size());
    if (n == 0) return;
    frames.clear();
    if (!reader.Feed(buffer.data(), n, &frames)) return;
    for (Frame& f : frames) server.Take(std::move(f));
  }
}

}  // namespace kestrel::device::oxbind::host
