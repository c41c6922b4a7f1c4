// kestrel-oxbind.dll on Windows (run under Wine by run_wine_tests.sh) against simulated
// phones on COM ports. Built with KESTREL_WIN32_TEST_PROXY (kestrel-phone-proxy-win32-test) the
// same calls go through kestrel-phone-proxy.dll to kestrel-oxbind.dll held by
// kestrel-phone-host.exe beside it, and a test of the proxy's own joins them. The ports come
// from the environment:
//   KESTREL_WINE_PHONE_COM   a phone that answers
//   KESTREL_WINE_SILENT_COM  a phone that never answers (--no-answer)
//   KESTREL_WINE_DOOMED_COM  a phone that answers after 5 s, killed on request
//   KESTREL_WINE_CONTROL     a folder; the file "kill" made there asks the driver to kill
//                            the doomed phone's simulator (SIGKILL)
//   KESTREL_STATION_DIR      the station folder, where the mode process keeps its marker
#include "device/oxbind/oxbind.h"
#ifdef KESTREL_WIN32_TEST_PROXY
#include "device/oxbind/host/phone_proxy.h"

#include <windows.h>
#endif

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int32_t ComFromEnv(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::atoi(v) : 0;
}

#ifdef KESTREL_WIN32_TEST_PROXY
// Before any test: the proxy starts kestrel-phone-host.exe on kestrel-oxbind.dll, both beside
// this program.
class ProxyEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, sizeof(exe));
    std::string folder(exe);
    folder.resize(folder.find_last_of('\\') + 1);
    char error[512] = {};
    ASSERT_EQ(KVP_Open((folder + "kestrel-phone-host.exe").c_str(),
                       (folder + "kestrel-oxbind.dll").c_str(), error, sizeof(error)),
              KV_OK)
        << error;
    ASSERT_NE(KVP_HostProcessId(), 0);
  }
};
::testing::Environment* const kProxy = ::testing::AddGlobalTestEnvironment(new ProxyEnvironment);
#endif

class Win32PhoneTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h_ = KV_CreatePhone(0);
    ASSERT_NE(h_, KV_INVALID_HANDLE);
    Timeouts(300, 2);
  }
  void TearDown() override {
    KV_EndPhoneTest(h_);
    KV_ReleasePhone(h_);
  }

  void Timeouts(int ms, int attempts) {
    ASSERT_EQ(KV_SetProperty(h_, KV_PROP_REPLY_TIMEOUT, ms, 0), KV_OK);
    ASSERT_EQ(KV_SetProperty(h_, KV_PROP_ATTEMPTS, attempts, 0), KV_OK);
  }

  // Opens the phone test on the COM port named by the environment variable.
  void Open(const char* env) {
    const int32_t com = ComFromEnv(env);
    ASSERT_GT(com, 0) << env << " names no COM port: run this program through run_wine_tests.sh";
    const PortChannel c{KV_CHANNEL_COM, com, 115200};
    ASSERT_EQ(KV_BeginPhoneTest(h_, &c), KV_OK) << "COM" << com;
  }

  PhoneHandle h_ = KV_INVALID_HANDLE;
};

NvInfoRecord Record(uint32_t mask, const char* imei1, const char* bt, const char* wifi) {
  NvInfoRecord r;
  std::memset(&r, 0, sizeof(r));
  r.mask = mask;
  std::strcpy(r.imei1, imei1);
  std::strcpy(r.imei2, "356938035643817");
  std::strcpy(r.imei3, "356938035643825");
  std::strcpy(r.imei4, "356938035643833");
  std::strcpy(r.bt, bt);
  std::strcpy(r.wifi, wifi);
  return r;
}

TEST_F(Win32PhoneTest, AnswersWithoutAPhone) {
  KV_LibraryInfo info;
  ASSERT_EQ(KV_GetLibraryInfo(&info), KV_OK);
  EXPECT_EQ(info.abiMajor, KV_ABI_MAJOR);
  EXPECT_EQ(info.abiMinor, KV_ABI_MINOR);
  EXPECT_STREQ(info.name, "Kestrel Oxbind");
  EXPECT_NE(info.version[0], '\0');

  struct Case {
    PortChannel channel;
    int32_t expected;
  } cases[] = {
      {{KV_CHANNEL_COM, 42, 115200}, KV_ERR_PORT_OPEN},  // no such port in the prefix
      {{KV_CHANNEL_COM, 0, 115200}, KV_ERR_PORT_OPEN},
      {{KV_CHANNEL_COM, -3, 115200}, KV_ERR_PORT_OPEN},
      {{7, 1, 115200}, KV_ERR_BAD_ARGUMENT},  // no such channel kind
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KV_BeginPhoneTest(h_, &c.channel), c.expected)
        << "kind " << c.channel.type << " port " << c.channel.port;
  }
  char text[64] = {};
  EXPECT_EQ(KV_GetMsVersion(h_, text, sizeof(text)), KV_ERR_NOT_OPEN);
  EXPECT_EQ(KV_BeginPhoneTest(h_, nullptr), KV_ERR_BAD_ARGUMENT);
  EXPECT_EQ(KV_GetMsVersion(KV_INVALID_HANDLE, text, sizeof(text)), KV_ERR_INVALID_HANDLE);
}

// The KV_Event calls over Win32 events: the first set event in the caller's order wins, a
// list may name an event twice, a wait ends when another thread sets the event.
TEST(Win32EventTest, WaitAnyReportsTheFirstSetEvent) {
  KV_Event* e[3] = {KV_CreateEvent(), KV_CreateEvent(), KV_CreateEvent()};
  for (KV_Event* event : e) ASSERT_NE(event, nullptr);
  struct Case {
    std::vector<int> set;
    std::vector<int> list;
    int32_t result;
    int32_t index;
  } cases[] = {
      {{}, {0, 1, 2}, KV_ERR_TIMEOUT, -1}, {{2, 1}, {0, 1, 2}, KV_OK, 1},
      {{2}, {0, 1, 2}, KV_OK, 2},          {{1, 2}, {2, 1}, KV_OK, 0},
      {{0}, {2, 0, 2, 0}, KV_OK, 1},
  };
  for (const Case& c : cases) {
    for (KV_Event* event : e) ASSERT_EQ(KV_ResetEvent(event), KV_OK);
    for (int i : c.set) ASSERT_EQ(KV_SetEvent(e[i]), KV_OK);
    std::vector<KV_Event*> list;
    for (int i : c.list) list.push_back(e[i]);
    int32_t index = 7;
    EXPECT_EQ(KV_WaitAnyEvent(list.data(), static_cast<int32_t>(list.size()), 30, &index), c.result)
        << "case with " << c.set.size() << " set";
    EXPECT_EQ(index, c.index) << "case with " << c.set.size() << " set";
  }
  ASSERT_EQ(KV_ResetEvent(e[0]), KV_OK);
  EXPECT_EQ(KV_WaitEvent(e[0], 0), KV_ERR_TIMEOUT);
  const auto start = Clock::now();
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    KV_SetEvent(e[0]);
  });
  EXPECT_EQ(KV_WaitEvent(e[0], 5000), KV_OK);
  const int64_t ms = MsSince(start);
  setter.join();
  EXPECT_GE(ms, 80);
  EXPECT_LT(ms, 2000);
  EXPECT_EQ(KV_WaitEvent(e[0], -1), KV_OK) << "stays set";
  EXPECT_EQ(KV_WaitEvent(nullptr, 0), KV_ERR_BAD_ARGUMENT);
  for (KV_Event* event : e) EXPECT_EQ(KV_CloseEvent(event), KV_OK);
}

// What a write job does, through the DLL: the sync frame, the version, identities written two
// ways and read back, serial numbers. The driver checks the simulator's state file
// afterwards, from the Linux side.
TEST_F(Win32PhoneTest, IdentitiesWrittenAndReadBack) {
  Open("KESTREL_WINE_PHONE_COM");
  const uint8_t sync[10] = {0x7E, 0, 0, 0, 0, 0, 0x08, 0, 0, 0x7E};
  EXPECT_EQ(KV_Write(h_, sync, 10), KV_OK);
  char text[4096] = {};
  ASSERT_EQ(KV_GetMsVersion(h_, text, sizeof(text)), KV_OK);
  EXPECT_NE(std::string(text).find("BASE:KS_A1_V1.0.2"), std::string::npos) << text;

  const uint32_t all =
      KV_NV_IMEI1 | KV_NV_IMEI2 | KV_NV_IMEI3 | KV_NV_IMEI4 | KV_NV_BT | KV_NV_WIFI;
  struct Write {
    const char* what;
    int32_t (*call)(PhoneHandle, const NvInfoRecord*);
    NvInfoRecord record;
  } writes[] = {
      {"fast write, every field", KV_FastWriteNvInfo,
       Record(all, "356938035643809", "0011223344AA", "A0B1C2D3E4F5")},
      {"direct write, IMEI1 and Bluetooth", KV_NvWriteDirect,
       Record(KV_NV_IMEI1 | KV_NV_BT, "490154203237518", "0011223344BB", "FFFFFFFFFFFF")},
      {"fast write, Wi-Fi", KV_FastWriteNvInfo,
       Record(KV_NV_WIFI, "000000000000000", "000000000000", "A0B1C2D3E4F6")},
  };
  NvInfoRecord expected = Record(all, "", "", "");
  for (const Write& w : writes) {
    ASSERT_EQ(w.call(h_, &w.record), KV_OK) << w.what;
    const uint32_t m = w.record.mask;
    if (m & KV_NV_IMEI1) std::memcpy(expected.imei1, w.record.imei1, 16);
    if (m & KV_NV_BT) std::memcpy(expected.bt, w.record.bt, 13);
    if (m & KV_NV_WIFI) std::memcpy(expected.wifi, w.record.wifi, 13);
    NvInfoRecord back;
    std::memset(&back, 0, sizeof(back));
    back.mask = all;
    ASSERT_EQ(KV_FastReadNvInfo(h_, &back), KV_OK) << w.what;
    EXPECT_EQ(std::memcmp(&back, &expected, sizeof(back)), 0)
        << w.what << ": read back " << back.imei1 << " " << back.bt << " " << back.wifi;
  }

  ASSERT_EQ(KV_WriteSN(h_, 1, "SN1AAAAAAAAAAAAAAAAAAAA1", 24), KV_OK);
  ASSERT_EQ(KV_WriteSN(h_, 0, "SN2BBBBB", 8), KV_OK);
  char sn[24];
  ASSERT_EQ(KV_ReadSN(h_, 1, sn, 24), KV_OK);
  EXPECT_EQ(std::string(sn, 24), "SN1AAAAAAAAAAAAAAAAAAAA1");
  ASSERT_EQ(KV_ReadSN(h_, 0, sn, 24), KV_OK);
  EXPECT_STREQ(sn, "SN2BBBBB");

  ASSERT_EQ(KV_EndPhoneTest(h_), KV_OK);
  EXPECT_EQ(KV_GetMsVersion(h_, text, sizeof(text)), KV_ERR_NOT_OPEN);
}

// The system's serial ports (under Wine: the prefix's Ports key) are what channel kind 3 and
// the mode process search: both find the answering phone under its own COM number, and a
// mode process waiting on the silent phone ends when this thread stops it.
TEST_F(Win32PhoneTest, UsbChannelAndModeProcessFindThePhoneByItsComNumber) {
  const int32_t phone = ComFromEnv("KESTREL_WINE_PHONE_COM");
  const int32_t silent = ComFromEnv("KESTREL_WINE_SILENT_COM");
  ASSERT_GT(phone, 0);
  ASSERT_GT(silent, 0);
  const PortChannel usb{KV_CHANNEL_USB, 0, 0};
  ASSERT_EQ(KV_BeginPhoneTest(h_, &usb), KV_OK);
  char text[256] = {};
  ASSERT_EQ(KV_GetMsVersion(h_, text, sizeof(text)), KV_OK);
  EXPECT_EQ(KV_GetUsbPort(h_), phone);
  ASSERT_EQ(KV_EndPhoneTest(h_), KV_OK);

  const char* station = std::getenv("KESTREL_STATION_DIR");
  ASSERT_NE(station, nullptr);
  const std::string marker = std::string(station) + "\\ports\\.mode-wait";
  KV_Event* arrived = KV_CreateEvent();
  ASSERT_NE(arrived, nullptr);
  struct Case {
    int32_t port;
    bool answers;
  } cases[] = {{phone, true}, {silent, false}};
  for (const Case& c : cases) {
    ASSERT_EQ(KV_ResetEvent(arrived), KV_OK);
    ASSERT_EQ(KV_BeginPhoneTest(h_, &usb), KV_OK);
    ASSERT_EQ(KV_EnterModeProcess(h_, 0, c.port, 22, arrived, 0), KV_OK) << "COM" << c.port;
    EXPECT_EQ(KV_EnterModeProcess(h_, 0, c.port, 22, arrived, 0), KV_ERR_BUSY);
    EXPECT_EQ(KV_WaitEvent(arrived, c.answers ? 5000 : 700), c.answers ? KV_OK : KV_ERR_TIMEOUT)
        << "COM" << c.port;
    EXPECT_EQ(std::ifstream(marker).good(), !c.answers) << marker << " while it waits";
    const auto start = Clock::now();
    EXPECT_EQ(KV_StopModeProcess(h_), KV_OK);
    EXPECT_LT(MsSince(start), 500) << "COM" << c.port << ": the stop waited";
    EXPECT_FALSE(std::ifstream(marker).good()) << marker << " after the mode process";
    EXPECT_EQ(KV_GetUsbPort(h_), c.answers ? c.port : -1) << "COM" << c.port;
    if (c.answers) {
      EXPECT_EQ(KV_GetMsVersion(h_, text, sizeof(text)), KV_OK);
    }
    ASSERT_EQ(KV_EndPhoneTest(h_), KV_OK);
  }
  EXPECT_EQ(KV_CloseEvent(arrived), KV_OK);
}

TEST_F(Win32PhoneTest, SilentPhoneTimesOutAfterEveryAttempt) {
  Open("KESTREL_WINE_SILENT_COM");
  struct Case {
    int replyMs;
    int attempts;
  } cases[] = {{200, 1}, {150, 3}};
  for (const Case& c : cases) {
    Timeouts(c.replyMs, c.attempts);
    char text[64] = {};
    const auto start = Clock::now();
    EXPECT_EQ(KV_GetMsVersion(h_, text, sizeof(text)), KV_ERR_TIMEOUT);
    const int64_t ms = MsSince(start);
    const int64_t budget = int64_t{c.replyMs} * c.attempts;
    EXPECT_GE(ms, budget - 20) << c.replyMs << " ms x " << c.attempts;
    EXPECT_LT(ms, budget + 1000) << c.replyMs << " ms x " << c.attempts;
  }
  // KV_SendATCommand waits its own time-out, once per attempt.
  Timeouts(5000, 1);
  char reply[64] = {};
  int32_t length = -1;
  const auto start = Clock::now();
  EXPECT_EQ(KV_SendATCommand(h_, "AT", 1, reply, sizeof(reply), &length, 250), KV_ERR_TIMEOUT);
  EXPECT_LT(MsSince(start), 1500);
}

// A call blocked on a phone that does not answer ends within milliseconds when another
// thread ends the phone test; the handle opens again afterwards.
TEST_F(Win32PhoneTest, BlockingCallCancelledFromAnotherThread) {
  struct Case {
    const char* what;
    int32_t (*call)(PhoneHandle);
  } cases[] = {
      {"KV_GetMsVersion",
       [](PhoneHandle h) {
         char text[64] = {};
         return KV_GetMsVersion(h, text, sizeof(text));
       }},
      {"KV_FastReadNvInfo",
       [](PhoneHandle h) {
         NvInfoRecord r;
         std::memset(&r, 0, sizeof(r));
         r.mask = KV_NV_IMEI1;
         return KV_FastReadNvInfo(h, &r);
       }},
      {"KV_SendATCommand",
       [](PhoneHandle h) {
         char reply[64] = {};
         int32_t length = 0;
         return KV_SendATCommand(h, "AT", 1, reply, sizeof(reply), &length, 20000);
       }},
  };
  for (const Case& c : cases) {
    Open("KESTREL_WINE_SILENT_COM");
    Timeouts(10000, 3);
    int32_t result = -1;
    int64_t blockedMs = -1;
    const auto start = Clock::now();
    std::thread caller([&] {
      result = c.call(h_);
      blockedMs = MsSince(start);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(KV_EndPhoneTest(h_), KV_OK) << c.what;
    const int64_t endedMs = MsSince(start);
    caller.join();
    EXPECT_EQ(result, KV_ERR_CANCELLED) << c.what;
    EXPECT_GE(blockedMs, 250) << c.what;
    EXPECT_LT(blockedMs, 1300) << c.what;
    EXPECT_LT(endedMs, 1300) << c.what << ": KV_EndPhoneTest waited for the call";
    char text[64] = {};
    EXPECT_EQ(KV_GetMsVersion(h_, text, sizeof(text)), KV_ERR_NOT_OPEN) << c.what;
  }
}

// The simulator dies while a call waits for its (late) reply: the call ends at once with
// the line lost, not at its time-out, and the port is gone for the next call.
TEST_F(Win32PhoneTest, SimulatorKilledMidCall) {
  const char* control = std::getenv("KESTREL_WINE_CONTROL");
  ASSERT_NE(control, nullptr) << "KESTREL_WINE_CONTROL names no folder";
  Open("KESTREL_WINE_DOOMED_COM");
  Timeouts(8000, 1);
  char text[256] = {};
  int32_t result = -1;
  int64_t blockedMs = -1;
  const auto start = Clock::now();
  std::thread caller([&] {
    result = KV_GetMsVersion(h_, text, sizeof(text));
    blockedMs = MsSince(start);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  { std::ofstream(std::string(control) + "\\kill") << "kill\n"; }
  caller.join();
  EXPECT_EQ(result, KV_ERR_LINK_LOST);
  EXPECT_LT(blockedMs, 4500) << "the reply would have come after the simulator's delay";
  EXPECT_EQ(KV_GetMsVersion(h_, text, sizeof(text)), KV_ERR_PORT_OPEN)
      << "the port opens again only when the phone is back";
  EXPECT_EQ(KV_EndPhoneTest(h_), KV_OK);
}

#ifdef KESTREL_WIN32_TEST_PROXY
// The host is killed (TerminateProcess) while a call waits in it: the call ends at once with
// the line lost, so does every call of that phone test until its end, and the next phone
// test runs in a new host. What happened is in the proxy's notes.
TEST_F(Win32PhoneTest, HostKilledMidCallCostsOnlyItsPhoneTest) {
  KVP_TakeHostNotes(nullptr, 0);
  Open("KESTREL_WINE_SILENT_COM");
  Timeouts(10000, 1);
  const DWORD pid = static_cast<DWORD>(KVP_HostProcessId());
  ASSERT_NE(pid, 0u);
  char text[256] = {};
  int32_t result = -1;
  int64_t blockedMs = -1;
  const auto start = Clock::now();
  std::thread caller([&] {
    result = KV_GetMsVersion(h_, text, sizeof(text));
    blockedMs = MsSince(start);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  HANDLE host = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  ASSERT_NE(host, nullptr);
  ASSERT_TRUE(TerminateProcess(host, 9));
  CloseHandle(host);
  caller.join();
  EXPECT_EQ(result, KV_ERR_LINK_LOST);
  EXPECT_LT(blockedMs, 5000) << "the call waited for its time-out";
  EXPECT_EQ(KV_GetMsVersion(h_, text, sizeof(text)), KV_ERR_LINK_LOST);
  EXPECT_EQ(KV_EndPhoneTest(h_), KV_OK);
  Timeouts(300, 2);
  Open("KESTREL_WINE_PHONE_COM");
  ASSERT_EQ(KV_GetMsVersion(h_, text, sizeof(text)), KV_OK);
  EXPECT_NE(KVP_HostProcessId(), static_cast<int32_t>(pid));
  char notes[1024] = {};
  KVP_TakeHostNotes(notes, sizeof(notes));
  EXPECT_NE(std::string(notes).find("the host ended (exit code 9) during KV_GetMsVersion"),
            std::string::npos)
      << notes;
  EXPECT_NE(std::string(notes).find("a new host was started"), std::string::npos) << notes;
}
#endif

}  // namespace
