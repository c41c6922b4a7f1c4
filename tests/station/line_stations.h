// Station windows on one PC, each with its own station folder and simulated phone, writing
// phones against a line database: the pieces the line's end-to-end tests share.
#pragma once

#include "station/control_ids.h"
#include "station/station_controller.h"
#include "tests/device/phone_sim_process.h"
#include "tests/support/linked_phone_api.h"
#include "tests/support/test_support.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QThread>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace kestrel::station::testing {

// One station: its folder, phone handle, simulated phone on COM<com> and window.
struct LineStation {
  kestrel::testing::StationDir dir;
  int com = 0;
  PhoneHandle phone = KV_INVALID_HANDLE;
  std::unique_ptr<kestrel::testing::PhoneSimProcess> sim;
  std::unique_ptr<StationController> window;
  QStringList messages;

  ~LineStation() {
    window.reset();
    sim.reset();
    if (phone != KV_INVALID_HANDLE) KV_ReleasePhone(phone);
  }

  QStringList ResultLines() const {
    QFile f(dir.File(QStringLiteral("IMEI.txt")));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
  }
  QString Message() const { return window->ResultText().section(QLatin1Char('\n'), 0, 0); }
  QString StatusLine() const {
    return static_cast<QLabel*>(window->Control(ids::kStatusLine))->text();
  }
  bool Idle() const {
    return !window->JobRunning() && !window->JobActive() && !window->RepeatPending();
  }
};

class LineStations {
 public:
  ~LineStations() { Clear(); }

  // A station writing IMEI1 (from the base) and IMEI2 (IMEI1 + 1) in normal mode; every station
  // with the same DefaultIMEI, so that without the line they would write the same IMEIs.
  // `general` adds to [General], `line` to [LINE] (ImeiBlock 5 unless it says otherwise).
  // `simArgs` are the simulated phone's fault options.
  LineStation& Open(const QString& name, int com, const QString& database,
                    const QByteArray& general = {}, const QByteArray& line = {},
                    const QStringList& simArgs = {}) {
    auto s = std::make_unique<LineStation>();
    s->com = com;
    s->dir.Write("Kestrel.ini",
                 "[General]\n" + general + "\nOperation Mode=1\nPort=" + QByteArray::number(com) +
                     "\nIMEI1=1\nIMEI2=1\nIMEI1GenMode=1\nIMEI2GenMode=2\nAutoCreateIMEI=1\n"
                     "DefaultIMEI=35123456000001\nSaveIMEI=1\nSaveToTxt=1\n"
                     "[Control]\nUser Privilege=1\nTavixNew=1\n"
                     "[LINE]\n" + line + "Database=" + database.toLatin1() +
                     "\nStation=" + name.toLatin1() + "\nImeiBlock=5\n");
    // The port map is one per process (each window points it at its own folder): here every
    // station folder's ports/ is the PC's one map, where all simulated phones register.
    QDir().mkpath(ports_.File("ports"));
    EXPECT_TRUE(QFile::link(ports_.File("ports"), s->dir.File("ports")));
    s->phone = KV_CreatePhone(0);
    s->sim = std::make_unique<kestrel::testing::PhoneSimProcess>(
        ports_.File("ports"), com, s->dir.File("phone.json"), s->dir.File("phone.log"));
    EXPECT_TRUE(s->sim->Start(simArgs));
    StationStartup startup;
    startup.phone = s->phone;
    startup.phoneApi = &kestrel::testing::LinkedPhoneApi();
    startup.productVersion = QStringLiteral("1.0.0.1");
    startup.stationFolder = s->dir.path();
    s->window = std::make_unique<StationController>(startup);
    LineStation* raw = s.get();
    s->window->SetMessagePresenter([raw](const QString& text) { raw->messages << text; });
    s->window->Initialise();
    s->window->show();
    QApplication::processEvents();
    stations_.push_back(std::move(s));
    return *stations_.back();
  }

  // Presses Write on each and waits until every one has ended its job.
  void Write(const std::vector<LineStation*>& which) {
    for (LineStation* s : which) {
      QTest::mouseClick(s->window->Control(ids::kWrite), Qt::LeftButton);
      QApplication::processEvents();
    }
    QElapsedTimer t;
    t.start();
    for (;;) {
      QApplication::processEvents();
      bool idle = true;
      for (LineStation* s : which) idle = idle && s->Idle();
      if (idle) break;
      ASSERT_LT(t.elapsed(), 20000) << "a job did not end";
      QThread::msleep(2);
    }
    QApplication::processEvents();
  }

  // Runs the window events until `done` holds or `ms` have passed; whether it held.
  template <typename F>
  static bool Wait(F done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
      if (t.elapsed() > ms) return false;
      QApplication::processEvents(QEventLoop::AllEvents, 5);
      QThread::msleep(5);
    }
    return true;
  }

  void Clear() {
    stations_.clear();
    QApplication::processEvents();
  }
  std::vector<LineStation*> All() const {
    std::vector<LineStation*> all;
    for (const auto& s : stations_) all.push_back(s.get());
    return all;
  }

 private:
  kestrel::testing::StationDir ports_;
  std::vector<std::unique_ptr<LineStation>> stations_;
};

}  // namespace kestrel::station::testing
