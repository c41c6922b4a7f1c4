#include "device/oxbind/phone.h"

#include "device/oxbind/event.h"
#include "device/oxbind/wire_protocol.h"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>

namespace kestrel::device::oxbind {
namespace {

void Signal(platform::CancelToken* token) {
  if (token != nullptr) token->Signal();
}

void Clear(platform::CancelToken* token) {
  if (token != nullptr) token->Clear();
}

int EnvInt(const char* name, int fallback, int lo, int hi) {
  const std::string text = platform::GetEnv(name);
  if (text.empty()) return fallback;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  return end != nullptr && *end == 0 && v >= lo && v <= hi ? static_cast<int>(v) : fallback;
}

std::map<int, int64_t> ChangedByNumber() {
  std::map<int, int64_t> m;
  for (const platform::PortEntry& p : platform::ListPorts()) m[p.number] = p.changedMs;
  return m;
}

std::string ResolvePort(int number) {
  platform::PortEntry entry;
  return platform::FindPort(number, &entry) ? entry.device : std::string();
}

}  // namespace

Phone::Phone() {
  replyTimeoutMs_ = EnvInt("KESTREL_OXBIND_REPLY_TIMEOUT_MS", kDefaultReplyTimeoutMs, 10, 60000);
  attempts_ = EnvInt("KESTREL_OXBIND_ATTEMPTS", kDefaultAttempts, 1, 10);
  std::random_device rd;
  sequence_ = static_cast<uint8_t>(rd());
}

Phone::~Phone() {
  End();
}

int32_t Phone::SetProperty(int32_t id, int32_t arg1, int32_t /*arg2*/) {
  std::lock_guard lock(callMutex_);
  switch (id) {
    case 3:
    case 6:
      return KV_OK;  // phone-test properties of the station: no effect on this link
    case KV_PROP_REPLY_TIMEOUT:
      if (arg1 < 10 || arg1 > 60000) return KV_ERR_BAD_ARGUMENT;
      replyTimeoutMs_ = arg1;
      return KV_OK;
    case KV_PROP_ATTEMPTS:
      if (arg1 < 1 || arg1 > 10) return KV_ERR_BAD_ARGUMENT;
      attempts_ = arg1;
      return KV_OK;
    default:
      return KV_ERR_BAD_ARGUMENT;
  }
}

int32_t Phone::Begin(const PortChannel* channel) {
  if (!channel) return KV_ERR_BAD_ARGUMENT;
  std::lock_guard lock(callMutex_);
  if (open_) return KV_ERR_BUSY;
  if (!cancelOwner_) {
    auto token = std::make_unique<platform::CancelToken>();
    if (!token->Valid()) return KV_ERR_PORT_OPEN;
    cancelOwner_ = std::move(token);
    cancel_ = cancelOwner_.get();
  }
  cancel_.load()->Clear();
  usbPort_ = 0;
  boundPort_ = 0;
  beginPorts_.clear();
  if (channel->type == KV_CHANNEL_COM) {
    if (channel->port <= 0) return KV_ERR_PORT_OPEN;
    const int32_t baud = channel->baudRate > 0 ? channel->baudRate : kDefaultBaudRate;
    int32_t error = KV_OK;
    auto link = SerialLink::Open(ResolvePort(channel->port), baud, &error);
    if (!link) return error;
    link_ = std::move(link);
    baudRate_ = baud;
    channelPort_ = channel->port;
    boundPort_ = channel->port;
  } else if (channel->type == KV_CHANNEL_USB) {
    for (const auto& [n, changed] : ChangedByNumber()) beginPorts_[n].changedMsecs = changed;
    baudRate_ = kDefaultBaudRate;
    channelPort_ = 0;
  } else {
    return KV_ERR_BAD_ARGUMENT;
  }
  channelType_ = channel->type;
  open_ = true;
  return KV_OK;
}

int32_t Phone::End() {
  StopModeProcess();
  Signal(cancel_);  // wakes a call in progress on another thread
  std::lock_guard lock(callMutex_);
  open_ = false;
  DropLinkLocked();
  boundPort_ = 0;
  Clear(cancel_);
  return KV_OK;
}

void Phone::DropLinkLocked() {
  if (!link_) return;
  std::lock_guard c(countersMutex_);
  counters_.bytesSent += link_->bytesSent();
  counters_.bytesReceived += link_->bytesReceived();
  link_.reset();
}

LinkCounters Phone::Counters() const {
  std::lock_guard lock(callMutex_);
  std::lock_guard c(countersMutex_);
  LinkCounters total = counters_;
  if (link_) {
    total.bytesSent += link_->bytesSent();
    total.bytesReceived += link_->bytesReceived();
  }
  return total;
}

LinkCounters Phone::RequestCounters() const {
  std::lock_guard c(countersMutex_);
  LinkCounters counts;
  counts.requests = counters_.requests;
  counts.retransmissions = counters_.retransmissions;
  return counts;
}

int32_t Phone::UsbPort() const {
  const int32_t usb = usbPort_;
  if (usb > 0) return usb;
  const int32_t bound = boundPort_;
  return bound > 0 ? bound : -1;
}

int32_t Phone::EnsureLinkLocked() {
  if (link_) return KV_OK;
  if (channelType_ == KV_CHANNEL_COM) {
    // The line was lost earlier: the port may be back (a phone that re-enumerated).
    int32_t error = KV_OK;
    link_ = SerialLink::Open(ResolvePort(channelPort_), baudRate_, &error);
    return link_ ? KV_OK : error;
  }
  const int32_t found = usbPort_;
  if (found > 0) {  // the port the mode process caught the phone on
    int32_t error = KV_OK;
    link_ = SerialLink::Open(ResolvePort(found), baudRate_, &error);
    if (link_) {
      boundPort_ = found;
      return KV_OK;
    }
  }
  return FindAnsweringPortLocked();
}

// Channel kind 3 without a mode process: the first port of the map that answers a HELLO,
// trying the ports that appeared or changed since the test was opened first, newest first.
int32_t Phone::FindAnsweringPortLocked() {
  std::vector<platform::PortEntry> candidates = platform::ListPorts();
  auto isNew = [this](const platform::PortEntry& p) {
    auto it = beginPorts_.find(p.number);
    return it == beginPorts_.end() || p.changedMs > it->second.changedMsecs;
  };
  std::stable_sort(candidates.begin(), candidates.end(),
                   [&](const platform::PortEntry& a, const platform::PortEntry& b) {
                     const bool na = isNew(a), nb = isNew(b);
                     if (na != nb) return na;
                     return a.changedMs > b.changedMs;
                   });
  for (const platform::PortEntry& p : candidates) {
    int32_t error = KV_OK;
    auto link = SerialLink::Open(p.device, baudRate_, &error);
    if (!link) continue;
    std::vector<uint8_t> data;
    const int32_t r = Transact(link.get(), wire::kHello, {}, &data,
                               std::min(kProbeTimeoutMs, replyTimeoutMs_), 1, cancel_);
    if (r == KV_ERR_CANCELLED) return r;
    if (r == KV_OK) {
      link_ = std::move(link);
      boundPort_ = p.number;
      return KV_OK;
    }
    std::lock_guard c(countersMutex_);
    counters_.bytesSent += link->bytesSent();
    counters_.bytesReceived += link->bytesReceived();
  }
  return KV_ERR_NO_PHONE;
}

int32_t Phone::Call(uint16_t command, const std::vector<uint8_t>& payload,
                    std::vector<uint8_t>* data, int attemptTimeoutMs) {
  std::lock_guard lock(callMutex_);
  if (!open_) return KV_ERR_NOT_OPEN;
  int32_t r = EnsureLinkLocked();
  if (r != KV_OK) return r;
  r = Transact(link_.get(), command, payload, data,
               attemptTimeoutMs > 0 ? attemptTimeoutMs : replyTimeoutMs_, attempts_, cancel_);
  if (r == KV_ERR_LINK_LOST) DropLinkLocked();
  return r;
}

int32_t Phone::WriteRaw(const uint8_t* data, int32_t length) {
  if (length < 0 || (length > 0 && !data)) return KV_ERR_BAD_ARGUMENT;
  std::lock_guard lock(callMutex_);
  if (!open_) return KV_ERR_NOT_OPEN;
  int32_t r = EnsureLinkLocked();
  if (r != KV_OK) return r;
  r = link_->WriteAll(data, static_cast<std::size_t>(length), replyTimeoutMs_, cancel_);
  if (r == KV_ERR_LINK_LOST) DropLinkLocked();
  return r;
}

int32_t Phone::Transact(SerialLink* link, uint16_t command, const std::vector<uint8_t>& payload,
                        std::vector<uint8_t>* data, int attemptTimeoutMs, int attempts,
                        const platform::CancelToken* cancel) {
  if (payload.size() > wire::kMaxPayload) return KV_ERR_BAD_ARGUMENT;
  uint8_t sequence = ++sequence_;
  if (sequence == 0) sequence = ++sequence_;  // 0 is left to the sync frame
  wire::Frame request;
  request.type = wire::kRequest;
  request.sequence = sequence;
  request.command = command;
  request.payload = payload;
  const std::vector<uint8_t> bytes = wire::Encode(request);
  {
    std::lock_guard c(countersMutex_);
    ++counters_.requests;
  }

  link->DiscardInput();
  wire::Decoder decoder;
  std::vector<wire::Frame> frames;
  uint8_t buffer[4096];
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (attempt > 0) {
      std::lock_guard c(countersMutex_);
      ++counters_.retransmissions;
    }
    int32_t r = link->WriteAll(bytes.data(), bytes.size(), attemptTimeoutMs, cancel);
    if (r == KV_ERR_TIMEOUT) continue;
    if (r != KV_OK) return r;
    const int64_t start = platform::NowMs();
    int64_t deadline = start + attemptTimeoutMs;
    const int64_t cap = deadline + kReplyStretchMs;
    for (;;) {
      const int64_t left = deadline - platform::NowMs();
      if (left <= 0) break;
      std::size_t got = 0;
      r = link->ReadSome(buffer, sizeof(buffer), &got, static_cast<int>(left), cancel);
      if (r == KV_ERR_TIMEOUT) break;
      if (r != KV_OK) return r;
      // While bytes keep coming, a long reply may take longer than one attempt's time-out.
      deadline = std::min(cap, std::max(deadline, platform::NowMs() + 100));
      frames.clear();
      decoder.Feed(buffer, got, &frames);
      for (wire::Frame& f : frames) {
        if (f.type != wire::kResponse || f.sequence != request.sequence || f.command != command)
          continue;  // a late reply to an earlier request, or our own echo
        if (f.payload.size() < 4) return KV_ERR_BAD_REPLY;
        const int32_t result = static_cast<int32_t>(wire::GetU32(f.payload.data()));
        if (data) data->assign(f.payload.begin() + 4, f.payload.end());
        return result;
      }
    }
  }
  return KV_ERR_TIMEOUT;
}

int32_t Phone::EnterModeProcess(int32_t byUsb, int32_t dutPort, int32_t mode, KV_Event* arrived) {
  if (!arrived) return KV_ERR_BAD_ARGUMENT;
  if (!byUsb && dutPort <= 0) return KV_ERR_BAD_ARGUMENT;
  {
    std::lock_guard lock(callMutex_);
    if (!open_) return KV_ERR_NOT_OPEN;
  }
  std::lock_guard m(modeMutex_);
  if (modeThread_.joinable()) return KV_ERR_BUSY;
  if (!modeStopOwner_) {
    auto token = std::make_unique<platform::CancelToken>();
    if (!token->Valid()) return KV_ERR_BUSY;
    modeStopOwner_ = std::move(token);
    modeStop_ = modeStopOwner_.get();
  }
  modeStop_.load()->Clear();
  usbPort_ = 0;
  std::map<int, PortSeen> baseline;
  for (const auto& [n, changed] : ChangedByNumber()) baseline[n].changedMsecs = changed;
  modeThread_ = std::thread(&Phone::ModeThread, this, byUsb != 0, dutPort, mode, arrived,
                            std::move(baseline));
  return KV_OK;
}

int32_t Phone::StopModeProcess() {
  std::lock_guard m(modeMutex_);
  if (!modeThread_.joinable()) return KV_OK;
  Signal(modeStop_);
  modeThread_.join();
  Clear(modeStop_);
  return KV_OK;
}

void Phone::ModeThread(bool byUsb, int32_t dutPort, int32_t mode, KV_Event* arrived,
                       std::map<int, PortSeen> baseline) {
  // The marker tells a phone switched on "by the operator" (the simulator's
  // --appear-on-mode) that the station is waiting for it.
  platform::PutModeWaitMarker("mode=" + std::to_string(mode) + " usb=" + (byUsb ? "1" : "0") +
                              " port=" + std::to_string(dutPort) +
                              " pid=" + std::to_string(platform::ProcessId()) + "\n");

  int replyTimeout;
  {
    std::lock_guard lock(callMutex_);
    replyTimeout = std::min(kProbeTimeoutMs, replyTimeoutMs_);
  }
  std::vector<uint8_t> payload;
  wire::PutU32(&payload, static_cast<uint32_t>(mode));

  bool found = false;
  while (!found) {
    std::vector<platform::PortEntry> candidates;
    for (const platform::PortEntry& p : platform::ListPorts()) {
      if (byUsb) {
        auto it = baseline.find(p.number);
        if (it == baseline.end() || p.changedMs > it->second.changedMsecs) candidates.push_back(p);
      } else if (p.number == dutPort) {
        candidates.push_back(p);
      }
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const platform::PortEntry& a, const platform::PortEntry& b) {
                return a.changedMs > b.changedMs;
              });
    for (const platform::PortEntry& p : candidates) {
      int32_t error = KV_OK;
      auto link = SerialLink::Open(p.device, kDefaultBaudRate, &error);
      if (!link) continue;
      std::vector<uint8_t> data;
      const int32_t r =
          Transact(link.get(), wire::kEnterMode, payload, &data, replyTimeout, 1, modeStop_);
      {
        std::lock_guard c(countersMutex_);
        counters_.bytesSent += link->bytesSent();
        counters_.bytesReceived += link->bytesReceived();
      }
      if (r == KV_ERR_CANCELLED) break;
      if (r != KV_OK) continue;
      usbPort_ = p.number;
      found = true;
      break;
    }
    if (found || !modeStop_.load()->Sleep(kModePollMs)) break;
  }
  platform::RemoveModeWaitMarker();
  // With channel kind 3 the channel opens the found port at its next call; with kind 0 it
  // holds its own line.
  if (found) arrived->event.Set();
}

}  // namespace kestrel::device::oxbind
