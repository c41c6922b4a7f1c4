#include "device/oxbind/host/host_protocol.h"

#include <cstring>

namespace kestrel::device::oxbind::host {
namespace {

const char* const kCallNames[] = {
#define KESTREL_HOST_CALL_NAME(name) "KV_" #name,
    KESTREL_OXBIND_REQUIRED_CALLS(KESTREL_HOST_CALL_NAME)
        KESTREL_OXBIND_OPTIONAL_CALLS(KESTREL_HOST_CALL_NAME)
#undef KESTREL_HOST_CALL_NAME
};
static_assert(sizeof(kCallNames) / sizeof(kCallNames[0]) == kCallCount, "one name a call");

std::uint32_t GetU32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

}  // namespace

std::string CallName(int call) {
  return call >= 0 && call < kCallCount ? std::string(kCallNames[call]) : std::string();
}

int CallForName(const char* name) {
  if (name == nullptr) return -1;
  for (int i = 0; i < kCallCount; ++i) {
    if (std::strcmp(kCallNames[i], name) == 0) return i;
  }
  return -1;
}

void AppendFrame(std::vector<std::uint8_t>* out, FrameKind kind, std::uint16_t code,
                 std::uint32_t id, const std::uint8_t* payload, std::size_t size) {
  const auto length = static_cast<std::uint32_t>(kFrameHeader - 4 + size);
  const std::uint8_t header[kFrameHeader] = {
      static_cast<std::uint8_t>(length),       static_cast<std::uint8_t>(length >> 8),
      static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24),
      static_cast<std::uint8_t>(kind),         0,
      static_cast<std::uint8_t>(code),         static_cast<std::uint8_t>(code >> 8),
      static_cast<std::uint8_t>(id),           static_cast<std::uint8_t>(id >> 8),
      static_cast<std::uint8_t>(id >> 16),     static_cast<std::uint8_t>(id >> 24)};
  out->insert(out->end(), header, header + kFrameHeader);
  if (size > 0) out->insert(out->end(), payload, payload + size);
}

bool FrameReader::Feed(const std::uint8_t* data, std::size_t size, std::vector<Frame>* out) {
  if (broken_) return false;
  pending_.insert(pending_.end(), data, data + size);
  std::size_t at = 0;
  while (pending_.size() - at >= kFrameHeader) {
    const std::uint8_t* p = pending_.data() + at;
    const std::uint32_t length = GetU32(p);
    const std::uint8_t kind = p[4];
    if (length < kFrameHeader - 4 || length > kFrameHeader - 4 + kMaxPayload || p[5] != 0 ||
        kind < static_cast<std::uint8_t>(FrameKind::kCall) ||
        kind > static_cast<std::uint8_t>(FrameKind::kNote)) {
      broken_ = true;
      pending_.clear();
      return false;
    }
    if (pending_.size() - at < 4 + std::size_t{length}) break;
    Frame f;
    f.kind = static_cast<FrameKind>(kind);
    f.code = static_cast<std::uint16_t>(p[6] | p[7] << 8);
    f.id = GetU32(p + 8);
    f.payload.assign(p + kFrameHeader, p + 4 + length);
    out->push_back(std::move(f));
    at += 4 + std::size_t{length};
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
  return true;
}

void Writer::U32(std::uint32_t v) {
  for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void Writer::U64(std::uint64_t v) {
  for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void Writer::Bytes(const void* data, std::size_t size) {
  U32(static_cast<std::uint32_t>(size));
  Raw(data, size);
}

void Writer::Raw(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  if (size > 0) bytes_.insert(bytes_.end(), p, p + size);
}

const std::uint8_t* Reader::Take(std::size_t n) {
  if (!ok_ || size_ - at_ < n) {
    ok_ = false;
    return nullptr;
  }
  const std::uint8_t* p = data_ + at_;
  at_ += n;
  return p;
}

std::uint8_t Reader::U8() {
  const std::uint8_t* p = Take(1);
  return p != nullptr ? *p : 0;
}

std::uint32_t Reader::U32() {
  const std::uint8_t* p = Take(4);
  return p != nullptr ? GetU32(p) : 0;
}

std::uint64_t Reader::U64() {
  const std::uint8_t* p = Take(8);
  if (p == nullptr) return 0;
  return std::uint64_t{GetU32(p)} | std::uint64_t{GetU32(p + 4)} << 32;
}

std::vector<std::uint8_t> Reader::Bytes(std::size_t max) {
  const std::uint32_t n = U32();
  if (n > max) ok_ = false;
  const std::uint8_t* p = ok_ ? Take(n) : nullptr;
  return p != nullptr ? std::vector<std::uint8_t>(p, p + n) : std::vector<std::uint8_t>();
}

std::string Reader::Text(std::size_t max) {
  const std::vector<std::uint8_t> b = Bytes(max);
  return std::string(b.begin(), b.end());
}

void Reader::Raw(void* to, std::size_t size) {
  if (size == 0) return;
  const std::uint8_t* p = Take(size);
  if (p != nullptr) {
    std::memcpy(to, p, size);
  } else {
    std::memset(to, 0, size);
  }
}

std::vector<std::uint8_t> EncodeHello(const Hello& h) {
  Writer w;
  w.I32(h.status);
  w.Text(h.error);
  w.I32(h.infoResult);
  w.Raw(&h.info, sizeof(h.info));
  w.U64(h.calls);
  w.Text(h.path);
  w.I32(h.processId);
  return std::move(w.bytes());
}

bool DecodeHello(const std::vector<std::uint8_t>& payload, Hello* h) {
  Reader r(payload);
  h->status = r.I32();
  h->error = r.Text();
  h->infoResult = r.I32();
  r.Raw(&h->info, sizeof(h->info));
  h->info.name[sizeof(h->info.name) - 1] = 0;
  h->info.version[sizeof(h->info.version) - 1] = 0;
  h->calls = r.U64();
  h->path = r.Text();
  h->processId = r.I32();
  return r.ok();
}

void PutAnswerHead(Writer* w, const AnswerHead& head) {
  w->I32(head.result);
  w->U8(head.counted ? 1 : 0);
  w->U64(head.requests);
  w->U64(head.retransmissions);
}

AnswerHead GetAnswerHead(Reader* r) {
  AnswerHead head;
  head.result = r->I32();
  head.counted = r->U8() != 0;
  head.requests = r->U64();
  head.retransmissions = r->U64();
  return head;
}

void PutEnvironment(Writer* w, const Environment& env) {
  w->U8(env.stationDirSet ? 1 : 0);
  w->Text(env.stationDir);
}

Environment GetEnvironment(Reader* r) {
  Environment env;
  env.stationDirSet = r->U8() != 0;
  env.stationDir = r->Text();
  return env;
}

}  // namespace kestrel::device::oxbind::host
