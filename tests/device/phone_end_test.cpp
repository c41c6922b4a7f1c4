// The phone's end (device/oxbind/phone_end) over an in-memory phone: every command's answer,
// the size and index checks, identities stored as a phone keeps them, retransmissions, the
// hooks, and frames that are bad, split, between garbage or not requests at all. Requests
// are framed and responses decoded with the station's own codec (wire_protocol.h).
#include "device/oxbind/phone_end/phone_end.h"
#include "device/oxbind/wire_protocol.h"
#include "tests/device/memory_phone.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace wire = kestrel::device::oxbind::wire;
using kestrel::testing::MemoryPhone;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

Bytes Request(uint8_t sequence, uint16_t command, const Bytes& payload = {}) {
  wire::Frame f;
  f.type = wire::kRequest;
  f.sequence = sequence;
  f.command = command;
  f.payload = payload;
  return wire::Encode(f);
}

struct Answer {
  int32_t result = -1;
  Bytes data;
  int frames = 0;
};

// One request, its one response.
Answer Ask(MemoryPhone& p, uint16_t command, const Bytes& payload = {}, uint8_t sequence = 0) {
  static uint8_t next = 0;
  const uint8_t seq = sequence != 0 ? sequence : ++next;
  p.Feed(Request(seq, command, payload));
  Answer a;
  std::size_t bad = 0;
  const std::vector<wire::Frame> frames = p.Responses(&bad);
  EXPECT_EQ(bad, 0u);
  EXPECT_LE(p.largestPiece, KPE_TX_CHUNK);
  a.frames = static_cast<int>(frames.size());
  if (frames.size() != 1) return a;
  EXPECT_EQ(frames[0].type, wire::kResponse);
  EXPECT_EQ(frames[0].sequence, seq);
  EXPECT_EQ(frames[0].command, command);
  if (frames[0].payload.size() < 4) return a;
  a.result = static_cast<int32_t>(wire::GetU32(frames[0].payload.data()));
  a.data.assign(frames[0].payload.begin() + 4, frames[0].payload.end());
  return a;
}

Bytes U16(uint16_t v) {
  Bytes b;
  wire::PutU16(&b, v);
  return b;
}

Bytes U32(uint32_t v) {
  Bytes b;
  wire::PutU32(&b, v);
  return b;
}

Bytes Cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// An identity record: mask, then texts at their offsets.
Bytes Record(uint32_t mask, const std::map<int, std::string>& fields) {
  Bytes r(KPE_NV_RECORD_BYTES, 0);
  for (int k = 0; k < 4; ++k) r[static_cast<size_t>(k)] = static_cast<uint8_t>(mask >> (8 * k));
  for (const auto& [offset, text] : fields)
    std::memcpy(r.data() + offset, text.data(), text.size());
  return r;
}

constexpr int kImei1 = 4, kImei2 = 20, kImei3 = 36, kImei4 = 52, kBt = 68, kWifi = 81;

std::string Field(const Bytes& record, int offset, int size) {
  const char* p = reinterpret_cast<const char*>(record.data() + offset);
  return std::string(p, strnlen(p, static_cast<size_t>(size)));
}

TEST(PhoneEnd, EveryCommandAnswersItsResultAndData) {
  auto p = std::make_unique<MemoryPhone>();
  struct Case {
    const char* name;
    uint16_t command;
    Bytes payload;
    int32_t result;
    Bytes data;
  } cases[] = {
      {"hello", KPE_CMD_HELLO, {}, 0, B("memory-phone")},
      {"enter mode", KPE_CMD_ENTER_MODE, U32(22), 0, {}},
      {"ms version", KPE_CMD_GET_MS_VERSION, {}, 0, B("MS-1")},
      {"fast version", KPE_CMD_FAST_READ_VERSION, {}, 0, B("FAST-1")},
      {"ap version", KPE_CMD_GET_AP_VERSION, {}, 0, B("AP-1")},
      {"at command", KPE_CMD_AT_COMMAND, B("AT+X=1"), 0, B("ECHO AT+X=1")},
      {"empty at command", KPE_CMD_AT_COMMAND, {}, 0, B("ECHO ")},
      {"sn write", KPE_CMD_WRITE_SN, Cat({0}, B(std::string("SN2\0junk", 8))), 0, {}},
      {"sn read", KPE_CMD_READ_SN, {0}, 0, Cat(B("SN2"), Bytes(21, 0))},
      {"sn1 of 24 bytes", KPE_CMD_WRITE_SN, Cat({1}, B("ABCDEFGHIJKLMNOPQRSTUVWX")), 0, {}},
      {"sn1 read, no terminator", KPE_CMD_READ_SN, {1}, 0, B("ABCDEFGHIJKLMNOPQRSTUVWX")},
      {"usb off", KPE_CMD_SET_USB_AUTO_MODE, {0}, 0, {}},
      {"cu write, zero inside", KPE_CMD_WRITE_CU_REF, B(std::string("CU\0X", 4)), 0, {}},
      {"cu read", KPE_CMD_READ_CU_REF, {}, 0, Cat(B(std::string("CU\0X", 4)), Bytes(20, 0))},
      {"secure boot write", KPE_CMD_WRITE_SECURE_BOOT, Cat(U16(6), U32(0xA1B2C3D4)), 0, {}},
      {"secure boot read", KPE_CMD_READ_SECURE_BOOT, U16(6), 0, Cat(U16(6), U32(0xA1B2C3D4))},
      {"secure boot enable", KPE_CMD_ENABLE_SECURE_BOOT, {}, 0, {}},
      {"record write", KPE_CMD_WRITE_STATION_RECORD, Bytes(4096, 0x7E), 0, {}},
      {"record read", KPE_CMD_READ_STATION_RECORD, {}, 0, Bytes(4096, 0x7E)},
      {"power off", KPE_CMD_POWER_OFF, {}, 0, {}},
      {"unknown command", 0x1234, {}, KPE_ERR_UNKNOWN_COMMAND, {}},
  };
  for (const Case& c : cases) {
    const Answer a = Ask(*p, c.command, c.payload);
    EXPECT_EQ(a.frames, 1) << c.name;
    EXPECT_EQ(a.result, c.result) << c.name;
    EXPECT_EQ(a.data, c.data) << c.name;
  }
  EXPECT_EQ(p->mode, 22u);
  EXPECT_EQ(p->usb, 0);
  EXPECT_EQ(p->calls["power_off"], 1);
  EXPECT_EQ(p->calls["enable_secure_boot"], 1);
}

TEST(PhoneEnd, RequestsOfTheWrongSizeOrIndexAreBadRequestsAndCarryNothingOut) {
  auto p = std::make_unique<MemoryPhone>();
  struct Case {
    const char* name;
    uint16_t command;
    Bytes payload;
  } cases[] = {
      {"hello with data", KPE_CMD_HELLO, {1}},
      {"short mode", KPE_CMD_ENTER_MODE, {1, 0, 0}},
      {"version with data", KPE_CMD_GET_AP_VERSION, {0}},
      {"at command too long", KPE_CMD_AT_COMMAND, Bytes(4097, 'A')},
      {"mask too long", KPE_CMD_NV_READ, {0x77, 0, 0, 0, 0}},
      {"record short", KPE_CMD_NV_FAST_WRITE, Bytes(139, 0)},
      {"record long", KPE_CMD_NV_WRITE_DIRECT, Bytes(141, 0)},
      {"sn without selector", KPE_CMD_READ_SN, {}},
      {"sn selector 2", KPE_CMD_READ_SN, {2}},
      {"sn of 25 bytes", KPE_CMD_WRITE_SN, Cat({1}, Bytes(25, 'A'))},
      {"usb 2", KPE_CMD_SET_USB_AUTO_MODE, {2}},
      {"cu of 25 bytes", KPE_CMD_WRITE_CU_REF, Bytes(25, 'C')},
      {"secure boot item 7", KPE_CMD_READ_SECURE_BOOT, U16(7)},
      {"secure boot write item 7", KPE_CMD_WRITE_SECURE_BOOT, Cat(U16(7), U32(1))},
      {"secure boot write short", KPE_CMD_WRITE_SECURE_BOOT, Cat(U16(1), U16(1))},
      {"enable with data", KPE_CMD_ENABLE_SECURE_BOOT, {1}},
      {"power off with data", KPE_CMD_POWER_OFF, {1}},
      {"record too large", KPE_CMD_WRITE_STATION_RECORD, Bytes(4097, 1)},
  };
  for (const Case& c : cases) {
    const Answer a = Ask(*p, c.command, c.payload);
    EXPECT_EQ(a.result, KPE_ERR_BAD_REQUEST) << c.name;
    EXPECT_TRUE(a.data.empty()) << c.name;
  }
  EXPECT_EQ(p->calls["power_off"] + p->calls["enable_secure_boot"] + p->calls["hello"] +
                p->calls["write_secure_boot"] + p->calls["write_fast"] + p->calls["write_direct"],
            0);
  EXPECT_EQ(p->record.size(), 0u);
}

TEST(PhoneEnd, IdentitiesAreKeptAsAPhoneKeepsThem) {
  auto p = std::make_unique<MemoryPhone>();
  const uint32_t all = KPE_NV_ALL;
  // Accepted: 15 digits, 12 hex digits in either case; read back in upper case.
  Answer a = Ask(*p, KPE_CMD_NV_FAST_WRITE,
                 Record(all, {{kImei1, "356938035643809"},
                              {kImei2, "356938035643817"},
                              {kImei3, "356938035643825"},
                              {kImei4, "356938035643833"},
                              {kBt, "0011223344aa"},
                              {kWifi, "a0B1c2D3e4F5"}}));
  EXPECT_EQ(a.result, 0);
  a = Ask(*p, KPE_CMD_NV_READ, U32(all));
  ASSERT_EQ(a.data.size(), KPE_NV_RECORD_BYTES);
  EXPECT_EQ(wire::GetU32(a.data.data()), all);
  EXPECT_EQ(Field(a.data, kImei1, 16), "356938035643809");
  EXPECT_EQ(Field(a.data, kImei4, 16), "356938035643833");
  EXPECT_EQ(Field(a.data, kBt, 13), "0011223344AA");
  EXPECT_EQ(Field(a.data, kWifi, 13), "A0B1C2D3E4F5");
  for (size_t i = 94; i < KPE_NV_RECORD_BYTES; ++i) EXPECT_EQ(a.data[i], 0) << i;
  const uint8_t bt[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0xAA};
  EXPECT_EQ(std::memcmp(p->ids.bt, bt, 6), 0);  // 6 bytes in storage

  // Only the items asked for are in the answer.
  a = Ask(*p, KPE_CMD_NV_READ, U32(KPE_NV_BT));
  EXPECT_EQ(Field(a.data, kImei1, 16), "");
  EXPECT_EQ(Field(a.data, kBt, 13), "0011223344AA");

  // Refused whole: one bad item and nothing of the record is stored.
  const struct {
    const char* name;
    uint32_t mask;
    std::map<int, std::string> fields;
  } refused[] = {
      {"14 digits", KPE_NV_IMEI1 | KPE_NV_BT, {{kImei1, "35693803564380"}, {kBt, "001122334455"}}},
      {"a letter in the IMEI", KPE_NV_IMEI2, {{kImei2, "35693803564380A"}}},
      {"16 digits", KPE_NV_IMEI3, {{kImei3, "3569380356438091"}}},
      {"empty IMEI", KPE_NV_IMEI4, {}},
      {"non-hex address",
       KPE_NV_BT | KPE_NV_IMEI1,
       {{kBt, "00112233445G"}, {kImei1, "111111111111111"}}},
      {"short address", KPE_NV_WIFI, {{kWifi, "A0B1C2D3E4F"}}},
      {"address with a 13th character", KPE_NV_WIFI, {{kWifi, "A0B1C2D3E4F51"}}},
      {"empty address", KPE_NV_BT, {}},
  };
  for (const auto& r : refused) {
    a = Ask(*p, KPE_CMD_NV_WRITE_DIRECT, Record(r.mask, r.fields));
    EXPECT_EQ(a.result, KPE_ERR_BAD_REQUEST) << r.name;
  }
  EXPECT_EQ(p->calls["write_direct"], 0);
  a = Ask(*p, KPE_CMD_NV_READ, U32(all));
  EXPECT_EQ(Field(a.data, kImei1, 16), "356938035643809");
  EXPECT_EQ(Field(a.data, kBt, 13), "0011223344AA");

  // Items outside the mask are not looked at; the phone's own refusal is passed on.
  a = Ask(*p, KPE_CMD_NV_WRITE_DIRECT,
          Record(KPE_NV_IMEI2, {{kImei2, "222222222222222"}, {kBt, "not an address"}}));
  EXPECT_EQ(a.result, 0);
  p->writeResult = KPE_ERR_IMEI_PROTECTED;
  EXPECT_EQ(
      Ask(*p, KPE_CMD_NV_FAST_WRITE, Record(KPE_NV_IMEI1, {{kImei1, "356938035643809"}})).result,
      KPE_ERR_IMEI_PROTECTED);

  // A phone that holds no address reads it as an empty text.
  auto fresh = std::make_unique<MemoryPhone>();
  a = Ask(*fresh, KPE_CMD_NV_READ, U32(all));
  EXPECT_EQ(a.result, 0);
  EXPECT_EQ(a.data, Cat(U32(all), Bytes(136, 0)));
}

TEST(PhoneEnd, ARetransmissionIsAnsweredFromMemoryAndNotCarriedOutAgain) {
  auto p = std::make_unique<MemoryPhone>();
  const Bytes write = Request(9, KPE_CMD_WRITE_SECURE_BOOT, Cat(U16(2), U32(5)));
  p->Feed(write);
  const Bytes first = p->sent;
  p->sent.clear();
  p->Feed(write);
  EXPECT_EQ(p->sent, first);  // the same bytes again
  EXPECT_EQ(p->calls["write_secure_boot"], 1);
  EXPECT_EQ(kpe_get_stats(&p->end)->repeats, 1u);
  p->sent.clear();

  // The same number with another payload, or another number: carried out.
  EXPECT_EQ(Ask(*p, KPE_CMD_WRITE_SECURE_BOOT, Cat(U16(2), U32(6)), 9).result, 0);
  EXPECT_EQ(Ask(*p, KPE_CMD_WRITE_SECURE_BOOT, Cat(U16(2), U32(6)), 10).result, 0);
  EXPECT_EQ(p->calls["write_secure_boot"], 3);
  // Only the last request is remembered.
  EXPECT_EQ(Ask(*p, KPE_CMD_READ_SECURE_BOOT, U16(2), 11).data, Cat(U16(2), U32(6)));
  p->Feed(write);
  EXPECT_EQ(p->calls["write_secure_boot"], 4);
  EXPECT_EQ(p->secureBoot[2], 5u);
  p->sent.clear();

  // A sync frame between a request and its retransmission changes nothing.
  p->Feed(Bytes(wire::kSyncFrame, wire::kSyncFrame + 10));
  p->Feed(write);
  EXPECT_EQ(p->sent, first);
  EXPECT_EQ(p->calls["write_secure_boot"], 4);
}

TEST(PhoneEnd, BadFramesAreDroppedSilentlyAndTheNextOneIsAnswered) {
  auto p = std::make_unique<MemoryPhone>();
  Bytes badCrc = Request(1, KPE_CMD_GET_MS_VERSION);
  badCrc[badCrc.size() - 2] ^= 0x01;
  Bytes badLength = Request(2, KPE_CMD_GET_MS_VERSION);
  badLength[6] = 0x09;
  Bytes response = Request(3, KPE_CMD_GET_MS_VERSION);
  response[1] = wire::kResponse;  // (its checksum then fails; a checked response below)
  wire::Frame echo;
  echo.type = wire::kResponse;
  echo.sequence = 4;
  echo.command = KPE_CMD_POWER_OFF;
  echo.payload = U32(0);
  Bytes oversize = {0x7E};
  oversize.insert(oversize.end(), KPE_MAX_BODY + 10, 0x11);
  oversize.push_back(0x7E);
  const Bytes sync(wire::kSyncFrame, wire::kSyncFrame + 10);
  const Bytes good = Request(5, KPE_CMD_GET_AP_VERSION);

  Bytes stream = B("garbage before");
  for (const Bytes* b :
       std::initializer_list<const Bytes*>{&badCrc, &badLength, &response, &oversize, &sync})
    stream.insert(stream.end(), b->begin(), b->end());
  const Bytes encodedEcho = wire::Encode(echo);
  stream.insert(stream.end(), encodedEcho.begin(), encodedEcho.end());
  stream.insert(stream.end(), {0x7E, 0x41, 0x7D, 0x7E});  // an escape before the closing flag
  stream.insert(stream.end(), good.begin(), good.end());
  stream.insert(stream.end(), {'x', 'y'});
  // Fed one byte at a time, as a slow line hands them over.
  for (uint8_t b : stream) kpe_feed(&p->end, &b, 1);
  const std::vector<wire::Frame> answers = p->Responses();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].sequence, 5);
  EXPECT_EQ(answers[0].payload, Cat(U32(0), B("AP-1")));
  EXPECT_EQ(p->calls["power_off"], 0);
  const kpe_stats* s = kpe_get_stats(&p->end);
  EXPECT_EQ(s->bad_checksum, 2u);
  EXPECT_EQ(s->malformed, 2u);
  EXPECT_EQ(s->oversize, 1u);
  EXPECT_EQ(s->syncs, 1u);
  EXPECT_EQ(s->requests, 1u);
  // (The two bytes after the last flag are the start of a frame, not stray bytes.)
  EXPECT_EQ(s->stray, std::string("garbage before").size());

  // A partial frame is forgotten when the line is opened again.
  const Bytes half(good.begin(), good.begin() + 5);
  p->Feed(half);
  kpe_reset_line(&p->end);
  p->Feed(Request(6, KPE_CMD_GET_MS_VERSION));
  ASSERT_EQ(p->Responses().size(), 1u);
}

TEST(PhoneEnd, HooksDecideAndLookAtAnswersAndAMissingCallbackIsAnUnknownCommand) {
  auto p = std::make_unique<MemoryPhone>();
  p->end.cb.on_request = [](void*, uint16_t command, const uint8_t*, size_t, int32_t* result) {
    if (command == KPE_CMD_POWER_OFF) return KPE_SILENT;
    if (command == KPE_CMD_ENABLE_SECURE_BOOT) {
      *result = 45;
      return KPE_ANSWER;
    }
    return KPE_CARRY_OUT;
  };
  p->end.cb.on_reply = [](void*, uint16_t, uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(data[i] | 0x20);
  };
  EXPECT_EQ(Ask(*p, KPE_CMD_POWER_OFF, {}, 20).frames, 0);
  p->Feed(Request(20, KPE_CMD_POWER_OFF));  // its retransmission stays silent too
  EXPECT_TRUE(p->sent.empty());
  EXPECT_EQ(Ask(*p, KPE_CMD_ENABLE_SECURE_BOOT).result, 45);
  EXPECT_EQ(p->calls["power_off"] + p->calls["enable_secure_boot"], 0);
  EXPECT_EQ(Ask(*p, KPE_CMD_GET_MS_VERSION).data, B("ms-1"));

  auto bare = std::make_unique<MemoryPhone>(false);
  EXPECT_EQ(Ask(*bare, KPE_CMD_NV_READ, U32(1)).result, KPE_ERR_UNKNOWN_COMMAND);
  EXPECT_EQ(Ask(*bare, KPE_CMD_HELLO).result, KPE_ERR_UNKNOWN_COMMAND);
}

TEST(PhoneEnd, TheDiagnosticReplyCarriesTheApVersionAsHex) {
  char out[64];
  const size_t n = kpe_diag_reply("Ab~", 3, out, sizeof out);
  EXPECT_EQ(std::string(out, n), "+KVDIAG: \"000000000800000000000003000041627E\"\r\nOK");
  EXPECT_EQ(kpe_diag_reply("Ab~", 3, out, n - 1), 0u);
  EXPECT_EQ(kpe_diag_reply("", 0, out, 4), 0u);
  EXPECT_EQ(kpe_crc16(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x29B1);
}

}  // namespace
