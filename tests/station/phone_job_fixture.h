// A job's parts against the phone simulator: a phone test open on a simulated phone, a job
// context on a recording host, and what the simulator logged and kept.
#pragma once

#include "config/station_settings.h"
#include "device/oxbind/oxbind.h"
#include "device/ports/port_map.h"
#include "device/stagemark/stagemark.h"
#include "station/job_context.h"
#include "tests/device/phone_sim_process.h"
#include "tests/station/recording_job_host.h"
#include "tests/support/linked_phone_api.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrel::station::testing {

// Hears the steps of a job (names and durations), from any thread.
class RecordingObserver : public JobObserver {
 public:
  void JobStarted(JobKind, int, const QDateTime&) override {}
  void StepFinished(const JobStep& step) override {
    std::lock_guard<std::mutex> l(lock_);
    steps_.push_back({step.name, step.durationMs, step.code});
  }
  void JobEnded(const JobSummary&) override {}

  struct Step {
    std::string name;
    std::int64_t durationMs;
    std::int32_t code;
  };
  std::vector<Step> Steps() const {
    std::lock_guard<std::mutex> l(lock_);
    return steps_;
  }
  QStringList Names() const {
    QStringList names;
    for (const Step& s : Steps()) names << QString::fromStdString(s.name);
    return names;
  }

 private:
  mutable std::mutex lock_;
  std::vector<Step> steps_;
};

class PhoneJobTest : public ::testing::Test {
 protected:
  static constexpr int kCom = 7;

  void SetUp() override {
    qputenv("KESTREL_SYSTEM_PORTS", "0");
    device::ports::SetStationFolder(station_.path());
    job_.kv = &kestrel::testing::LinkedPhoneApi();
    device::stagemark::UsePhoneLibrary(job_.kv);
    job_.phone = KV_CreatePhone(0);
    ASSERT_NE(job_.phone, KV_INVALID_HANDLE);
    ASSERT_EQ(KV_SetProperty(job_.phone, KV_PROP_REPLY_TIMEOUT, 500, 0), KV_OK);
    ASSERT_EQ(KV_SetProperty(job_.phone, KV_PROP_ATTEMPTS, 2, 0), KV_OK);
    settings_.WaitForAPTime = 0;
    job_.settings = &settings_;
    NewCase();
  }
  void TearDown() override {
    KV_EndPhoneTest(job_.phone);
    KV_ReleasePhone(job_.phone);
    sim_.reset();
    device::ports::SetStationFolder(QString());
  }

  // A case of a table: the phone test of the last case closed, its simulator ended, a fresh
  // host and observer. The settings stay as the case left them.
  void NewCase() {
    KV_EndPhoneTest(job_.phone);
    sim_.reset();
    QFile::remove(station_.File(QStringLiteral("phone.log")));
    host_ = std::make_unique<RecordingJobHost>();
    observer_ = std::make_unique<RecordingObserver>();
    job_.host = host_.get();
    job_.observer = observer_.get();
    job_.originMs = JobContext::NowMs();
  }

  // Starts the simulated phone with `state` as its state file and the fault options in
  // `extra`, and opens the phone test on it.
  void StartPhone(const QJsonObject& state = {}, const QStringList& extra = {}) {
    station_.Write(QStringLiteral("phone.json"), QJsonDocument(state).toJson());
    sim_ = std::make_unique<kestrel::testing::PhoneSimProcess>(
        station_.File(QStringLiteral("ports")), kCom, station_.File(QStringLiteral("phone.json")),
        station_.File(QStringLiteral("phone.log")));
    ASSERT_TRUE(sim_->Start(extra)) << "simulator did not start";
    const PortChannel channel{KV_CHANNEL_COM, kCom, 115200};
    ASSERT_EQ(KV_BeginPhoneTest(job_.phone, &channel), KV_OK);
  }

  // The simulator's state as it stands once the phone test is closed and the simulator ended.
  QJsonObject FinalState() {
    KV_EndPhoneTest(job_.phone);
    sim_->Stop();
    return sim_->State();
  }
  // The log lines of one call, in order ("KV_SendATCommand AT+A", ...).
  QStringList Logged(const QString& call) const {
    QStringList lines;
    for (const QString& l : sim_->LogLines()) {
      if (l == call || l.startsWith(call + QLatin1Char(' '))) lines << l;
    }
    return lines;
  }

  // The counted outcomes and the last display, as a case of a table expects them.
  void ExpectReported(const QString& text, identity::ResultState state, bool plain,
                      std::vector<bool> outcomes) const {
    const RecordingJobHost::Shown last = host_->Last();
    EXPECT_EQ(last.text, text);
    EXPECT_EQ(last.state, state);
    EXPECT_EQ(last.plain, plain);
    EXPECT_EQ(host_->Outcomes(), outcomes);
  }

  kestrel::testing::StationDir station_;
  config::StationSettings settings_;
  std::unique_ptr<RecordingJobHost> host_;
  std::unique_ptr<RecordingObserver> observer_;
  JobContext job_;
  std::unique_ptr<kestrel::testing::PhoneSimProcess> sim_;
};

}  // namespace kestrel::station::testing
