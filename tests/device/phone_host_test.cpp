// Kestrel's own phone library held by kestrel-phone-host behind the phone-library proxy
// (libkestrel-phone-proxy.so, loaded as the station loads it with Isolate=1), against the
// phone simulator: every kind of argument and output crosses the channel as the
// library takes and leaves it, the cancel calls reach a blocked call from another thread, the
// mode process's event is relayed, the request counters never wait, the station folder set
// after the host started reaches it, and a host killed from outside is replaced with the
// handle's properties.
#include "device/oxbind/oxbind.h"
#include "tests/device/full_nv_record.h"
#include "device/ports/port_map.h"
#include "tests/device/hosted_library.h"
#include "tests/device/phone_sim_process.h"
#include "tests/support/test_support.h"

#include <QElapsedTimer>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>

namespace {

using kestrel::testing::BinPath;
using kestrel::testing::HostedLibrary;
using kestrel::testing::PhoneSimProcess;
using kestrel::testing::StationDir;
namespace ports = kestrel::device::ports;

HostedLibrary hosted;
const kestrel::device::oxbind::PhoneApi* kv = nullptr;

std::string TakeNotes() {
  return hosted.TakeNotes();
}

class PhoneHostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The host takes the environment it starts with; the station folder (set after it) is the
    // one thing the proxy hands on with the calls that look for ports.
    qputenv("KESTREL_SYSTEM_PORTS", "0");
    qunsetenv("KESTREL_STATION_DIR");
    QString error;
    ASSERT_TRUE(hosted.Load(BinPath("libkestrel-oxbind.so.1"), &error)) << error.toStdString();
    kv = hosted.kv;
  }

  void SetUp() override {
    ports::SetStationFolder(station_.path());
    h_ = kv->CreatePhone(0);
    ASSERT_NE(h_, KV_INVALID_HANDLE);
    Timeouts(kestrel::testing::ReplyTimeoutMs(300), 2);
    TakeNotes();
  }
  void TearDown() override {
    kv->EndPhoneTest(h_);
    kv->ReleasePhone(h_);
    ports::SetStationFolder(QString());
  }

  void Timeouts(int ms, int attempts) {
    ASSERT_EQ(kv->SetProperty(h_, KV_PROP_REPLY_TIMEOUT, ms, 0), KV_OK);
    ASSERT_EQ(kv->SetProperty(h_, KV_PROP_ATTEMPTS, attempts, 0), KV_OK);
  }

  std::unique_ptr<PhoneSimProcess> Sim(int com, const QStringList& extra = {},
                                       bool waitReady = true) {
    auto sim = std::make_unique<PhoneSimProcess>(
        station_.File("ports"), com, station_.File(QStringLiteral("phone%1.json").arg(com)),
        station_.File(QStringLiteral("phone%1.log").arg(com)));
    EXPECT_TRUE(sim->Start(extra, waitReady)) << "simulator did not start";
    return sim;
  }

  int32_t Open(int com) {
    const PortChannel c{KV_CHANNEL_COM, com, 115200};
    return kv->BeginPhoneTest(h_, &c);
  }

  StationDir station_;
  PhoneHandle h_ = KV_INVALID_HANDLE;
};

TEST_F(PhoneHostTest, EveryCallCrossesTheChannelAsTheLibraryTakesAndLeavesIt) {
  KV_LibraryInfo info;
  ASSERT_EQ(kv->GetLibraryInfo(&info), KV_OK);
  EXPECT_STREQ(info.name, "Kestrel Oxbind");
  EXPECT_EQ(info.abiMajor, KV_ABI_MAJOR);
  EXPECT_EQ(hosted.library->Path(),
            QFileInfo(BinPath("libkestrel-oxbind.so.1")).absoluteFilePath());
  EXPECT_TRUE(hosted.library->MissingOptional().isEmpty());
  EXPECT_TRUE(kv->HasStationRecord());
  EXPECT_NE(kv->GetRequestCounts, nullptr);

  auto sim = Sim(3, {"--at-reply", "AT+PROXY=7=SEVEN"});
  ASSERT_EQ(Open(3), KV_OK) << "the station folder set after the host started did not reach it";
  const uint8_t sync[10] = {0x7E, 0, 0, 0, 0, 0, 0x08, 0, 0, 0x7E};
  EXPECT_EQ(kv->Write(h_, sync, 10), KV_OK);

  char text[16384];
  std::memset(text, 'x', sizeof(text));  // the proxy leaves the buffer as the library would
  ASSERT_EQ(kv->GetMsVersion(h_, text, sizeof(text)), KV_OK);
  EXPECT_NE(std::string(text).find("BASE:KS_A1_V1.0.2"), std::string::npos) << text;
  EXPECT_EQ(text[sizeof(text) - 1], 0);
  char small[5];
  ASSERT_EQ(kv->GetAPVersion(h_, small, sizeof(small)), KV_OK);
  EXPECT_EQ(std::strlen(small), 4u) << "cut to the buffer, terminated";

  // The identity record both ways, every field, and a record of one field.
  NvInfoRecord r = kestrel::testing::FullNvRecord();
  ASSERT_EQ(kv->FastWriteNvInfo(h_, &r), KV_OK);
  NvInfoRecord back;
  std::memset(&back, 0, sizeof(back));
  back.mask = r.mask;
  ASSERT_EQ(kv->FastReadNvInfo(h_, &back), KV_OK);
  EXPECT_EQ(std::memcmp(&back, &r, sizeof(r)), 0);
  NvInfoRecord one;
  std::memset(&one, 0, sizeof(one));
  one.mask = KV_NV_IMEI1;
  std::strcpy(one.imei1, "490154203237518");
  ASSERT_EQ(kv->NvWriteDirect(h_, &one), KV_OK);
  std::memset(&back, 0, sizeof(back));
  back.mask = KV_NV_IMEI1 | KV_NV_BT;
  ASSERT_EQ(kv->FastReadNvInfo(h_, &back), KV_OK);
  EXPECT_STREQ(back.imei1, "490154203237518");
  EXPECT_STREQ(back.bt, "0011223344AA");
  EXPECT_EQ(back.imei2[0], 0) << "a field outside the mask stays as given";

  // 24-byte items without a terminator, and a short one.
  ASSERT_EQ(kv->WriteSN(h_, 1, "SN1AAAAAAAAAAAAAAAAAAAA1", 24), KV_OK);
  ASSERT_EQ(kv->WriteSN(h_, 0, "SN2BBBBB", 24), KV_OK);
  char sn[24];
  ASSERT_EQ(kv->ReadSN(h_, 1, sn, 24), KV_OK);
  EXPECT_EQ(std::string(sn, 24), "SN1AAAAAAAAAAAAAAAAAAAA1");
  ASSERT_EQ(kv->ReadSN(h_, 0, sn, 24), KV_OK);
  EXPECT_STREQ(sn, "SN2BBBBB");
  const char cu[24] = {'C', 'U', '-', 'R', 'E', 'F', '-', '0', '0', '0', '0', '0',
                       '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '0', '9'};
  ASSERT_EQ(kv->WriteCURef(h_, cu, 24), KV_OK);
  char cuBack[24] = {};
  ASSERT_EQ(kv->ReadCURef(h_, cuBack, 24), KV_OK);
  EXPECT_EQ(std::memcmp(cu, cuBack, 24), 0);

  SecureBootItem item{3, 0xA5A5F00Du};
  ASSERT_EQ(kv->WriteSecureBoot(h_, &item, sizeof(item)), KV_OK);
  SecureBootItem read{3, 0};
  ASSERT_EQ(kv->ReadSecureBoot(h_, &read, sizeof(read)), KV_OK);
  const uint32_t value = read.value;  // a packed field: copied, not bound
  EXPECT_EQ(value, 0xA5A5F00Du);

  char reply[4096] = {};
  int32_t length = -1;
  ASSERT_EQ(kv->SendATCommand(h_, "AT+PROXY=7", 1, reply, sizeof(reply), &length, 3000), KV_OK);
  EXPECT_STREQ(reply, "SEVEN");
  EXPECT_EQ(length, 5);

  std::vector<uint8_t> block(3000);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(kv->WriteStationRecord(h_, block.data(), static_cast<int32_t>(block.size())), KV_OK);
  std::vector<uint8_t> got(KV_MAX_STATION_RECORD);
  int32_t got_length = 0;
  ASSERT_EQ(kv->ReadStationRecord(h_, got.data(), KV_MAX_STATION_RECORD, &got_length), KV_OK);
  ASSERT_EQ(got_length, 3000);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), got.begin()));
  EXPECT_EQ(kv->SetUsbAutoMode(h_, 0), KV_OK);

  // The library's own refusals come back unchanged.
  EXPECT_EQ(kv->GetMsVersion(h_, nullptr, 64), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(kv->GetMsVersion(h_, text, 0), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(kv->FastWriteNvInfo(h_, nullptr), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(kv->WriteSN(h_, 1, "x", 25), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(kv->ReadStationRecord(h_, got.data(), 100, &got_length), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(kv->SetProperty(h_, KV_PROP_ATTEMPTS, 11, 0), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(kv->GetMsVersion(h_ + 1000, text, 64), KV_ERR_INVALID_HANDLE);
  EXPECT_EQ(kv->BeginPhoneTest(h_, nullptr), KV_ERR_BAD_ARGUMENT);

  uint64_t requests = 0, retransmissions = 7;
  ASSERT_EQ(kv->GetRequestCounts(h_, &requests, &retransmissions), KV_OK);
  EXPECT_GE(requests, 16u);
  EXPECT_EQ(retransmissions, 0u);
  EXPECT_EQ(TakeNotes(), "");

  ASSERT_EQ(kv->EndPhoneTest(h_), KV_OK);
  EXPECT_EQ(kv->GetMsVersion(h_, text, 64), KV_ERR_NOT_OPEN);
  const QJsonObject state = sim->State();
  EXPECT_EQ(state["imei1"].toString(), QStringLiteral("490154203237518"));
  EXPECT_EQ(state["sn1"].toString(), QStringLiteral("SN1AAAAAAAAAAAAAAAAAAAA1"));
}

// A call blocked on a phone that never answers: the counters answer at once meanwhile, and
// KV_EndPhoneTest from another thread ends the call within milliseconds (the library's own
// cancel, carried to the host beside the blocked call) without costing the host.
TEST_F(PhoneHostTest, ACancelFromAnotherThreadReachesTheBlockedCallAndTheHostStays) {
  auto sim = Sim(4, {"--no-answer"});
  const int32_t host = hosted.hostProcessId();
  ASSERT_NE(host, 0);
  for (const char* cancel : {"KV_EndPhoneTest", "KV_StopModeProcess then KV_EndPhoneTest"}) {
    SCOPED_TRACE(cancel);
    ASSERT_EQ(Open(4), KV_OK);
    Timeouts(10000, 3);
    int32_t result = -1;
    qint64 returnedAt = 0;
    QElapsedTimer clock;
    clock.start();
    std::thread job([&] {
      char text[64];
      result = kv->GetMsVersion(h_, text, sizeof(text));
      returnedAt = clock.elapsed();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    QElapsedTimer counts;
    counts.start();
    uint64_t requests = 0, retransmissions = 0;
    EXPECT_EQ(kv->GetRequestCounts(h_, &requests, &retransmissions), KV_OK);
    EXPECT_LT(counts.elapsed(), 50) << "the counters waited for the call";
    const qint64 endAt = clock.elapsed();
    if (std::strlen(cancel) > 20) {
      EXPECT_EQ(kv->StopModeProcess(h_), KV_OK);
    }
    EXPECT_EQ(kv->EndPhoneTest(h_), KV_OK);
    const qint64 endReturned = clock.elapsed();
    job.join();
    EXPECT_EQ(result, KV_ERR_CANCELLED);
    EXPECT_LT(returnedAt - endAt, 200);
    EXPECT_LT(endReturned - endAt, 300);
    char text[64];
    EXPECT_EQ(kv->GetMsVersion(h_, text, sizeof(text)), KV_ERR_NOT_OPEN)
        << "a call after the end runs after it";
  }
  EXPECT_EQ(hosted.hostProcessId(), host) << "the host was ended";
  EXPECT_EQ(TakeNotes(), "");
}

// The mode process's event is the host library's; the proxy sets the station's when the
// host's is set, and only for the mode process that runs.
TEST_F(PhoneHostTest, TheModeProcessEventIsRelayedFromTheHost) {
  auto sim = Sim(13, {"--appear-on-mode"}, false);
  const PortChannel usb{KV_CHANNEL_USB, 0, 0};
  ASSERT_EQ(kv->BeginPhoneTest(h_, &usb), KV_OK);
  KV_Event* arrived = kv->CreateEvent();
  ASSERT_NE(arrived, nullptr);
  ASSERT_EQ(kv->EnterModeProcess(h_, 1, 0, 22, arrived, 0), KV_OK);
  EXPECT_EQ(kv->EnterModeProcess(h_, 1, 0, 22, arrived, 0), KV_ERR_BUSY);
  ASSERT_EQ(kv->WaitEvent(arrived, 5000), KV_OK);
  EXPECT_TRUE(sim->WaitReady(1000));
  EXPECT_EQ(kv->GetUsbPort(h_), 13);
  char text[256];
  ASSERT_EQ(kv->GetMsVersion(h_, text, sizeof(text)), KV_OK);
  EXPECT_EQ(kv->StopModeProcess(h_), KV_OK);
  EXPECT_FALSE(QFileInfo::exists(station_.File("ports/.mode-wait")))
      << "the mode process had ended when KV_StopModeProcess returned";
  EXPECT_EQ(sim->State()["boot_mode"].toInt(), 22);
  ASSERT_EQ(kv->EndPhoneTest(h_), KV_OK);

  // A mode process that finds nothing, stopped: the event stays unset.
  ASSERT_EQ(kv->ResetEvent(arrived), KV_OK);
  ASSERT_EQ(kv->BeginPhoneTest(h_, &usb), KV_OK);
  ASSERT_EQ(kv->EnterModeProcess(h_, 0, 21, 10, arrived, 0), KV_OK);
  EXPECT_EQ(kv->WaitEvent(arrived, 300), KV_ERR_TIMEOUT);
  EXPECT_EQ(kv->EndPhoneTest(h_), KV_OK);
  EXPECT_EQ(kv->WaitEvent(arrived, 100), KV_ERR_TIMEOUT);
  EXPECT_EQ(kv->CloseEvent(arrived), KV_OK);
}

// Killed from outside between calls: the next call starts a new host and makes the handle
// again there with its properties (the reply time-out set before the kill still holds).
TEST_F(PhoneHostTest, AHostKilledBetweenCallsIsReplacedWithTheHandlesProperties) {
  auto silent = Sim(5, {"--no-answer"});
  Timeouts(150, 1);
  const int32_t old = hosted.hostProcessId();
  ASSERT_NE(old, 0);
  ASSERT_EQ(::kill(old, SIGKILL), 0);
  QElapsedTimer gone;
  gone.start();
  while (hosted.hostProcessId() == old && gone.elapsed() < 5000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(hosted.hostProcessId(), 0) << "the proxy has not seen the host go";
  ASSERT_EQ(Open(5), KV_OK);
  EXPECT_NE(hosted.hostProcessId(), old);
  QElapsedTimer t;
  t.start();
  char text[64];
  EXPECT_EQ(kv->GetMsVersion(h_, text, sizeof(text)), KV_ERR_TIMEOUT);
  EXPECT_LT(t.elapsed(), 900) << "the reply time-out of 150 ms x 1 was not set again";
  EXPECT_EQ(TakeNotes(),
            "the host ended (signal 9 (SIGKILL)) between calls; a new host was "
            "started (process " +
                std::to_string(hosted.hostProcessId()) + ")");
}

}  // namespace
