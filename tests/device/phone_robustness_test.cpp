// Whatever a device sends, the library neither hangs, crashes nor writes past a buffer:
// oversize and truncated replies, wrong checksums, stale sequence numbers, missing
// terminators, endless garbage and a cable pulled in the middle of a frame.
#include "device/oxbind/oxbind.h"
#include "device/oxbind/wire_protocol.h"
#include "device/ports/port_map.h"
#include "tests/device/fake_device.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>

#include <cstring>
#include <random>

namespace ports = kestrel::device::ports;
namespace wire = kestrel::device::oxbind::wire;
using kestrel::testing::FakeDevice;
using kestrel::testing::StationDir;

namespace {

class PhoneRobustnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("KESTREL_SYSTEM_PORTS", "0");
    ports::SetStationFolder(station_.path());
    QDir().mkpath(station_.File("ports"));
    h_ = KV_CreatePhone(0);
    KV_SetProperty(h_, KV_PROP_REPLY_TIMEOUT, 150, 0);
    KV_SetProperty(h_, KV_PROP_ATTEMPTS, 2, 0);
  }
  void TearDown() override {
    KV_ReleasePhone(h_);
    ports::SetStationFolder(QString());
  }

  // A fake phone on COM1 answering with `responder`, and the phone test opened on it.
  std::unique_ptr<FakeDevice> Device(FakeDevice::Responder responder) {
    auto d = std::make_unique<FakeDevice>(station_.File("ports/COM1"), std::move(responder));
    const PortChannel c{KV_CHANNEL_COM, 1, 115200};
    EXPECT_EQ(KV_BeginPhoneTest(h_, &c), KV_OK);
    return d;
  }

  StationDir station_;
  PhoneHandle h_ = KV_INVALID_HANDLE;
};

TEST_F(PhoneRobustnessTest, OverlongTextIsCutToTheBufferAndTerminated) {
  auto d = Device([](const wire::Frame& f) {
    return FakeDevice::Reply(f, 0, std::vector<uint8_t>(20000, 'A'));  // no NUL anywhere
  });
  char buffer[80];
  std::memset(buffer, 0x55, sizeof(buffer));
  ASSERT_EQ(KV_GetMsVersion(h_, buffer, 64), KV_OK);
  EXPECT_EQ(std::strlen(buffer), 63u);
  for (int i = 64; i < 80; ++i) EXPECT_EQ(buffer[i], 0x55) << i;

  char reply[32];
  int32_t length = 0;
  ASSERT_EQ(KV_SendATCommand(h_, "AT", 1, reply, 16, &length, 500), KV_OK);
  EXPECT_EQ(length, 15);
}

TEST_F(PhoneRobustnessTest, IdentityFieldsWithoutTerminatorAreTerminated) {
  auto d = Device([](const wire::Frame& f) {
    return FakeDevice::Reply(f, 0, std::vector<uint8_t>(sizeof(NvInfoRecord), '7'));
  });
  NvInfoRecord r;
  std::memset(&r, 0, sizeof(r));
  r.mask = KV_NV_IMEI1 | KV_NV_BT | KV_NV_WIFI;
  ASSERT_EQ(KV_FastReadNvInfo(h_, &r), KV_OK);
  EXPECT_EQ(std::strlen(r.imei1), 15u);
  EXPECT_EQ(std::strlen(r.bt), 12u);
  EXPECT_EQ(std::strlen(r.wifi), 12u);
  EXPECT_EQ(r.imei2[0], 0);  // not asked for, not touched
  for (uint8_t z : r.zero) EXPECT_EQ(z, 0);
}

TEST_F(PhoneRobustnessTest, ShortOrEmptyRepliesAreBadReplies) {
  auto d = Device([](const wire::Frame& f) -> std::vector<uint8_t> {
    if (f.command == wire::kNvRead) return FakeDevice::Reply(f, 0, {1, 2, 3});
    if (f.command == wire::kReadSecureBoot) return FakeDevice::Reply(f, 0, {0, 0});
    wire::Frame r;  // a checksummed response without even a result code
    r.type = wire::kResponse;
    r.sequence = f.sequence;
    r.command = f.command;
    r.payload = {9};
    return wire::Encode(r);
  });
  NvInfoRecord r;
  std::memset(&r, 0, sizeof(r));
  r.mask = 0x77;
  EXPECT_EQ(KV_FastReadNvInfo(h_, &r), KV_ERR_BAD_REPLY);
  SecureBootItem item{1, 0};
  EXPECT_EQ(KV_ReadSecureBoot(h_, &item, 6), KV_ERR_BAD_REPLY);
  char text[16];
  EXPECT_EQ(KV_GetMsVersion(h_, text, 16), KV_ERR_BAD_REPLY);
}

TEST_F(PhoneRobustnessTest, WrongChecksumIsRetriedThenTimesOut) {
  auto d = Device([](const wire::Frame& f) {
    std::vector<uint8_t> bytes = FakeDevice::Reply(f, 0, {'x'});
    bytes[bytes.size() - 2] ^= 0x01;  // checksum byte
    return bytes;
  });
  char text[16];
  EXPECT_EQ(KV_GetMsVersion(h_, text, 16), KV_ERR_TIMEOUT);
  const auto requests = d->Requests();
  ASSERT_EQ(requests.size(), 2u);  // the same request twice, same sequence number
  EXPECT_EQ(requests[0].sequence, requests[1].sequence);
  EXPECT_EQ(requests[0].payload, requests[1].payload);
}

TEST_F(PhoneRobustnessTest, StaleAndForeignFramesBeforeTheAnswerAreSkipped) {
  auto d = Device([](const wire::Frame& f) {
    wire::Frame stale;
    stale.type = wire::kResponse;
    stale.sequence = static_cast<uint8_t>(f.sequence - 1);
    stale.command = f.command;
    stale.payload = wire::ResponsePayload(0, {'o', 'l', 'd'});
    std::vector<uint8_t> out = wire::Encode(stale);
    wire::Frame echo = f;  // our own request echoed back
    const std::vector<uint8_t> e = wire::Encode(echo);
    out.insert(out.end(), e.begin(), e.end());
    const std::vector<uint8_t> noise{0x7E, 0x7D, 0x7E, 0x01, 0x02};  // a bad escape
    out.insert(out.end(), noise.begin(), noise.end());
    const std::vector<uint8_t> good = FakeDevice::Reply(f, 0, {'n', 'e', 'w'});
    out.insert(out.end(), good.begin(), good.end());
    return out;
  });
  char text[16];
  ASSERT_EQ(KV_GetMsVersion(h_, text, 16), KV_OK);
  EXPECT_STREQ(text, "new");
}

TEST_F(PhoneRobustnessTest, OversizeAndPartialFramesEndInATimeOut) {
  int n = 0;
  auto d = Device([&n](const wire::Frame& f) {
    if (n++ % 2 == 0) {
      std::vector<uint8_t> huge{0x7E};
      huge.insert(huge.end(), wire::kMaxBodySize + 100, 0x30);
      huge.push_back(0x7E);
      return huge;
    }
    std::vector<uint8_t> half = FakeDevice::Reply(f, 0, std::vector<uint8_t>(50, 'h'));
    half.resize(half.size() / 2);  // and then silence
    return half;
  });
  char text[16];
  QElapsedTimer t;
  t.start();
  EXPECT_EQ(KV_GetMsVersion(h_, text, 16), KV_ERR_TIMEOUT);
  EXPECT_LT(t.elapsed(), 5000);
}

TEST_F(PhoneRobustnessTest, EndlessGarbageIsBounded) {
  std::mt19937 rng(99);
  auto d = Device([&rng](const wire::Frame&) {
    std::vector<uint8_t> junk(60000);
    for (uint8_t& b : junk) b = static_cast<uint8_t>(rng());
    return junk;
  });
  char text[16];
  QElapsedTimer t;
  t.start();
  EXPECT_EQ(KV_GetMsVersion(h_, text, 16), KV_ERR_TIMEOUT);
  EXPECT_LT(t.elapsed(), 15000);
  KV_EndPhoneTest(h_);
  d->Stop();
}

TEST_F(PhoneRobustnessTest, CablePulledMidFrameIsALostLine) {
  auto d = Device([](const wire::Frame& f) {
    std::vector<uint8_t> part = FakeDevice::Reply(f, 0, std::vector<uint8_t>(40, 'p'));
    part.resize(20);
    return part;
  });
  d->PullCableAfterReply();
  char text[16];
  EXPECT_EQ(KV_GetMsVersion(h_, text, 16), KV_ERR_LINK_LOST);
  EXPECT_EQ(KV_GetMsVersion(h_, text, 16), KV_ERR_PORT_OPEN);  // its link has gone too
}

}  // namespace
