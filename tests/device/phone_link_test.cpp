// The phone library against the phone simulator over pseudo-terminals: every call, the
// faults the simulator injects, the mode process and cancellation from another thread.
#include "device/oxbind/oxbind.h"
#include "tests/device/full_nv_record.h"
#include "device/ports/port_map.h"
#include "tests/device/phone_sim_process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>

#include <cstring>
#include <memory>
#include <thread>

namespace ports = kestrel::device::ports;
using kestrel::testing::PhoneSimProcess;
using kestrel::testing::StationDir;

namespace {

// The station-record block through the library's calls.
int32_t WriteRecord(PhoneHandle h, const QByteArray& block) {
  return KV_WriteStationRecord(h, reinterpret_cast<const uint8_t*>(block.constData()),
                               static_cast<int32_t>(block.size()));
}
int32_t ReadRecord(PhoneHandle h, QByteArray* block) {
  block->fill('\0', KV_MAX_STATION_RECORD);
  int32_t length = -1;
  const int32_t r = KV_ReadStationRecord(h, reinterpret_cast<uint8_t*>(block->data()),
                                         KV_MAX_STATION_RECORD, &length);
  block->truncate(length);
  return r;
}

// An event of the library, closed at the end of the scope.
class Event {
 public:
  Event() : e_(KV_CreateEvent()) {}
  ~Event() { KV_CloseEvent(e_); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  KV_Event* get() const { return e_; }
  bool Wait(int ms) const { return KV_WaitEvent(e_, ms) == KV_OK; }
  bool IsSet() const { return Wait(0); }
  void Reset() { KV_ResetEvent(e_); }

 private:
  KV_Event* e_;
};

class PhoneLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("KESTREL_SYSTEM_PORTS", "0");
    ports::SetStationFolder(station_.path());
    h_ = KV_CreatePhone(0);
    ASSERT_NE(h_, KV_INVALID_HANDLE);
    Timeouts(kestrel::testing::ReplyTimeoutMs(300), 2);
  }
  void TearDown() override {
    KV_EndPhoneTest(h_);
    KV_ReleasePhone(h_);
    ports::SetStationFolder(QString());
  }

  void Timeouts(int ms, int attempts) {
    ASSERT_EQ(KV_SetProperty(h_, KV_PROP_REPLY_TIMEOUT, ms, 0), KV_OK);
    ASSERT_EQ(KV_SetProperty(h_, KV_PROP_ATTEMPTS, attempts, 0), KV_OK);
  }

  // A simulator on COM<com> with its own state and log in the station folder.
  std::unique_ptr<PhoneSimProcess> Sim(int com, const QStringList& extra = {},
                                       bool waitReady = true, const QString& name = "phone") {
    auto sim = std::make_unique<PhoneSimProcess>(
        station_.File("ports"), com, station_.File(name + ".json"), station_.File(name + ".log"));
    EXPECT_TRUE(sim->Start(extra, waitReady)) << "simulator did not start";
    return sim;
  }

  int32_t Open(int com) {
    const PortChannel c{KV_CHANNEL_COM, com, 115200};
    return KV_BeginPhoneTest(h_, &c);
  }
  int32_t OpenUsb() {
    const PortChannel c{KV_CHANNEL_USB, 0, 0};
    return KV_BeginPhoneTest(h_, &c);
  }

  StationDir station_;
  PhoneHandle h_ = KV_INVALID_HANDLE;
};

// What the station does with the diagnostic reply (quoted hex text) to get the AP version.
std::string DecodeDiagReply(const std::string& reply) {
  const auto first = reply.find('"');
  if (first == std::string::npos) return {};
  std::string text = reply.substr(first + 1);
  text = text.substr(0, text.find('"'));
  if (text.find("00000000") == std::string::npos) return text;
  text = text.substr(28);
  std::string out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    auto digit = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c - 55; };
    out += static_cast<char>(digit(text[i]) * 16 + digit(text[i + 1]));
  }
  return out;
}

TEST_F(PhoneLinkTest, EveryCallRoundTripsInTheStationsOrder) {
  auto sim = Sim(3);
  ASSERT_EQ(KV_SetProperty(h_, 3, 0, 2), KV_OK);
  ASSERT_EQ(KV_SetProperty(h_, 6, 3, 1), KV_OK);
  ASSERT_EQ(Open(3), KV_OK);

  const uint8_t probe[10] = {0x7E, 0, 0, 0, 0, 0, 0x08, 0, 0, 0x7E};
  EXPECT_EQ(KV_Write(h_, probe, 10), KV_OK);
  std::vector<char> big(16384, 0);
  ASSERT_EQ(KV_GetMsVersion(h_, big.data(), 16384), KV_OK);
  EXPECT_NE(std::string(big.data()).find("BASE:KS_A1_V1.0.2"), std::string::npos);
  char text[4096] = {};
  ASSERT_EQ(KV_FastReadVersion(h_, text, 4096), KV_OK);
  EXPECT_STREQ(text, big.data());
  ASSERT_EQ(KV_GetAPVersion(h_, text, 4096), KV_OK);
  const std::string ap = text;

  char reply[4096] = {};
  int32_t length = -1;
  ASSERT_EQ(KV_SendATCommand(h_, "AT+KVDIAG=\"0000000008000000\"", 1, reply, 4000, &length, 3000),
            KV_OK);
  EXPECT_EQ(length, static_cast<int32_t>(std::strlen(reply)));
  EXPECT_EQ(DecodeDiagReply(reply), ap);
  ASSERT_EQ(KV_SendATCommand(h_, "AT+CFUN=1", 1, reply, 4000, &length, 3000), KV_OK);
  EXPECT_STREQ(reply, "OK");

  char cu[24] = {'C', 'U', '1', 0, 'X'};  // a zero in the middle stays where it is
  ASSERT_EQ(KV_WriteCURef(h_, cu, 24), KV_OK);
  for (uint16_t i = 0; i < 7; ++i) {
    const SecureBootItem item{i, 0xA0000000u + i};
    ASSERT_EQ(KV_WriteSecureBoot(h_, &item, 6), KV_OK);
  }
  ASSERT_EQ(KV_EnableSecureBoot(h_), KV_OK);
  ASSERT_EQ(KV_WriteSN(h_, 1, "SN1AAAAAAAAAAAAAAAAAAAA1", 24), KV_OK);
  ASSERT_EQ(KV_WriteSN(h_, 0, "SN2BBBBB", 8), KV_OK);

  const NvInfoRecord full = kestrel::testing::FullNvRecord();
  ASSERT_EQ(KV_FastWriteNvInfo(h_, &full), KV_OK);
  NvInfoRecord back;
  std::memset(&back, 0, sizeof(back));
  back.mask = 0x77;
  ASSERT_EQ(KV_FastReadNvInfo(h_, &back), KV_OK);
  EXPECT_EQ(std::memcmp(&back, &full, sizeof(full)), 0);

  // The direct write stores only what its mask names.
  NvInfoRecord direct;
  std::memset(&direct, 0, sizeof(direct));
  direct.mask = KV_NV_BT;
  std::strcpy(direct.bt, "0011223344BB");
  ASSERT_EQ(KV_NvWriteDirect(h_, &direct), KV_OK);
  std::memset(&back, 0, sizeof(back));
  back.mask = KV_NV_BT | KV_NV_IMEI1;
  ASSERT_EQ(KV_FastReadNvInfo(h_, &back), KV_OK);
  EXPECT_STREQ(back.bt, "0011223344BB");
  EXPECT_STREQ(back.imei1, "356938035643809");
  EXPECT_STREQ(back.imei2, "");  // not in the mask: left as the caller had it

  char cuBack[24];
  ASSERT_EQ(KV_ReadCURef(h_, cuBack, 24), KV_OK);
  EXPECT_EQ(std::memcmp(cuBack, cu, 24), 0);
  for (uint16_t i = 0; i < 7; ++i) {
    SecureBootItem item{i, 0};
    ASSERT_EQ(KV_ReadSecureBoot(h_, &item, 6), KV_OK);
    const uint32_t value = item.value;  // a packed member: copied, never bound to a reference
    EXPECT_EQ(value, 0xA0000000u + i);
  }
  SecureBootItem beyond{7, 1};
  EXPECT_EQ(KV_WriteSecureBoot(h_, &beyond, 6), KV_ERR_DEVICE_BAD_REQUEST);
  char sn[24];
  ASSERT_EQ(KV_ReadSN(h_, 1, sn, 24), KV_OK);
  EXPECT_EQ(std::string(sn, 24), "SN1AAAAAAAAAAAAAAAAAAAA1");  // all 24 bytes, no terminator
  ASSERT_EQ(KV_ReadSN(h_, 0, sn, 24), KV_OK);
  EXPECT_STREQ(sn, "SN2BBBBB");

  QByteArray block(KV_MAX_STATION_RECORD, '\0');
  for (int i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7);
  ASSERT_EQ(WriteRecord(h_, block), KV_OK);
  QByteArray got;
  ASSERT_EQ(ReadRecord(h_, &got), KV_OK);
  EXPECT_EQ(got, block);
  EXPECT_EQ(WriteRecord(h_, block + "x"), KV_ERR_BAD_ARGUMENT);

  ASSERT_EQ(KV_SetUsbAutoMode(h_, 0), KV_OK);
  ASSERT_EQ(KV_PowerOff(h_), KV_OK);
  ASSERT_EQ(KV_EndPhoneTest(h_), KV_OK);
  EXPECT_EQ(KV_GetMsVersion(h_, text, 4096), KV_ERR_NOT_OPEN);

  const QStringList calls = sim->LoggedCalls();
  const QStringList expected{"SYNC",
                             "KV_GetMsVersion",
                             "KV_FastReadVersion",
                             "KV_GetAPVersion",
                             "KV_SendATCommand",
                             "KV_SendATCommand",
                             "KV_WriteCURef"};
  ASSERT_GE(calls.size(), expected.size());
  EXPECT_EQ(calls.mid(0, expected.size()), expected);
  EXPECT_EQ(calls.last(), "KV_PowerOff");
  EXPECT_TRUE(sim->LogLines().contains(
      "KV_FastWriteNvInfo mask=0x77 imei1=356938035643809 imei2=356938035643817 "
      "imei3=356938035643825 imei4=356938035643833 bt=0011223344AA wifi=A0B1C2D3E4F5"));
  EXPECT_TRUE(sim->LogLines().contains("KV_WriteSN sn=2 text=SN2BBBBB"));

  // The phone's state is on disk for the test to look at, and survives a restart.
  sim->Stop();
  const QJsonObject state = sim->State();
  EXPECT_EQ(state["imei4"].toString(), "356938035643833");
  EXPECT_EQ(state["bt"].toString(), "0011223344BB");
  EXPECT_EQ(state["sn1"].toString(), "SN1AAAAAAAAAAAAAAAAAAAA1");
  EXPECT_EQ(state["secure_boot"].toArray().at(6).toDouble(), 0xA0000006u);
  EXPECT_TRUE(state["secure_boot_enabled"].toBool());
  EXPECT_FALSE(state["usb_auto_mode"].toBool());
  EXPECT_EQ(state["power_off_count"].toInt(), 1);
  EXPECT_FALSE(QFileInfo::exists(station_.File("ports/COM3")));  // link removed on exit

  auto again = Sim(3);
  ASSERT_EQ(Open(3), KV_OK);
  std::memset(&back, 0, sizeof(back));
  back.mask = KV_NV_WIFI | KV_NV_IMEI3;
  ASSERT_EQ(KV_FastReadNvInfo(h_, &back), KV_OK);
  EXPECT_STREQ(back.wifi, "A0B1C2D3E4F5");
  EXPECT_STREQ(back.imei3, "356938035643825");
  ASSERT_EQ(ReadRecord(h_, &got), KV_OK);
  EXPECT_EQ(got, block);
}

TEST_F(PhoneLinkTest, ArgumentsAndOpeningAreChecked) {
  char text[16];
  EXPECT_EQ(KV_GetMsVersion(12345, text, 16), KV_ERR_INVALID_HANDLE);
  EXPECT_EQ(KV_GetMsVersion(h_, text, 16), KV_ERR_NOT_OPEN);
  EXPECT_EQ(Open(9), KV_ERR_PORT_OPEN);  // nothing on COM9
  EXPECT_EQ(KV_BeginPhoneTest(h_, nullptr), KV_ERR_BAD_ARGUMENT);
  const PortChannel odd{7, 1, 115200};
  EXPECT_EQ(KV_BeginPhoneTest(h_, &odd), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KV_SetProperty(h_, KV_PROP_REPLY_TIMEOUT, 5, 0), KV_ERR_BAD_ARGUMENT);

  auto sim = Sim(2);
  ASSERT_EQ(Open(2), KV_OK);
  EXPECT_EQ(Open(2), KV_ERR_BUSY);
  EXPECT_EQ(KV_GetUsbPort(h_), 2);
  EXPECT_EQ(KV_GetMsVersion(h_, nullptr, 16), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KV_GetMsVersion(h_, text, 0), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KV_WriteSN(h_, 1, "0123456789012345678901234", 25), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KV_WriteCURef(h_, text, 25), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KV_FastReadNvInfo(h_, nullptr), KV_ERR_BAD_ARGUMENT);
  SecureBootItem item{0, 0};
  EXPECT_EQ(KV_ReadSecureBoot(h_, &item, 4), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KV_SendATCommand(h_, "AT", 1, nullptr, 10, nullptr, 100), KV_ERR_BAD_ARGUMENT);

  // A text reply longer than the buffer is cut and terminated inside it.
  char small[8];
  std::memset(small, 0x55, sizeof(small));
  ASSERT_EQ(KV_GetMsVersion(h_, small, 5), KV_OK);
  EXPECT_EQ(std::string(small), "Plat");
  EXPECT_EQ(small[5], 0x55);
  EXPECT_EQ(KV_ReleasePhone(h_), KV_OK);
  EXPECT_EQ(KV_ReleasePhone(h_), KV_ERR_INVALID_HANDLE);
  h_ = KV_CreatePhone(0);
}

TEST_F(PhoneLinkTest, DeviceResultsComeBackAsTheCallsResult) {
  auto sim = Sim(4, {"--fail", "KV_WriteSN=77", "--fail", "KV_GetAPVersion=5", "--protected"});
  ASSERT_EQ(Open(4), KV_OK);
  EXPECT_EQ(KV_WriteSN(h_, 1, "ABCDEFGH", 8), 77);
  char sn[24];
  EXPECT_EQ(KV_ReadSN(h_, 1, sn, 24), KV_OK);
  char text[64];
  EXPECT_EQ(KV_GetAPVersion(h_, text, 64), 5);
  const NvInfoRecord full = kestrel::testing::FullNvRecord();
  EXPECT_EQ(KV_FastWriteNvInfo(h_, &full), KV_ERR_IMEI_PROTECTED);
  EXPECT_EQ(KV_NvWriteDirect(h_, &full), KV_ERR_IMEI_PROTECTED);
  sim->Stop();
  EXPECT_EQ(sim->State()["imei1"].toString(), "");
  EXPECT_EQ(sim->State()["sn1"].toString(), "");
}

TEST_F(PhoneLinkTest, SilentPhoneTimesOutAfterEveryAttempt) {
  auto sim = Sim(5, {"--no-answer"});
  Timeouts(100, 2);
  ASSERT_EQ(Open(5), KV_OK);
  char text[64];
  QElapsedTimer t;
  t.start();
  EXPECT_EQ(KV_GetMsVersion(h_, text, 64), KV_ERR_TIMEOUT);
  EXPECT_LT(t.elapsed(), 2000);
  // Both attempts reached the phone; the second as a repeat of the first.
  EXPECT_EQ(sim->LoggedCalls(), (QStringList{"KV_GetMsVersion", "REPEAT"}));
}

TEST_F(PhoneLinkTest, SlowRepliesTimeOutAndLateOnesAreNotMistakenForTheNext) {
  auto sim = Sim(6, {"--delay-ms", "250"});
  Timeouts(100, 1);
  ASSERT_EQ(Open(6), KV_OK);
  char text[256];
  EXPECT_EQ(KV_GetAPVersion(h_, text, 256), KV_ERR_TIMEOUT);
  Timeouts(1500, 1);
  // The late AP reply arrives while this call waits; it must not be taken as the answer.
  ASSERT_EQ(KV_GetMsVersion(h_, text, 256), KV_OK);
  EXPECT_NE(std::string(text).find("HW:P1"), std::string::npos);
}

TEST_F(PhoneLinkTest, CorruptRepliesAreRetriedOrTimeOut) {
  {
    auto sim = Sim(7, {"--corrupt-rate", "1"});
    Timeouts(80, 3);
    ASSERT_EQ(Open(7), KV_OK);
    char text[256];
    EXPECT_EQ(KV_GetMsVersion(h_, text, 256), KV_ERR_TIMEOUT);
    KV_EndPhoneTest(h_);
  }
  auto sim = Sim(8, {"--corrupt-rate", "0.005", "--seed", "7"}, true, "phone8");
  Timeouts(80, 10);
  ASSERT_EQ(Open(8), KV_OK);
  for (int i = 0; i < 20; ++i) {
    NvInfoRecord r;
    std::memset(&r, 0, sizeof(r));
    r.mask = 0x77;
    ASSERT_EQ(KV_FastReadNvInfo(h_, &r), KV_OK) << i;
  }
}

TEST_F(PhoneLinkTest, LineDroppedMidReplyEndsTheCall) {
  auto sim = Sim(9, {"--drop-after-bytes", "30"});
  ASSERT_EQ(Open(9), KV_OK);
  char text[256];
  QElapsedTimer t;
  t.start();
  EXPECT_EQ(KV_GetMsVersion(h_, text, 256), KV_ERR_LINK_LOST);
  EXPECT_LT(t.elapsed(), 2000);
  EXPECT_TRUE(sim->WaitFinished(3000));
  // The port has gone: the next call cannot reopen it.
  EXPECT_EQ(KV_GetMsVersion(h_, text, 256), KV_ERR_PORT_OPEN);
}

TEST_F(PhoneLinkTest, PhoneQuirksArePassedOnWithinTheContractsSizes) {
  auto sim = Sim(10, {"--lowercase-addresses", "--sn-no-nul"});
  ASSERT_EQ(Open(10), KV_OK);
  const NvInfoRecord full = kestrel::testing::FullNvRecord();
  ASSERT_EQ(KV_FastWriteNvInfo(h_, &full), KV_OK);
  NvInfoRecord back;
  std::memset(&back, 0, sizeof(back));
  back.mask = KV_NV_BT | KV_NV_WIFI;
  ASSERT_EQ(KV_FastReadNvInfo(h_, &back), KV_OK);
  EXPECT_STREQ(back.bt, "0011223344aa");
  EXPECT_STREQ(back.wifi, "a0b1c2d3e4f5");
  ASSERT_EQ(KV_WriteSN(h_, 1, "SHORTSN1", 8), KV_OK);
  char sn[28];
  std::memset(sn, 0x55, sizeof(sn));
  ASSERT_EQ(KV_ReadSN(h_, 1, sn, 24), KV_OK);
  EXPECT_EQ(std::string(sn, 24), "SHORTSN1XXXXXXXXXXXXXXXX");
  EXPECT_EQ(sn[24], 0x55);  // nothing written past the 24 bytes
}

TEST_F(PhoneLinkTest, TheSimulatorKeepsIdentitiesAsAPhoneDoes) {
  // A state file written before addresses were kept as bytes: lower case, and keys the
  // simulator does not know. It loads, and the addresses read back in upper case.
  station_.Write("phone.json",
                 R"({"imei1":"356938035643809","bt":"0011223344aa","wifi":"a0b1c2d3e4f5",)"
                 R"("imei2":"12345","sn1":"SN","secure_boot":[1,2,3,4,5,6,7],"note":"kept"})");
  auto sim = Sim(12);
  ASSERT_EQ(Open(12), KV_OK);
  NvInfoRecord back;
  std::memset(&back, 0, sizeof(back));
  back.mask = KV_NV_IMEI1 | KV_NV_IMEI2 | KV_NV_BT | KV_NV_WIFI;
  ASSERT_EQ(KV_FastReadNvInfo(h_, &back), KV_OK);
  EXPECT_STREQ(back.imei1, "356938035643809");
  EXPECT_STREQ(back.imei2, "12345");  // read as stored: only writes are checked
  EXPECT_STREQ(back.bt, "0011223344AA");
  EXPECT_STREQ(back.wifi, "A0B1C2D3E4F5");

  // A write in lower case is kept as 6 bytes (the refusals are the phone end's, tested there).
  NvInfoRecord r;
  std::memset(&r, 0, sizeof(r));
  r.mask = KV_NV_IMEI1 | KV_NV_BT;
  std::strcpy(r.imei1, "356938035643817");
  std::strcpy(r.bt, "aabbccddeeff");
  ASSERT_EQ(KV_FastWriteNvInfo(h_, &r), KV_OK);
  std::strcpy(r.imei1, "35693803564381");
  EXPECT_EQ(KV_NvWriteDirect(h_, &r), KV_ERR_DEVICE_BAD_REQUEST);
  std::memset(&back, 0, sizeof(back));
  back.mask = KV_NV_IMEI1 | KV_NV_BT;
  ASSERT_EQ(KV_FastReadNvInfo(h_, &back), KV_OK);
  EXPECT_STREQ(back.imei1, "356938035643817");
  EXPECT_STREQ(back.bt, "AABBCCDDEEFF");
  sim->Stop();
  const QJsonObject state = sim->State();
  EXPECT_EQ(state["bt"].toString(), "AABBCCDDEEFF");
  EXPECT_EQ(state["wifi"].toString(), "a0b1c2d3e4f5");  // never written: left as it was
  EXPECT_EQ(state["note"].toString(), "kept");
  EXPECT_EQ(state["secure_boot"].toArray().at(6).toInt(), 7);
}

TEST_F(PhoneLinkTest, UnreadableStationRecordAnswersAStorageError) {
  auto sim = Sim(11, {"--record-unreadable"});
  ASSERT_EQ(Open(11), KV_OK);
  QByteArray got("stale");
  EXPECT_EQ(ReadRecord(h_, &got), KV_ERR_DEVICE_STORAGE);
  EXPECT_TRUE(got.isEmpty());
  EXPECT_EQ(WriteRecord(h_, "abc"), KV_OK);
}

TEST_F(PhoneLinkTest, EndFromAnotherThreadCancelsABlockedCall) {
  auto sim = Sim(12, {"--no-answer"});
  Timeouts(20000, 1);
  ASSERT_EQ(Open(12), KV_OK);
  int32_t result = -1;
  qint64 returnedAt = 0;
  QElapsedTimer clock;
  clock.start();
  std::thread job([&] {
    char text[64];
    result = KV_GetMsVersion(h_, text, 64);
    returnedAt = clock.elapsed();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const qint64 endAt = clock.elapsed();
  EXPECT_EQ(KV_EndPhoneTest(h_), KV_OK);
  const qint64 endReturned = clock.elapsed();
  job.join();
  EXPECT_EQ(result, KV_ERR_CANCELLED);
  EXPECT_LT(returnedAt - endAt, 500);
  EXPECT_LT(endReturned - endAt, 500);
  char text[64];
  EXPECT_EQ(KV_GetMsVersion(h_, text, 64), KV_ERR_NOT_OPEN);
  // The handle can open the next phone test.
  EXPECT_EQ(Open(12), KV_OK);
}

TEST_F(PhoneLinkTest, ModeProcessCatchesAPhoneThatAppearsWhenAsked) {
  auto sim = Sim(13, {"--appear-on-mode"}, false);
  ASSERT_EQ(OpenUsb(), KV_OK);
  Event arrived;
  ASSERT_EQ(KV_EnterModeProcess(h_, 1, 0, 22, arrived.get(), 0), KV_OK);  // returns at once
  ASSERT_TRUE(arrived.Wait(5000));
  EXPECT_TRUE(sim->WaitReady(1000));
  EXPECT_EQ(KV_GetUsbPort(h_), 13);
  EXPECT_FALSE(QFileInfo::exists(station_.File("ports/.mode-wait")));
  char text[256];
  ASSERT_EQ(KV_GetMsVersion(h_, text, 256), KV_OK);  // the channel uses the port found
  EXPECT_EQ(KV_StopModeProcess(h_), KV_OK);
  EXPECT_EQ(sim->LogLines().first(), "KV_EnterModeProcess mode=22");
  EXPECT_EQ(sim->LoggedCalls().last(), "KV_GetMsVersion");
  EXPECT_EQ(sim->State()["boot_mode"].toInt(), 22);
}

TEST_F(PhoneLinkTest, ModeProcessByUsbWaitsForANewPortAndByDutPortUsesThatPort) {
  auto present = Sim(14, {}, true, "present");  // there before the wait: not the phone
  ASSERT_EQ(OpenUsb(), KV_OK);
  Event arrived;
  ASSERT_EQ(KV_EnterModeProcess(h_, 1, 0, 10, arrived.get(), 0), KV_OK);
  EXPECT_EQ(KV_EnterModeProcess(h_, 1, 0, 10, arrived.get(), 0), KV_ERR_BUSY);
  auto later = Sim(15, {"--appear-after-ms", "200"}, false, "later");
  ASSERT_TRUE(arrived.Wait(5000));
  EXPECT_EQ(KV_GetUsbPort(h_), 15);
  EXPECT_TRUE(present->LogLines().isEmpty());
  KV_EndPhoneTest(h_);

  ASSERT_EQ(Open(14), KV_OK);
  arrived.Reset();
  ASSERT_EQ(KV_EnterModeProcess(h_, 0, 14, 1, arrived.get(), 0), KV_OK);
  ASSERT_TRUE(arrived.Wait(5000));
  EXPECT_EQ(KV_GetUsbPort(h_), 14);
  EXPECT_EQ(present->LogLines().last(), "KV_EnterModeProcess mode=1");
}

TEST_F(PhoneLinkTest, StoppingTheModeProcessEndsItsWait) {
  auto refusing = Sim(16, {"--fail", "KV_EnterModeProcess=34"});
  ASSERT_EQ(Open(16), KV_OK);
  Event arrived;
  ASSERT_EQ(KV_EnterModeProcess(h_, 0, 16, 10, arrived.get(), 0), KV_OK);
  EXPECT_FALSE(arrived.Wait(400));  // the phone refuses the mode: no arrival
  QElapsedTimer t;
  t.start();
  EXPECT_EQ(KV_StopModeProcess(h_), KV_OK);
  EXPECT_LT(t.elapsed(), 500);
  EXPECT_FALSE(arrived.IsSet());

  // No phone at all, ended by KV_EndPhoneTest from another thread.
  KV_EndPhoneTest(h_);
  ASSERT_EQ(OpenUsb(), KV_OK);
  ASSERT_EQ(KV_EnterModeProcess(h_, 1, 0, 10, arrived.get(), 0), KV_OK);
  std::thread stopper([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    KV_EndPhoneTest(h_);
  });
  stopper.join();
  EXPECT_FALSE(arrived.IsSet());
  EXPECT_FALSE(QFileInfo::exists(station_.File("ports/.mode-wait")));
}

TEST_F(PhoneLinkTest, UsbChannelFindsTheAnsweringPortPreferringANewOne) {
  char text[256];
  ASSERT_EQ(OpenUsb(), KV_OK);
  EXPECT_EQ(KV_GetMsVersion(h_, text, 256), KV_ERR_NO_PHONE);
  KV_EndPhoneTest(h_);

  auto old = Sim(17, {}, true, "old");
  auto silent = Sim(18, {"--no-answer"}, true, "silent");
  ASSERT_EQ(OpenUsb(), KV_OK);
  auto fresh = Sim(19, {}, true, "fresh");
  ASSERT_EQ(KV_GetMsVersion(h_, text, 256), KV_OK);
  EXPECT_EQ(KV_GetUsbPort(h_), 19);
  EXPECT_EQ(fresh->LoggedCalls(), (QStringList{"HELLO", "KV_GetMsVersion"}));
  EXPECT_TRUE(old->LogLines().isEmpty());
  KV_EndPhoneTest(h_);

  // Without a new port, the one that answers among the old ones.
  fresh->Stop();
  ASSERT_EQ(OpenUsb(), KV_OK);
  ASSERT_EQ(KV_GetMsVersion(h_, text, 256), KV_OK);
  EXPECT_EQ(KV_GetUsbPort(h_), 17);
}

}  // namespace
