// A station window with a simulated phone on COM3 of its station folder, and a real phone
// handle: the jobs run end to end through the phone library.
#pragma once

#include "config/ini_file.h"
#include "device/ports/port_map.h"
#include "tests/device/phone_sim_process.h"
#include "tests/station/station_fixture.h"
#include "tests/support/test_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <memory>

namespace kestrel::station::testing {

class JobTest : public StationWindowTest {
 public:
  static constexpr int kCom = 3;
  using StationWindowTest::dir_;
  using StationWindowTest::W;

  void SetUp() override {
    StationWindowTest::SetUp();
    // Short time-outs: a fault shows within a second rather than within several.
    qputenv("KESTREL_OXBIND_REPLY_TIMEOUT_MS",
            QByteArray::number(kestrel::testing::ReplyTimeoutMs(250)));
    qputenv("KESTREL_OXBIND_ATTEMPTS", "2");
    device::ports::SetStationFolder(dir_.path());
    phone_ = KV_CreatePhone(0);
    ASSERT_NE(phone_, KV_INVALID_HANDLE);
  }
  void TearDown() override {
    config::IniFile::SetInterruptHookForTesting({});
    window_.reset();
    sim_.reset();
    if (phone_ != KV_INVALID_HANDLE) KV_ReleasePhone(phone_);
    phone_ = KV_INVALID_HANDLE;
    StationWindowTest::TearDown();
  }

  // Starts the simulated phone on COM3 with the given fault options.
  bool StartPhone(const QStringList& faults = {}, bool waitReady = true) {
    sim_ = std::make_unique<kestrel::testing::PhoneSimProcess>(
        dir_.File(QStringLiteral("ports")), kCom, dir_.File(QStringLiteral("phone.json")),
        dir_.File(QStringLiteral("phone.log")));
    return sim_->Start(faults, waitReady);
  }

  // Waits until no job runs, its end has been handled and no repeat is pending.
  bool WaitIdle(int ms = 15000) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
      QApplication::processEvents();
      if (!W().JobRunning() && !W().JobActive() && !W().RepeatPending()) {
        QApplication::processEvents();
        return true;
      }
      QThread::msleep(5);
    }
    return false;
  }

  // Write (or Read) clicked, and the job run to its end.
  void RunJob(int button = ids::kWrite) {
    Click(button);
    ASSERT_TRUE(WaitIdle()) << "the job did not end";
  }

  // The first line of the result label's text.
  QString Message() const { return window_->ResultText().section(QLatin1Char('\n'), 0, 0); }

  QStringList ImeiTxtLines() const {
    QFile f(dir_.File(QStringLiteral("IMEI.txt")));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
  }
  QStringList PhoneCalls() const { return sim_ ? sim_->LoggedCalls() : QStringList(); }
  int CallCount(const QString& name) const { return static_cast<int>(PhoneCalls().count(name)); }

  std::unique_ptr<kestrel::testing::PhoneSimProcess> sim_;
};

}  // namespace kestrel::station::testing
