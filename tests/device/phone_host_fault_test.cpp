// The test library (another maker's, tests/device/adapter) held by kestrel-phone-host behind
// the phone-library proxy, loaded as the station loads it with Isolate=1, faults injected: a crash
// inside a call (abort, a write through null), a call that never returns past its bound or past its
// cancel from another thread, a hang at KV_BeginPhoneTest. Each ends that host; the call returns
// its code, the phone test that was open answers KV_ERR_LINK_LOST until its end, the next phone
// test runs in a new host and writes the phone; the notes say what happened. Also: the loader's
// table over the proxy leaves out the calls that library lacks.
#include "device/oxbind/oxbind.h"
#include "tests/device/hosted_library.h"
#include "tests/support/test_support.h"

#include <QElapsedTimer>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <signal.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace {

using kestrel::testing::BinPath;
using kestrel::testing::HostedLibrary;
using kestrel::testing::StationDir;

HostedLibrary hosted;
const kestrel::device::oxbind::PhoneApi* kv = nullptr;

constexpr int kCallMs = 400;
constexpr int kPromptMs = 300;
constexpr int kGraceMs = 250;

QString Library() {
  return BinPath(QStringLiteral("libkestrel-test-phone.so"));
}

std::string TakeNotes() {
  return hosted.TakeNotes();
}

// Ends the host of the moment (when one runs) and waits until the proxy has seen it go, so
// that the next call starts a host with the environment as it is now.
void EndHost() {
  const int32_t pid = hosted.hostProcessId();
  if (pid == 0) return;
  ::kill(pid, SIGKILL);
  QElapsedTimer t;
  t.start();
  while (hosted.hostProcessId() != 0 && t.elapsed() < 5000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

NvInfoRecord Imei(const char* imei) {
  NvInfoRecord r;
  std::memset(&r, 0, sizeof(r));
  r.mask = KV_NV_IMEI1;
  std::strcpy(r.imei1, imei);
  return r;
}

class PhoneHostFaultTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    qputenv("KESTREL_PHONE_HOST_CALL_MS", QByteArray::number(kCallMs));
    qputenv("KESTREL_PHONE_HOST_PROMPT_MS", QByteArray::number(kPromptMs));
    QString error;
    ASSERT_TRUE(hosted.Load(Library(), &error)) << error.toStdString();
    kv = hosted.kv;
  }

  void SetUp() override {
    qputenv("KESTREL_TEST_PHONE_STATE", dir_.File("phone.txt").toLocal8Bit());
    EndHost();  // a host of an earlier test holds its environment
    h_ = kv->CreatePhone(0);
    ASSERT_NE(h_, KV_INVALID_HANDLE);
  }
  void TearDown() override {
    kv->EndPhoneTest(h_);
    kv->ReleasePhone(h_);
    for (const char* v : {"KESTREL_TEST_PHONE_HANG", "KESTREL_TEST_PHONE_CRASH",
                          "KESTREL_TEST_PHONE_ONCE", "KESTREL_TEST_PHONE_STATE"}) {
      qunsetenv(v);
    }
  }

  int32_t Open() {
    const PortChannel c{KV_CHANNEL_COM, 3, 115200};
    return kv->BeginPhoneTest(h_, &c);
  }

  StationDir dir_;
  PhoneHandle h_ = KV_INVALID_HANDLE;
};

TEST_F(PhoneHostFaultTest, EachFaultEndsItsHostAndTheNextPhoneTestRunsInANewOne) {
  struct Row {
    const char* name;
    const char* hang;   // KESTREL_TEST_PHONE_HANG
    const char* crash;  // KESTREL_TEST_PHONE_CRASH
    bool open;          // the fault comes inside an open phone test
    std::function<int32_t(PhoneHandle)> call;
    int cancelAfterMs;  // > 0: KV_EndPhoneTest from another thread after that long
    int32_t result;
    std::string note;  // what the notes of the fault hold
    int minMs, maxMs;  // how long the call took
  };
  const auto write = [](PhoneHandle h) {
    const NvInfoRecord r = Imei("356938035643809");
    return kv->FastWriteNvInfo(h, &r);
  };
  const auto readSn = [](PhoneHandle h) {
    char sn[24] = {};
    return kv->ReadSN(h, 1, sn, 24);
  };
  const auto version = [](PhoneHandle h) {
    char text[64] = {};
    return kv->GetMsVersion(h, text, sizeof(text));
  };
  const auto readNv = [](PhoneHandle h) {
    NvInfoRecord r = Imei("");
    return kv->FastReadNvInfo(h, &r);
  };
  const auto begin = [](PhoneHandle h) {
    const PortChannel c{KV_CHANNEL_COM, 3, 115200};
    return kv->BeginPhoneTest(h, &c);
  };
  const Row rows[] = {
      {"abort inside KV_FastWriteNvInfo", nullptr, "KV_FastWriteNvInfo=abort", true, write, 0,
       KV_ERR_LINK_LOST, ") during KV_FastWriteNvInfo", 0, 3000},
      {"a write through null inside KV_ReadSN", nullptr, "KV_ReadSN=null", true, readSn, 0,
       KV_ERR_LINK_LOST, ") during KV_ReadSN", 0, 3000},
      {"KV_GetMsVersion never returns", "KV_GetMsVersion", nullptr, true, version, 0,
       KV_ERR_TIMEOUT,
       "the station ended the host (killed): KV_GetMsVersion did not return within 400 ms",
       kCallMs - 20, kCallMs + 2000},
      {"KV_FastReadNvInfo never returns, its phone test ended from another thread",
       "KV_FastReadNvInfo", nullptr, true, readNv, 100, KV_ERR_CANCELLED,
       "the station ended the host (killed): KV_FastReadNvInfo did not return within 250 ms of "
       "KV_EndPhoneTest",
       100 + kGraceMs - 20, 100 + kGraceMs + 1500},
      {"KV_BeginPhoneTest never returns", "KV_BeginPhoneTest", nullptr, false, begin, 0,
       KV_ERR_TIMEOUT,
       "the station ended the host (killed): KV_BeginPhoneTest did not return within 300 ms",
       kPromptMs - 20, kPromptMs + 2000},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    qputenv("KESTREL_TEST_PHONE_ONCE", dir_.File(QStringLiteral("once%1").arg(++n)).toLocal8Bit());
    qputenv("KESTREL_TEST_PHONE_HANG", row.hang != nullptr ? row.hang : "");
    qputenv("KESTREL_TEST_PHONE_CRASH", row.crash != nullptr ? row.crash : "");
    EndHost();  // the next host starts with this row's faults, at this call
    ASSERT_EQ(kv->SetProperty(h_, 3, 0, 2), KV_OK);
    TakeNotes();
    if (row.open) {
      ASSERT_EQ(Open(), KV_OK);
    }
    const int32_t host = hosted.hostProcessId();
    ASSERT_NE(host, 0);

    int32_t result = -1;
    QElapsedTimer t;
    t.start();
    std::thread caller([&] { result = row.call(h_); });
    if (row.cancelAfterMs > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(row.cancelAfterMs));
      QElapsedTimer end;
      end.start();
      EXPECT_EQ(kv->EndPhoneTest(h_), KV_OK);
      EXPECT_LE(end.elapsed(), kGraceMs + 100) << "the cancel waited for the host";
    }
    caller.join();
    const qint64 ms = t.elapsed();
    EXPECT_EQ(result, row.result);
    EXPECT_GE(ms, row.minMs);
    EXPECT_LT(ms, row.maxMs);
    EXPECT_NE(hosted.hostProcessId(), host);

    if (row.open && row.cancelAfterMs == 0) {
      // The rest of that phone test is lost with its host, up to its end.
      EXPECT_EQ(version(h_), KV_ERR_LINK_LOST);
      EXPECT_EQ(kv->EndPhoneTest(h_), KV_OK);
    }
    // The next phone test: a new host, which writes the phone.
    ASSERT_EQ(Open(), KV_OK);
    EXPECT_NE(hosted.hostProcessId(), host);
    const NvInfoRecord r = Imei("356938035643817");
    EXPECT_EQ(kv->FastWriteNvInfo(h_, &r), KV_OK);
    EXPECT_EQ(kv->EndPhoneTest(h_), KV_OK);
    const std::string notes = TakeNotes();
    EXPECT_NE(notes.find(row.note), std::string::npos) << notes;
    if (row.crash != nullptr) {
      EXPECT_EQ(notes.rfind("the host ended (", 0), 0u) << notes;
    }
    EXPECT_NE(notes.find("a new host was started (process " +
                         std::to_string(hosted.hostProcessId()) + ")"),
              std::string::npos)
        << notes;
  }
  // One write a row, the one after its fault (the crashed write changed nothing).
  const QByteArray phone = dir_.Read("phone.txt");
  EXPECT_TRUE(phone.contains("imei1=356938035643817\n")) << phone.toStdString();
  EXPECT_TRUE(phone.contains("writes=5\n")) << phone.toStdString();
}

// The station's table over the proxy: the calls this library lacks are left out as if it were
// loaded here (the station then refuses the station record with its own message), the proxy's
// symbols for them answer "not supported", and the proxy holds one library per process.
TEST_F(PhoneHostFaultTest, TheTableOverTheProxyLeavesOutWhatTheLibraryLacks) {
  const auto& library = hosted.library;
  EXPECT_TRUE(library->Isolated());
  EXPECT_EQ(library->Title(), QStringLiteral("Test Phone Adapter 0.9 (isolated)"));
  EXPECT_EQ(library->Path(), QFileInfo(Library()).absoluteFilePath());
  EXPECT_EQ(library->MissingOptional(),
            QStringList({"KV_ReadStationRecord", "KV_WriteStationRecord", "KV_GetRequestCounts"}));
  EXPECT_FALSE(kv->HasStationRecord());
  EXPECT_EQ(kv->GetRequestCounts, nullptr);
  EXPECT_NE(kv->PowerOff, nullptr);
  ASSERT_EQ(Open(), KV_OK);
  // The proxy's own symbol for a call the library lacks answers as the host does.
  QLibrary proxy(kestrel::device::oxbind::PhoneLibrary::ProxyFile(kestrel::testing::BinDir()));
  const auto read =
      reinterpret_cast<decltype(&::KV_ReadStationRecord)>(proxy.resolve("KV_ReadStationRecord"));
  ASSERT_NE(read, nullptr);
  uint8_t block[KV_MAX_STATION_RECORD];
  int32_t length = 5;
  EXPECT_EQ(read(h_, block, sizeof(block), &length), KV_ERR_NOT_SUPPORTED);
  EXPECT_EQ(length, 0);

  QString error;
  const auto other =
      kestrel::device::oxbind::PhoneLibrary::Load(BinPath("libkestrel-oxbind.so.1"), true, &error);
  EXPECT_FALSE(other);
  EXPECT_TRUE(error.contains(QStringLiteral("hosts ") + Library() + QStringLiteral(" already")))
      << error.toStdString();
}

}  // namespace
