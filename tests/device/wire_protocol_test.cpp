// The framing of the phone link: what the decoder accepts, what it drops and how it picks
// up again after bad input.
#include "device/oxbind/wire_protocol.h"

#include <gtest/gtest.h>

#include <vector>

namespace wire = kestrel::device::oxbind::wire;

namespace {

std::vector<wire::Frame> DecodeAll(const std::vector<uint8_t>& bytes, wire::Decoder* d) {
  std::vector<wire::Frame> out;
  d->Feed(bytes.data(), bytes.size(), &out);
  return out;
}

wire::Frame Sample() {
  wire::Frame f;
  f.type = wire::kResponse;
  f.sequence = 0x7E;  // a flag value in the header must be escaped too
  f.command = wire::kGetMsVersion;
  f.payload = {0x7E, 0x7D, 0x00, 0x20, 0x5E, 0x5D, 0xFF};
  return f;
}

TEST(WireProtocol, ProbeFrameIsASyncNopRequest) {
  wire::Decoder d;
  const std::vector<uint8_t> probe(wire::kSyncFrame, wire::kSyncFrame + 10);
  const auto frames = DecodeAll(probe, &d);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].type, wire::kRequest);
  EXPECT_EQ(frames[0].command, wire::kNop);
  EXPECT_EQ(frames[0].sequence, 0);
  EXPECT_TRUE(frames[0].payload.empty());

  // A zero checksum is accepted on that frame only: the same header with another command
  // is refused.
  std::vector<uint8_t> other = probe;
  other[4] = 0x10;
  EXPECT_TRUE(DecodeAll(other, &d).empty());
  EXPECT_EQ(d.stats().badChecksum, 1u);
}

TEST(WireProtocol, RoundTripEscapesFlagAndEscapeBytes) {
  const wire::Frame f = Sample();
  const std::vector<uint8_t> bytes = wire::Encode(f);
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.front(), wire::kFlag);
  EXPECT_EQ(bytes.back(), wire::kFlag);
  for (std::size_t i = 1; i + 1 < bytes.size(); ++i) EXPECT_NE(bytes[i], wire::kFlag) << i;

  // Fed one byte at a time, as a slow line delivers it.
  wire::Decoder d;
  std::vector<wire::Frame> out;
  for (uint8_t b : bytes) d.Feed(&b, 1, &out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].type, f.type);
  EXPECT_EQ(out[0].sequence, f.sequence);
  EXPECT_EQ(out[0].command, f.command);
  EXPECT_EQ(out[0].payload, f.payload);
}

TEST(WireProtocol, BadFramesAreDroppedAndTheNextOneDecodes) {
  const std::vector<uint8_t> good = wire::Encode(Sample());
  std::vector<uint8_t> corrupt = good;
  corrupt[3] ^= 0x01;                                              // inside the body
  std::vector<uint8_t> truncated(good.begin(), good.begin() + 5);  // then a new flag
  std::vector<uint8_t> stream = {0x01, 0x02, 0x03};                // noise before any flag
  stream.insert(stream.end(), corrupt.begin(), corrupt.end());
  stream.insert(stream.end(), truncated.begin(), truncated.end());
  stream.insert(stream.end(), good.begin(), good.end());

  wire::Decoder d;
  const auto frames = DecodeAll(stream, &d);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].payload, Sample().payload);
  EXPECT_EQ(d.stats().stray, 3u);
  EXPECT_EQ(d.stats().badChecksum, 1u);
  EXPECT_EQ(d.stats().malformed, 1u);
}

TEST(WireProtocol, OversizeFrameIsDroppedWithoutGrowingWithoutBound) {
  std::vector<uint8_t> stream{wire::kFlag};
  stream.insert(stream.end(), wire::kMaxBodySize + 5000, 0x41);
  const std::vector<uint8_t> good = wire::Encode(Sample());
  stream.insert(stream.end(), good.begin(), good.end());
  wire::Decoder d;
  const auto frames = DecodeAll(stream, &d);
  EXPECT_EQ(d.stats().oversize, 1u);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].command, wire::kGetMsVersion);
}

TEST(WireProtocol, LengthFieldMustMatchTheBody) {
  wire::Frame f;
  f.command = wire::kHello;
  f.payload = {1, 2, 3};
  std::vector<uint8_t> bytes = wire::Encode(f);
  // Drop one payload byte and fix the checksum: the length field no longer fits.
  std::vector<uint8_t> body(bytes.begin() + 1, bytes.end() - 1);
  body.erase(body.begin() + 6);
  body.resize(body.size() - 2);
  const uint16_t crc = wire::Crc16(body.data(), body.size());
  body.push_back(static_cast<uint8_t>(crc >> 8));
  body.push_back(static_cast<uint8_t>(crc & 0xFF));
  std::vector<uint8_t> framed{wire::kFlag};
  framed.insert(framed.end(), body.begin(), body.end());
  framed.push_back(wire::kFlag);
  wire::Decoder d;
  EXPECT_TRUE(DecodeAll(framed, &d).empty());
  EXPECT_EQ(d.stats().malformed, 1u);
}

TEST(WireProtocol, CommandNamesMapBothWays) {
  EXPECT_EQ(wire::CommandName(wire::kNvFastWrite), "KV_FastWriteNvInfo");
  EXPECT_EQ(wire::CommandForName("KV_FastWriteNvInfo"), wire::kNvFastWrite);
  EXPECT_EQ(wire::CommandForName("KV_EnterModeProcess"), wire::kEnterMode);
  EXPECT_EQ(wire::CommandForName("KV_NoSuchCall"), -1);
  EXPECT_EQ(wire::CommandName(0x7777), "");
}

}  // namespace
