// The write and read-back sequences without a window: a recording host, a real phone handle
// and the simulated phone. What the phone library was asked is read from the simulator's log.
#include "tests/device/phone_sim_process.h"
#include "tests/station/recording_job_host.h"
#include "tests/support/linked_phone_api.h"

#include "config/station_settings.h"
#include "device/ports/port_map.h"
#include "device/stagemark/stagemark.h"
#include "records/result_store.h"
#include "resources/message_format.h"
#include "resources/string_table.h"
#include "station/job_control.h"
#include "station/read_sequence.h"
#include "station/write_sequence.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include <memory>

namespace kestrel::station::testing {
namespace {

using identity::ResultState;
using resources::FormatString;
using resources::LoadString;

constexpr int kCom = 4;
const QString kImei1 = QStringLiteral("351234560000011");
const QString kImei2 = QStringLiteral("351234560000029");
const QString kImei3 = QStringLiteral("351234560000037");

class SequenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("KESTREL_SYSTEM_PORTS", "0");
    qputenv("KESTREL_OXBIND_REPLY_TIMEOUT_MS",
            QByteArray::number(kestrel::testing::ReplyTimeoutMs(250)));
    device::ports::SetStationFolder(dir_.path());
    phone_ = KV_CreatePhone(0);
    s_.TavixNew = 1;
    s_.SaveIMEI = 1;
    s_.SaveToTxt = 1;
  }
  void TearDown() override {
    if (open_) KV_EndPhoneTest(phone_);
    KV_ReleasePhone(phone_);
  }

  // Starts the phone (with a preset state) and opens the phone test on it.
  void Connect(const QStringList& faults = {}, const QJsonObject& state = {}) {
    if (!state.isEmpty()) {
      dir_.Write(QStringLiteral("phone.json"), QJsonDocument(state).toJson());
    }
    sim_ = std::make_unique<kestrel::testing::PhoneSimProcess>(
        dir_.File(QStringLiteral("ports")), kCom, dir_.File(QStringLiteral("phone.json")),
        dir_.File(QStringLiteral("phone.log")));
    ASSERT_TRUE(sim_->Start(faults));
    const PortChannel channel{KV_CHANNEL_COM, kCom, 115200};
    ASSERT_EQ(KV_BeginPhoneTest(phone_, &channel), 0);
    open_ = true;
  }

  JobContext Context() {
    JobContext c;
    c.phone = phone_;
    c.kv = &kestrel::testing::LinkedPhoneApi();
    c.settings = &s_;
    c.host = &host_;
    c.originMs = c.phoneReachedMs = JobContext::NowMs();
    return c;
  }

  void Write() {
    records::ResultStore store(dir_.path());
    WriteJobRecords records;
    records.store = &store;
    records.addresses = &addresses_;
    records.imeiBase = 35123456000002ULL;
    records.settingsPath = dir_.File(QStringLiteral("Kestrel.ini"));
    const JobContext c = Context();
    WriteSequence(c, records).RunWriteJob();
  }

  void Read() {
    const JobContext c = Context();
    ReadSequence(c).RunReadJob();
  }

  QStringList Logged(const QString& call) const {
    QStringList lines;
    for (const QString& l : sim_->LogLines()) {
      if (l.startsWith(call + QLatin1Char(' ')) || l == call) lines << l.mid(call.size()).trimmed();
    }
    return lines;
  }

  kestrel::testing::StationDir dir_;
  PhoneHandle phone_ = KV_INVALID_HANDLE;
  bool open_ = false;
  config::StationSettings s_;
  identity::AddressFileState addresses_;
  RecordingJobHost host_;
  std::unique_ptr<kestrel::testing::PhoneSimProcess> sim_;
};

identity::IdentitySet Identities() {
  identity::IdentitySet ids;
  ids.IMEI1 = kImei1;
  ids.IMEI2 = kImei2;
  ids.IMEI3 = kImei3;
  ids.BT = QStringLiteral("0011223344AA");
  ids.WIFI = QStringLiteral("00037F0000A0");
  return ids;
}

// The direct write (TavixNew 0): normal mode splits IMEIs and address into two records, the
// second written even when empty; IMEI3, IMEI4 and Wi-Fi never travel on this path.
TEST_F(SequenceTest, DirectWriteSplitsTheRecordInNormalModeAndNeverWritesTheNewItems) {
  const struct {
    const char* name;
    int mode;
    bool bt;
    QStringList records;
  } cases[] = {
      {"normal, IMEIs and BT", 1, true,
       {QStringLiteral("mask=0x3 imei1=351234560000011 imei2=351234560000029"),
        QStringLiteral("mask=0x4 bt=0011223344AA")}},
      {"normal, IMEIs and Wi-Fi", 1, false,
       {QStringLiteral("mask=0x3 imei1=351234560000011 imei2=351234560000029"),
        QStringLiteral("mask=0x0")}},
      {"calibration, one record", 0, true,
       {QStringLiteral("mask=0x7 imei1=351234560000011 imei2=351234560000029 bt=0011223344AA")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(dir_.File(QStringLiteral("phone.log")));
    QFile::remove(dir_.File(QStringLiteral("phone.json")));
    Connect();
    s_ = {};
    s_.TavixNew = 0;
    s_.OperationMode = c.mode;
    s_.IMEI1Enabled = s_.IMEI2Enabled = s_.IMEI3Enabled = 1;
    s_.BT_ADDR = c.bt ? 1 : 0;
    s_.WIFI_ADDR = 1;
    host_.SetIdentities(Identities());
    Write();
    EXPECT_EQ(Logged(QStringLiteral("KV_NvWriteDirect")), c.records);
    EXPECT_EQ(host_.Last().text, LoadString(105));
    EXPECT_EQ(sim_->State().value(QStringLiteral("imei3")).toString(), QString());
    EXPECT_EQ(sim_->State().value(QStringLiteral("wifi")).toString(), QString());
    KV_EndPhoneTest(phone_);
    open_ = false;
    sim_.reset();
  }
}

// The station record: checked before anything is written, updated after the identity write
// (a failure too), and its object released whatever happened.
TEST_F(SequenceTest, StationRecordGatesTheWriteAndKeepsItsResult) {
  const struct {
    const char* name;
    QStringList faults;
    QString message;
    std::vector<bool> outcomes;
    bool written;  // the identity record reached the phone
    bool updated;  // the station record was written back
  } cases[] = {
      {"previous station passed", {QStringLiteral("--station-passed"), QStringLiteral("PREV")},
       LoadString(105), {true}, true, true},
      {"previous station failed", {QStringLiteral("--station-failed"), QStringLiteral("PREV")},
       FormatString(127, {QStringLiteral("PREV")}), {false}, false, false},
      {"previous station unknown", {QStringLiteral("--station-passed"), QStringLiteral("OTHER")},
       LoadString(126), {false}, false, false},
      {"identity write fails: the record keeps the failure",
       {QStringLiteral("--station-passed"), QStringLiteral("PREV"), QStringLiteral("--protected")},
       FormatString(106, {std::int64_t{KV_ERR_IMEI_PROTECTED}}), {false}, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QFile::remove(dir_.File(QStringLiteral("phone.log")));
    QFile::remove(dir_.File(QStringLiteral("phone.json")));
    host_.Reset();
    Connect(c.faults);
    s_ = {};
    s_.TavixNew = 1;
    s_.SaveIMEI = 1;
    s_.SaveToTxt = 1;
    s_.Stagemark = 1;
    s_.IMEI1Enabled = 1;
    s_.CurrentStationName = "THIS";
    s_.CheckStationName = "PREV";
    host_.SetIdentities(Identities());
    Write();
    EXPECT_EQ(host_.Last().text.section(QLatin1Char('\n'), 0, 0), c.message);
    EXPECT_EQ(host_.Outcomes(), c.outcomes);
    EXPECT_EQ(!Logged(QStringLiteral("KV_FastWriteNvInfo")).isEmpty(), c.written || c.updated);
    EXPECT_EQ(!Logged(QStringLiteral("WriteStationRecord")).isEmpty(), c.updated);
    EXPECT_EQ(device::stagemark::LiveStagemarkObjects(), 0);
    KV_EndPhoneTest(phone_);
    open_ = false;
    sim_.reset();
  }
}

TEST_F(SequenceTest, ReadJobTakesSerialNumbersAndRefusesANonNumericImei3) {
  Connect({QStringLiteral("--sn-no-nul")},
          {{QStringLiteral("sn1"), QStringLiteral("SN1ABCDEFG")},
           {QStringLiteral("imei1"), kImei1},
           {QStringLiteral("imei3"), QStringLiteral("FFFF")}});
  s_.WriteSN = 1;
  s_.SN1Enabled = 1;
  s_.IMEI1Enabled = 1;
  s_.IMEI3Enabled = 1;
  Read();
  // A serial number filling all 24 bytes without a terminator gives exactly 24 characters.
  EXPECT_EQ(host_.Identities().SN1, QStringLiteral("SN1ABCDEFG").leftJustified(24, 'X'));
  EXPECT_EQ(host_.Last().text, QStringLiteral("IMEI3 not exist,may be not support IMEI3"));
  EXPECT_EQ(host_.Last().state, ResultState::Fail);
  EXPECT_TRUE(host_.Outcomes().empty());
}

TEST_F(SequenceTest, ReadJobWithAFailedReadEndsWith119AndWithNothingOnNoItem) {
  Connect({QStringLiteral("--fail"), QStringLiteral("KV_FastReadNvInfo=34")});
  s_.IMEI1Enabled = 1;
  s_.WIFI_ADDR = 1;
  s_.OperationMode = 1;
  Read();
  EXPECT_EQ(Logged(QStringLiteral("KV_FastReadNvInfo")).size(), 2);  // both reads made
  EXPECT_EQ(host_.Last().text, LoadString(119));

  // Nothing of the identity record enabled: no read, no verdict.
  host_.Reset();
  s_ = {};
  s_.OperateCURef = 0;
  Read();
  EXPECT_TRUE(host_.Results().empty());
}

TEST(JobSettingsTest, BootModeAndChannelFollowTheSettings) {
  const struct {
    int testMode, quarl, variant, apMode, code;
  } modes[] = {
      {0, 1, 0, 1, 10},  // TESTMODE 0: 10 whatever the rest
      {1, 0, 0, 0, 1},  {1, 1, 0, 0, 14}, {1, 1, 1, 0, 1},
      {1, 1, 0, 1, 22},  // APMode wins over Quarl
  };
  for (const auto& m : modes) {
    config::StationSettings s;
    s.TESTMODE = m.testMode;
    s.Quarl = m.quarl;
    s.QuarlVariant = m.variant;
    s.APMode = m.apMode;
    EXPECT_EQ(BootModeCode(s), m.code) << m.testMode << m.quarl << m.variant << m.apMode;
  }
  const struct {
    int mode, autoPort, port;
    PortChannel channel;
  } channels[] = {
      {0, 1, -1, {KV_CHANNEL_USB, 0, 0}},
      {0, 0, 7, {KV_CHANNEL_COM, 7, 115200}},
      {1, 1, 5, {KV_CHANNEL_COM, 5, 115200}},  // normal mode never asks for the USB kind
  };
  for (const auto& c : channels) {
    config::StationSettings s;
    s.OperationMode = c.mode;
    s.AutoPort = c.autoPort;
    s.Port = c.port;
    const PortChannel got = MakePortChannel(s);
    EXPECT_EQ(got.type, c.channel.type);
    EXPECT_EQ(got.port, c.channel.port);
    EXPECT_EQ(got.baudRate, c.channel.baudRate);
  }
}

}  // namespace
}  // namespace kestrel::station::testing
