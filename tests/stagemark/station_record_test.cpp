// The station record's layout and the rules of the two calls, on byte buffers.
#include "device/stagemark/station_record.h"
#include "device/stagemark/stagemark.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrel::device::stagemark {
namespace {

StationEntry Entry(const char* name, bool tested, bool passed, const char* text = "",
                   int64_t time = 0) {
  return StationEntry{name, tested, passed, text, time};
}

QByteArray Encode(const StationRecord& r) {
  QByteArray block;
  EXPECT_EQ(EncodeStationRecord(r, &block), STAGEMARK_PASS);
  return block;
}

int32_t Decode(const QByteArray& block) {
  StationRecord r;
  return DecodeStationRecord(block, &r);
}

// Re-seals a block whose header or entries a test changed, so that only that change is judged.
QByteArray Reseal(QByteArray block) {
  const qsizetype end = block.size() - kChecksumBytes;
  const uint32_t crc = Crc32(block.constData(), end);
  for (int i = 0; i < 4; ++i) block[end + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
  return block;
}

TEST(StationRecordFormatTest, MatchesTheDocumentedBytes) {
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
  StationRecord r;
  r.stations.push_back(Entry("BT", true, true, "", 1704164645));
  EXPECT_EQ(Encode(r).toHex(' '),
            QByteArray("4b 56 30 39 01 00 01 00 0d 00 02 42 54 03 00 25 7d 93 65 00 00 00 00 "
                       "18 a4 c3 0b"));
  // An empty KV05 record: header and checksum only.
  StationRecord old;
  old.format = RecordFormat::kV5;
  const QByteArray block = Encode(old);
  EXPECT_EQ(block.size(), kHeaderBytes + kChecksumBytes);
  EXPECT_TRUE(block.startsWith("KV05\x01\x00\x00\x00\x00\x00"));
}

TEST(StationRecordFormatTest, RoundTripsBothLayouts) {
  StationRecord r;
  r.stations = {
      Entry("BOARD", true, true, "", 1700000000), Entry("RF", true, false, "Write Fail", -5),
      Entry("IMEI", false, false),
      Entry(std::string(199, 'n').c_str(), true, false, std::string(255, 't').c_str(), INT64_MAX)};
  StationRecord back;
  ASSERT_EQ(DecodeStationRecord(Encode(r), &back), STAGEMARK_PASS);
  EXPECT_EQ(back, r);

  r.format = RecordFormat::kV5;
  ASSERT_EQ(DecodeStationRecord(Encode(r), &back), STAGEMARK_PASS);
  EXPECT_EQ(back.format, RecordFormat::kV5);
  ASSERT_EQ(back.stations.size(), 4u);
  EXPECT_EQ(back.stations[1].failureText, QByteArray("Write Fail"));
  EXPECT_EQ(back.stations[0].time, 0);  // the older layout keeps no times

  // A phone that keeps the block in a larger area: what follows the checksum is not read.
  EXPECT_EQ(DecodeStationRecord(Encode(r) + QByteArray(100, '\xFF'), &back), STAGEMARK_PASS);
  // No block at all: a phone that has no record yet.
  ASSERT_EQ(DecodeStationRecord(QByteArray(), &back), STAGEMARK_PASS);
  EXPECT_EQ(back, StationRecord{});
}

TEST(StationRecordFormatTest, RefusesDamagedBlocksWithTheirCodes) {
  StationRecord r;
  r.stations = {Entry("BT", true, true, "", 1), Entry("RF", true, false, "x", 2)};
  const QByteArray good = Encode(r);

  EXPECT_EQ(Decode("K"), STAGEMARK_MAGIC_UNREADABLE);
  EXPECT_EQ(Decode("KV0"), STAGEMARK_MAGIC_UNREADABLE);
  EXPECT_EQ(Decode(QByteArray("KV07") + good.mid(4)), STAGEMARK_BAD_MAGIC);
  EXPECT_EQ(Decode(QByteArray("kv09") + good.mid(4)), STAGEMARK_BAD_MAGIC);
  EXPECT_EQ(Decode(QByteArray(kMaxRecordBytes + 1, 'K')), STAGEMARK_BUFFER_FAILED);
  EXPECT_EQ(Decode("KV09"), STAGEMARK_INVALID_RECORD);
  EXPECT_EQ(Decode(good.left(good.size() - 1)), STAGEMARK_INVALID_RECORD);

  // Any single damaged byte is caught (the checksum, or the magic itself).
  for (qsizetype i = 0; i < good.size(); ++i) {
    QByteArray bad = good;
    bad[i] = static_cast<char>(bad[i] ^ 0x10);
    EXPECT_NE(Decode(bad), STAGEMARK_PASS) << "byte " << i;
  }

  auto with = [&](qsizetype at, char value) {
    QByteArray b = good;
    b[at] = value;
    return Reseal(b);
  };
  EXPECT_EQ(Decode(with(4, 2)), STAGEMARK_INVALID_RECORD);      // layout version 2
  EXPECT_EQ(Decode(with(6, 3)), STAGEMARK_INVALID_RECORD);      // one entry more than there is
  EXPECT_EQ(Decode(with(6, 65)), STAGEMARK_INVALID_RECORD);     // more than 64 entries
  EXPECT_EQ(Decode(with(8, 0x7F)), STAGEMARK_INVALID_RECORD);   // entries longer than the block
  EXPECT_EQ(Decode(with(10, 0)), STAGEMARK_INVALID_RECORD);     // empty name
  EXPECT_EQ(Decode(with(13, 0x02)), STAGEMARK_INVALID_RECORD);  // passed but not tested
  EXPECT_EQ(Decode(with(13, 0x07)), STAGEMARK_INVALID_RECORD);  // unknown status bit
  EXPECT_EQ(Decode(with(12, '\0')), STAGEMARK_INVALID_RECORD);  // NUL in a name
  QByteArray dup = good;                                        // "RF" renamed "BT"
  dup[24] = 'B';
  dup[25] = 'T';
  EXPECT_EQ(Decode(Reseal(dup)), STAGEMARK_INVALID_RECORD);  // the same station twice
  // An entry count that leaves bytes of the entries unread.
  EXPECT_EQ(Decode(with(6, 1)), STAGEMARK_INVALID_RECORD);
}

TEST(StationRecordFormatTest, EncodingRefusesWhatDoesNotFit) {
  QByteArray block;
  StationRecord r;
  for (int i = 0; i < kMaxStations; ++i)
    r.stations.push_back(Entry(QByteArray::number(i), false, false));
  EXPECT_EQ(EncodeStationRecord(r, &block), STAGEMARK_PASS);
  r.stations.push_back(Entry("one too many", false, false));
  EXPECT_EQ(EncodeStationRecord(r, &block), STAGEMARK_INPUT_TOO_LARGE);

  // Entries of the longest name and text take 465 bytes each: eight fit in 4096, nine do not.
  StationRecord big;
  for (int i = 0; i < 9; ++i) {
    big.stations.push_back(Entry((std::string(198, 'a') + char('0' + i)).c_str(), true, false,
                                 std::string(255, 'f').c_str()));
  }
  EXPECT_EQ(EncodeStationRecord(big, &block), STAGEMARK_INPUT_TOO_LARGE);
  big.stations.pop_back();
  ASSERT_EQ(EncodeStationRecord(big, &block), STAGEMARK_PASS);
  EXPECT_EQ(block.size(), 8 * 465 + kHeaderBytes + kChecksumBytes);

  StationRecord longName;
  longName.stations.push_back(Entry(std::string(200, 'n').c_str(), false, false));
  EXPECT_EQ(EncodeStationRecord(longName, &block), STAGEMARK_INPUT_TOO_LARGE);
  StationRecord longText;
  longText.stations.push_back(Entry("A", true, false, std::string(256, 't').c_str()));
  EXPECT_EQ(EncodeStationRecord(longText, &block), STAGEMARK_INPUT_TOO_LARGE);
}

TEST(StationRecordPhaseTest, CheckAnswersFromTheCheckedStation) {
  StationRecord r;
  r.stations = {Entry("BOARD", true, true), Entry("RF", true, false, "Write Fail"),
                Entry("CAL", false, false)};
  const StationRecord before = r;
  bool changed = true;
  EXPECT_EQ(CheckPhaseOnRecord(&r, "IMEI", "RF", &changed), STAGEMARK_CHECK_FAILED);
  EXPECT_EQ(CheckPhaseOnRecord(&r, "IMEI", "CAL", &changed), STAGEMARK_CHECK_UNTESTED);
  EXPECT_EQ(CheckPhaseOnRecord(&r, "IMEI", "MMI", &changed), STAGEMARK_CHECK_UNKNOWN);
  EXPECT_EQ(CheckPhaseOnRecord(&r, "IMEI", "board", &changed), STAGEMARK_CHECK_UNKNOWN);
  EXPECT_EQ(CheckPhaseOnRecord(&r, "IMEI", "null", &changed), STAGEMARK_CHECK_UNKNOWN);
  EXPECT_FALSE(changed);
  EXPECT_EQ(r, before);  // a failed check changes nothing

  // Passed: the current station enters the record, untested, once.
  EXPECT_EQ(CheckPhaseOnRecord(&r, "IMEI", "BOARD", &changed), STAGEMARK_PASS);
  EXPECT_TRUE(changed);
  ASSERT_EQ(r.stations.size(), 4u);
  EXPECT_EQ(r.stations.back(), Entry("IMEI", false, false));
  EXPECT_EQ(CheckPhaseOnRecord(&r, "IMEI", "BOARD", &changed), STAGEMARK_PASS);
  EXPECT_FALSE(changed);
  // "NULL" requires nothing, also of an empty record.
  StationRecord fresh;
  EXPECT_EQ(CheckPhaseOnRecord(&fresh, "BOARD", "NULL", &changed), STAGEMARK_PASS);
  EXPECT_TRUE(changed);
  EXPECT_EQ(fresh.stations, std::vector<StationEntry>{Entry("BOARD", false, false)});
  EXPECT_EQ(CheckPhaseOnRecord(&fresh, "IMEI", "BOARD", &changed), STAGEMARK_CHECK_UNTESTED);

  StationRecord full;
  for (int i = 0; i < kMaxStations; ++i)
    full.stations.push_back(Entry(QByteArray::number(i), true, true));
  EXPECT_EQ(CheckPhaseOnRecord(&full, "IMEI", "NULL", &changed), STAGEMARK_INPUT_TOO_LARGE);
  EXPECT_EQ(CheckPhaseOnRecord(&full, "7", "3", &changed), STAGEMARK_PASS);  // already there
}

TEST(StationRecordPhaseTest, UpdateRecordsTheCurrentStationsResult) {
  StationRecord r;
  r.stations = {Entry("BOARD", true, true, "", 11), Entry("IMEI", false, false)};
  EXPECT_EQ(UpdatePhaseOnRecord(&r, "MMI", true, "", 100), STAGEMARK_CURRENT_UNKNOWN);
  ASSERT_EQ(UpdatePhaseOnRecord(&r, "IMEI", false, "Write Fail", 100), STAGEMARK_PASS);
  EXPECT_EQ(r.stations[1], Entry("IMEI", true, false, "Write Fail", 100));
  ASSERT_EQ(UpdatePhaseOnRecord(&r, "IMEI", true, "", 200), STAGEMARK_PASS);  // a retest
  EXPECT_EQ(r.stations[1], Entry("IMEI", true, true, "", 200));
  EXPECT_EQ(r.stations[0], Entry("BOARD", true, true, "", 11));

  r.format = RecordFormat::kV5;
  ASSERT_EQ(UpdatePhaseOnRecord(&r, "BOARD", false, "x", 300), STAGEMARK_PASS);
  EXPECT_EQ(r.stations[0].time, 0);
}

TEST(StationRecordPhaseTest, NamesAndTextsFromCallers) {
  QByteArray out;
  EXPECT_EQ(TakeStationName(nullptr, &out), STAGEMARK_FAIL);
  EXPECT_EQ(TakeStationName("", &out), STAGEMARK_FAIL);
  EXPECT_EQ(TakeStationName(std::string(199, 'x').c_str(), &out), STAGEMARK_PASS);
  EXPECT_EQ(out.size(), 199);
  EXPECT_EQ(TakeStationName(std::string(200, 'x').c_str(), &out), STAGEMARK_INPUT_TOO_LARGE);
  EXPECT_EQ(TakeFailureText(nullptr, &out), STAGEMARK_PASS);
  EXPECT_TRUE(out.isEmpty());
  EXPECT_EQ(TakeFailureText(std::string(255, 'x').c_str(), &out), STAGEMARK_PASS);
  EXPECT_EQ(TakeFailureText(std::string(256, 'x').c_str(), &out), STAGEMARK_INPUT_TOO_LARGE);
}

TEST(StationRecordPhaseTest, EveryCodeHasItsMessage) {
  const int expected[] = {123, 124, 132, 138, 126, 126, 127, 139, 131, 128, 129, 140, 130, 141};
  for (int code = 0; code <= 13; ++code)
    EXPECT_EQ(StagemarkMessageId(code), expected[code]) << code;
  EXPECT_EQ(StagemarkMessageId(-1), 131);
  EXPECT_EQ(StagemarkMessageId(14), 131);
}

}  // namespace
}  // namespace kestrel::device::stagemark
