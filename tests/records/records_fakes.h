// Stand-ins for the station window in the records tests.
#pragma once

#include "config/message_sink.h"
#include "config/station_settings.h"
#include "records/record_identities.h"
#include "records/result_report.h"

#include <QString>
#include <QStringList>

#include <mutex>

namespace kestrel::records::testing {

// Records the result message and the Fail displays (thread-safe: saves come from a job thread).
class FakeReport : public ResultReport {
 public:
  void SetResultText(const QString& text) override {
    std::lock_guard lock(mutex_);
    text_ = text;
  }
  void ShowFailResult() override {
    std::lock_guard lock(mutex_);
    ++failShown_;
    shownText_ = text_;
  }
  QString text() {
    std::lock_guard lock(mutex_);
    return text_;
  }
  QString shownText() {
    std::lock_guard lock(mutex_);
    return shownText_;
  }
  int failShown() {
    std::lock_guard lock(mutex_);
    return failShown_;
  }

 private:
  std::mutex mutex_;
  QString text_;
  QString shownText_;
  int failShown_ = 0;
};

class FakeSink : public config::MessageSink {
 public:
  void ShowMessage(const QString& text) override { shown << text; }
  QStringList shown;
};

// A text-store station with IMEI1, IMEI2, Wi-Fi and Bluetooth on.
inline config::StationSettings TextStation() {
  config::StationSettings s;
  s.IMEI1Enabled = 1;
  s.IMEI2Enabled = 1;
  s.WIFI_ADDR = 1;
  s.BT_ADDR = 1;
  s.SaveIMEI = 1;
  s.SaveToTxt = 1;
  s.CheckRepeat = 1;
  return s;
}

inline config::StationSettings DatabaseStation() {
  config::StationSettings s = TextStation();
  s.SaveToTxt = 0;
  return s;
}

inline RecordIdentities Phone(const QString& imei1, const QString& imei2 = QString()) {
  RecordIdentities ids;
  ids.IMEI1 = imei1;
  ids.IMEI2 = imei2.isEmpty() ? QStringLiteral("490154203237518") : imei2;
  ids.IMEI3 = QStringLiteral("356938035643809");
  ids.IMEI4 = QStringLiteral("353918050381110");
  ids.BT = QStringLiteral("0c1d2e3f4a5b");
  ids.WIFI = QStringLiteral("a0b1c2d3e4f5");
  ids.SN1 = QStringLiteral("SN20261207A");
  ids.SN2 = QStringLiteral("SN20261207B");
  return ids;
}

}  // namespace kestrel::records::testing
