// The SCPI power source against the power simulator and a pseudo-terminal instrument.
#include "device/ampvane/ampvane.h"
#include "tests/ampvane/power_sim_process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace kestrel::device::ampvane {
namespace {

using testing::PowerSimProcess;
using testing::StationDir;

// Creates sources through the factory as the station does and releases them afterwards.
class PowerSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetStationFolder(dir_.path());
    ASSERT_EQ(CreateAmpvaneFactory(&factory_), kOk);
    ASSERT_NE(factory_, nullptr);
    ASSERT_EQ(factory_->Create(&source_, kKindScpi), kOk);
    ASSERT_NE(source_, nullptr);
  }
  void TearDown() override {
    if (source_ != nullptr) source_->Release();
    if (factory_ != nullptr) factory_->Release();
    SetStationFolder(QString());
  }

  void WriteMap(const QString& location, int timeoutMs = 300) {
    dir_.Write(QStringLiteral("Ampvane.ini"),
               QStringLiteral("[GPIB0]\n5=%1\n[Ampvane]\nTimeout=%2\n")
                   .arg(location)
                   .arg(timeoutMs)
                   .toUtf8());
  }

  QStringList LogLines() const {
    QStringList lines =
        QString::fromUtf8(dir_.Read(QStringLiteral("sim.log"))).split(u'\n', Qt::SkipEmptyParts);
    return lines;
  }

  StationDir dir_;
  PowerSourceFactory* factory_ = nullptr;
  PowerSource* source_ = nullptr;
};

TEST_F(PowerSourceTest, OpensAndDrivesTheThreeStationCalls) {
  PowerSimProcess sim;
  ASSERT_TRUE(sim.Start({QStringLiteral("--log"), dir_.File(QStringLiteral("sim.log"))}));
  WriteMap(sim.url());

  ASSERT_EQ(source_->Open(0, 5), kOk);
  char idn[64];
  EXPECT_EQ(source_->Identify(idn, sizeof idn), kOk);
  EXPECT_STREQ(idn, "Kestrel,PowerSim,0,1.0");

  // (Voltage, -1): the phone is powered at that voltage.
  ASSERT_EQ(source_->SetOutput(4.2F, -1), kOk);
  EXPECT_EQ(sim.Ask("VOLT?;OUTP?", 2), (QList<QByteArray>{"4.200", "1"}));
  // (-1.0, -1): output off before a repeat, the level kept.
  ASSERT_EQ(source_->SetOutput(-1.0F, -1), kOk);
  EXPECT_EQ(sim.Ask("VOLT?;OUTP?", 2), (QList<QByteArray>{"4.200", "0"}));
  ASSERT_EQ(source_->SetOutput(3.8F, -1), kOk);
  EXPECT_EQ(sim.Ask("MEAS:VOLT?", 1), (QList<QByteArray>{"3.800"}));
  // (0.0, 1): the operator stopped: 0 V and off.
  ASSERT_EQ(source_->SetOutput(0.0F, 1), kOk);
  EXPECT_EQ(sim.Ask("VOLT?;OUTP?", 2), (QList<QByteArray>{"0.000", "0"}));

  const QStringList log = LogLines();
  const QStringList expectedStart{"*IDN?",   "*CLS",      "*IDN?",       "VOLT 4.200", "SYST:ERR?",
                                  "OUTP ON", "SYST:ERR?", "VOLT?;OUTP?", "OUTP OFF",   "SYST:ERR?"};
  ASSERT_GE(log.size(), expectedStart.size());
  EXPECT_EQ(log.mid(0, expectedStart.size()), expectedStart);
  EXPECT_EQ(log.mid(log.size() - 5),
            (QStringList{"OUTP OFF", "SYST:ERR?", "VOLT 0.000", "SYST:ERR?", "VOLT?;OUTP?"}));
}

TEST_F(PowerSourceTest, AbsentInstrumentsFailToOpen) {
  EXPECT_EQ(source_->Open(0, 5), kErrNoMap);  // no Ampvane.ini at all

  WriteMap(QStringLiteral("tcp://127.0.0.1:1"));
  EXPECT_EQ(source_->Open(0, 6), kErrNotMapped);
  EXPECT_EQ(source_->Open(1, 5), kErrNotMapped);

  WriteMap(QStringLiteral("GPIB0::5::INSTR"));
  EXPECT_EQ(source_->Open(0, 5), kErrBadLocation);

  // A port nobody listens on: take a free one and let it go.
  quint16 freePort = 0;
  {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    freePort = server.serverPort();
  }
  WriteMap(QStringLiteral("tcp://127.0.0.1:%1").arg(freePort));
  EXPECT_EQ(source_->Open(0, 5), kErrConnect);

  // Device files that are no instrument link: a missing one, a plain file taken for a serial
  // line or for USBTMC (whose reads nothing would bound).
  WriteMap(dir_.File(QStringLiteral("no-such-device")));
  EXPECT_EQ(source_->Open(0, 5), kErrConnect);
  const QString plain = dir_.Write(QStringLiteral("plain"), "x");
  WriteMap(plain);
  EXPECT_EQ(source_->Open(0, 5), kErrConnect);
  WriteMap(QStringLiteral("usbtmc:") + plain);
  EXPECT_EQ(source_->Open(0, 5), kErrConnect);

  // Nothing was opened, so nothing can be set.
  EXPECT_EQ(source_->SetOutput(4.0F, -1), kErrNotOpen);
  char idn[8];
  EXPECT_EQ(source_->Identify(idn, sizeof idn), kErrNotOpen);
  EXPECT_STREQ(idn, "");
}

TEST_F(PowerSourceTest, SilentInstrumentTimesOut) {
  PowerSimProcess sim;
  ASSERT_TRUE(sim.Start(
      {QStringLiteral("--silent"), QStringLiteral("--log"), dir_.File(QStringLiteral("sim.log"))}));
  WriteMap(sim.url(), 200);
  EXPECT_EQ(source_->Open(0, 5), kErrTimeout);
  EXPECT_EQ(source_->SetOutput(4.0F, -1), kErrNotOpen);
  EXPECT_EQ(LogLines(), QStringList{"*IDN?"});  // it heard the question, it just never answers
}

TEST_F(PowerSourceTest, RefusedSettingIsReportedAndNeverSwitchesTheOutputOn) {
  PowerSimProcess sim;
  ASSERT_TRUE(sim.Start({QStringLiteral("--log"), dir_.File(QStringLiteral("sim.log"))}));
  WriteMap(sim.url());
  ASSERT_EQ(source_->Open(0, 5), kOk);
  ASSERT_EQ(source_->SetOutput(4.0F, -1), kOk);
  ASSERT_EQ(source_->SetOutput(-1.0F, -1), kOk);

  EXPECT_EQ(source_->SetOutput(75.0F, -1), kErrInstrument);  // above what the supply takes
  const QStringList log = LogLines();
  EXPECT_EQ(log.mid(log.lastIndexOf(QStringLiteral("VOLT 75.000"))),
            (QStringList{"VOLT 75.000", "SYST:ERR?", "SYST:ERR?"}));  // no OUTP ON
  EXPECT_EQ(sim.Ask("VOLT?;OUTP?", 2), (QList<QByteArray>{"4.000", "0"}));
  // The instrument's queue was emptied: the next setting is judged on its own.
  EXPECT_EQ(source_->SetOutput(4.0F, -1), kOk);

  EXPECT_EQ(source_->SetOutput(std::nanf(""), -1), kErrInvalidArgument);
  EXPECT_EQ(source_->SetOutput(INFINITY, -1), kErrInvalidArgument);
  EXPECT_EQ(source_->SetOutput(4.0F, -2), kErrInvalidArgument);
  EXPECT_EQ(source_->Identify(nullptr, 10), kErrInvalidArgument);
  char small[8];
  EXPECT_EQ(source_->Identify(small, sizeof small), kErrBufferTooSmall);
  EXPECT_STREQ(small, "Kestrel");
}

TEST_F(PowerSourceTest, LinkLossFailsBoundedAndReconnectsWhenTheInstrumentIsBack) {
  auto sim = std::make_unique<PowerSimProcess>();
  ASSERT_TRUE(sim->Start());
  const int port = sim->port();
  WriteMap(sim->url());
  ASSERT_EQ(source_->Open(0, 5), kOk);

  sim->Stop();
  EXPECT_NE(source_->SetOutput(4.0F, -1), kOk);  // broken link, then nobody listening

  sim = std::make_unique<PowerSimProcess>();
  ASSERT_TRUE(sim->Start({}, port));
  EXPECT_EQ(source_->SetOutput(4.5F, -1), kOk);
  EXPECT_EQ(sim->Ask("VOLT?;OUTP?", 2), (QList<QByteArray>{"4.500", "1"}));

  // Close ends it for good until the next Open.
  EXPECT_EQ(source_->Close(), kOk);
  EXPECT_EQ(source_->SetOutput(4.0F, -1), kErrNotOpen);
  EXPECT_EQ(source_->Open(0, 5), kOk);
  EXPECT_EQ(source_->SetOutput(-1.0F, -1), kOk);
}

// An instrument on a serial line, played by the test on the master side of a pty.
TEST_F(PowerSourceTest, SerialInstrument) {
  int master = -1;
  int slave = -1;
  char name[128] = {};
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  std::atomic<bool> stop{false};
  std::vector<std::string> heard;
  std::thread instrument([&] {
    std::string pending;
    while (!stop) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char b[256];
      const ssize_t n = ::read(master, b, sizeof b);
      if (n <= 0) continue;
      pending.append(b, static_cast<size_t>(n));
      size_t nl;
      while ((nl = pending.find('\n')) != std::string::npos) {
        const std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        heard.push_back(line);
        std::string answer;
        if (line == "*IDN?") answer = "Bench,PTY-1,7,2.1\n";
        if (line == "SYST:ERR?") answer = "+0,\"No error\"\n";
        if (!answer.empty() && ::write(master, answer.data(), answer.size()) < 0) return;
      }
    }
  });
  WriteMap(QStringLiteral("serial:%1,115200").arg(QString::fromLocal8Bit(name)));
  const int32_t opened = source_->Open(0, 5);
  const int32_t set = source_->SetOutput(4.0F, -1);
  char idn[64] = {};
  const int32_t identified = source_->Identify(idn, sizeof idn);
  source_->Close();
  stop = true;
  instrument.join();
  ::close(slave);
  ::close(master);
  EXPECT_EQ(opened, kOk);
  EXPECT_EQ(set, kOk);
  EXPECT_EQ(identified, kOk);
  EXPECT_STREQ(idn, "Bench,PTY-1,7,2.1");
  EXPECT_EQ(heard, (std::vector<std::string>{"*IDN?", "*CLS", "VOLT 4.000", "SYST:ERR?", "OUTP ON",
                                             "SYST:ERR?", "*IDN?"}));
}

TEST(PowerSourceFactoryTest, CreatesOnlyScpiSources) {
  PowerSourceFactory* factory = nullptr;
  EXPECT_EQ(CreateAmpvaneFactory(nullptr), kErrInvalidArgument);
  ASSERT_EQ(CreateAmpvaneFactory(&factory), kOk);
  EXPECT_EQ(factory->Version(), 100);
  PowerSource* source = reinterpret_cast<PowerSource*>(&factory);  // any non-null value
  EXPECT_EQ(factory->Create(&source, 2), kErrUnknownKind);
  EXPECT_EQ(source, nullptr);
  EXPECT_EQ(factory->Create(nullptr, kKindScpi), kErrInvalidArgument);
  ASSERT_EQ(factory->Create(&source, kKindScpi), kOk);
  ASSERT_NE(source, nullptr);
  factory->Release();  // the source outlives its factory
  EXPECT_EQ(source->Close(), kOk);
  source->Release();
}

}  // namespace
}  // namespace kestrel::device::ampvane
