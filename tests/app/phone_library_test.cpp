// The station executable and kestrel-cli on the phone library named by [PHONE] Library: a
// library that cannot be used stops the start with exit code 2; another maker's library
// (libkestrel-test-phone.so, tests/device/adapter) runs write jobs in the real kestrel, driven
// by the test driver plugin (driver/), and kestrel-cli phone talks to it and to Kestrel's own.
#include "tests/device/phone_sim_process.h"
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <cstdio>
#include <utility>

using kestrel::testing::BinDir;
using kestrel::testing::BinPath;
using kestrel::testing::ChildRun;
using kestrel::testing::RunChild;
using kestrel::testing::StationDir;

namespace {

const QByteArray kWriteIni =
    "[General]\nOperation Mode=1\nPort=3\nIMEI1=1\nIMEI1GenMode=1\nAutoCreateIMEI=1\n"
    "DefaultIMEI=35123456000001\nSaveIMEI=1\nSaveToTxt=1\nReadBack=1\n";
const QByteArray kControlIni = "[Control]\nTavixNew=1\n";

QString Adapter(const char* variant = "") {
  return BinDir() + QStringLiteral("/libkestrel-test-phone%1.so").arg(QLatin1String(variant));
}

// The environment of kestrel on the station folder: the driver plugin takes its steps when
// `drive` is set, otherwise the window (or a message box) closes after a moment.
QMap<QString, QString> StationEnv(const StationDir& dir, bool drive, QMap<QString, QString> env) {
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  env.insert(QStringLiteral("KESTREL_STARTUP_TRACE"), QStringLiteral("1"));
  env.insert(QStringLiteral("KESTREL_SYSTEM_PORTS"), QStringLiteral("0"));
  env.insert(QStringLiteral("KESTREL_TEST_PHONE_STATE"), dir.File(QStringLiteral("phone.txt")));
  if (drive) {
    env.insert(QStringLiteral("QT_PLUGIN_PATH"), BinDir() + QStringLiteral("/test-plugins"));
    env.insert(QStringLiteral("QT_QPA_GENERIC_PLUGINS"), QStringLiteral("kestreldriver"));
  } else {
    env.insert(QStringLiteral("KESTREL_EXIT_AFTER_MS"), QStringLiteral("300"));
  }
  return env;
}

ChildRun RunStation(const StationDir& dir, bool drive, QMap<QString, QString> env = {},
                    const QStringList& extra = {}) {
  env = StationEnv(dir, drive, std::move(env));
  QStringList args{QStringLiteral("--station-dir"), dir.path()};
  args << extra;
  return RunChild(BinPath(QStringLiteral("kestrel")), args, env, 60000);
}

QString Err(const ChildRun& r) {
  return QString::fromLocal8Bit(r.err);
}

TEST(PhoneLibrary, AnUnusableLibraryStopsTheStartNamingTheFile) {
  struct Case {
    const char* name;
    QString library;
    const char* env;  // KESTREL_TEST_PHONE_ABI
    const char* reason;
  };
  StationDir dir;
  dir.Write(QStringLiteral("notalib.so"), "just text\n");
  const Case cases[] = {
      {"missing file", dir.File(QStringLiteral("gone/libphone.so")), "", "the file does not exist"},
      {"not a library", dir.File(QStringLiteral("notalib.so")), "",
       "not a library that can be loaded"},
      {"a required call missing", Adapter("-incomplete"), "", "it lacks KV_PowerOff"},
      {"another ABI major", Adapter(), "2",
       "made for version 2.0 of the phone library interface; this station takes version 1"},
  };
  // The same with the library in a process of its own: the host reports what the station
  // would have found.
  for (const Case& c : cases) {
    for (const QByteArray& isolate : {QByteArray(), QByteArray("Isolate=1\n")}) {
      SCOPED_TRACE(c.name + std::string(isolate.isEmpty() ? "" : ", isolated"));
      dir.Write(QStringLiteral("Kestrel.ini"),
                "[PHONE]\nLibrary=" + c.library.toUtf8() + "\n" + isolate);
      const QMap<QString, QString> env{
          {QStringLiteral("KESTREL_TEST_PHONE_ABI"), QString::fromLatin1(c.env)}};
      const QString file = QStringLiteral("phone library %1: ").arg(c.library);
      const ChildRun start = RunStation(dir, false, env);
      ASSERT_TRUE(start.finished);
      EXPECT_EQ(start.exitCode, 2);
      EXPECT_TRUE(Err(start).contains(file)) << Err(start).toStdString();
      EXPECT_TRUE(Err(start).contains(QLatin1String(c.reason))) << Err(start).toStdString();
      EXPECT_FALSE(Err(start).contains(QStringLiteral("station window closed")));
      const ChildRun version = RunStation(dir, false, env, {QStringLiteral("--version")});
      EXPECT_EQ(version.exitCode, 2);
      EXPECT_TRUE(Err(version).contains(file)) << Err(version).toStdString();
      EXPECT_TRUE(Err(version).contains(QLatin1String(c.reason))) << Err(version).toStdString();
    }
  }
  EXPECT_FALSE(QFile::exists(dir.File(QStringLiteral("IMEI.txt"))));
}

TEST(PhoneLibrary, VersionNamesTheLibraryInUse) {
  StationDir dir;
  ChildRun r = RunChild(BinPath(QStringLiteral("kestrel")), {QStringLiteral("--version")},
                        {{QStringLiteral("KESTREL_STATION_DIR"), dir.path()}});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(QString::fromUtf8(r.out),
            QStringLiteral("kestrel 1.0.0.1\nphone library: Kestrel Oxbind 1.0.0.1 (%1)\n")
                .arg(BinDir() + QStringLiteral("/libkestrel-oxbind.so.1")));
  // A relative path is taken from the station folder.
  ASSERT_TRUE(QFile::copy(Adapter(), dir.File(QStringLiteral("vendor.so"))));
  dir.Write(QStringLiteral("Kestrel.ini"), "[PHONE]\nLibrary=vendor.so\n");
  r = RunChild(BinPath(QStringLiteral("kestrel")), {QStringLiteral("--version")},
               {{QStringLiteral("KESTREL_STATION_DIR"), dir.path()}});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(QString::fromUtf8(r.out).endsWith(
      QStringLiteral("phone library: Test Phone Adapter 0.9 (%1)\n")
          .arg(dir.File(QStringLiteral("vendor.so")))))
      << r.out.toStdString();
  dir.Write(QStringLiteral("Kestrel.ini"), "[PHONE]\nLibrary=vendor.so\nIsolate=1\n");
  r = RunChild(BinPath(QStringLiteral("kestrel")), {QStringLiteral("--version")},
               {{QStringLiteral("KESTREL_STATION_DIR"), dir.path()}});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(QString::fromUtf8(r.out).endsWith(
      QStringLiteral("phone library: Test Phone Adapter 0.9 (isolated) (%1)\n")
          .arg(dir.File(QStringLiteral("vendor.so")))))
      << r.out.toStdString();
}

// The real station on the other maker's library: a write job passes, is recorded, and the
// phone holds the IMEI; a call that fails shows its message; the station record, which the
// library does not offer, is refused with a message of its own.
TEST(PhoneLibrary, TheStationRunsWriteJobsOnAnotherMakersLibrary) {
  struct Case {
    const char* name;
    QByteArray ini;  // after kWriteIni
    QString fail;    // KESTREL_TEST_PHONE_FAIL
    QString result;  // in the result text
    bool recorded;
  };
  const Case cases[] = {
      {"passes", "", "", QString(), true},
      {"a failing write", "", "KV_FastWriteNvInfo=34", "Write IMEI failed ! Error code: 34", false},
      {"no station record", "Stagemark=1\nCurrentStationName=IMEI\nCheckStationName=NULL\n", "",
       "The phone library Test Phone Adapter does not support the station record", false},
  };
  for (const Case& c : cases) {
    for (const bool isolate : {false, true}) {
      SCOPED_TRACE(c.name + std::string(isolate ? ", isolated" : ""));
      StationDir dir;
      dir.Write(QStringLiteral("Kestrel.ini"), kWriteIni + c.ini + kControlIni +
                                                   "[PHONE]\nLibrary=" + Adapter().toUtf8() +
                                                   (isolate ? "\nIsolate=1\n" : "\n"));
      const ChildRun r =
          RunStation(dir, true, {{QStringLiteral("KESTREL_TEST_PHONE_FAIL"), c.fail}});
      ASSERT_TRUE(r.finished);
      const QString err = Err(r);
      EXPECT_EQ(r.exitCode, 0) << err.toStdString();
      EXPECT_TRUE(err.contains(QStringLiteral("phone library: Test Phone Adapter 0.9%1 (%2)")
                                   .arg(isolate ? " (isolated)" : "", Adapter())))
          << err.toStdString();
      EXPECT_TRUE(err.contains(QStringLiteral("driver: write"))) << err.toStdString();
      EXPECT_FALSE(err.contains(QStringLiteral("driver: no job end"))) << err.toStdString();
      if (!c.result.isEmpty()) {
        EXPECT_TRUE(err.contains(QStringLiteral("driver: result ") + c.result))
            << err.toStdString();
      }
      const QByteArray imeiTxt = dir.Read(QStringLiteral("IMEI.txt"));
      const QByteArray phone = dir.Read(QStringLiteral("phone.txt"));
      if (c.recorded) {
        EXPECT_TRUE(imeiTxt.contains("351234560000010")) << imeiTxt.toStdString();
        EXPECT_TRUE(phone.contains("imei1=351234560000010\n")) << phone.toStdString();
        // The library has no request counters: the audit record counts none.
        const QStringList logs =
            QDir(dir.File(QStringLiteral("Log"))).entryList({QStringLiteral("jobs-*.jsonl")});
        ASSERT_EQ(logs.size(), 1);
        const QByteArray record = dir.Read(QStringLiteral("Log/") + logs[0]);
        EXPECT_TRUE(record.contains("\"requests\":0")) << record.toStdString();
      } else {
        EXPECT_FALSE(imeiTxt.contains("35123456")) << imeiTxt.toStdString();
        EXPECT_FALSE(phone.contains("imei1=35")) << phone.toStdString();
      }
    }
  }
}

// A call the library never returns from, not even on the end of the phone test: Stop lets the
// job go within its bound, the next Write is refused at once and counts nothing, and the
// window closes and the station exits by itself with the thread still inside the library.
TEST(PhoneLibrary, ACallThatNeverReturnsLeavesTheWindowFreeToRefuseJobsAndClose) {
  StationDir dir;
  dir.Write(QStringLiteral("Kestrel.ini"),
            kWriteIni + kControlIni + "[PHONE]\nLibrary=" + Adapter().toUtf8() + "\n");
  const QMap<QString, QString> env = StationEnv(
      dir, true,
      {{QStringLiteral("KESTREL_TEST_PHONE_HANG"), QStringLiteral("KV_GetMsVersion")},
       {QStringLiteral("KESTREL_DRIVER_STEPS"), QStringLiteral("write,stop,write,close")},
       {QStringLiteral("KESTREL_DRIVER_JOB_MS"), QStringLiteral("1000")}});
  kestrel::testing::ChildProcess station;
  ASSERT_TRUE(station.Start(BinPath(QStringLiteral("kestrel")),
                            {QStringLiteral("--station-dir"), dir.path()}, env,
                            kestrel::testing::ChildProcess::Streams::kOutAndErr));
  QByteArray err;
  QElapsedTimer t;
  t.start();
  while (!err.contains("driver: close\n") && station.running() && t.elapsed() < 30000) {
    station.WaitFinished(20);
    err += station.TakeErr();
  }
  t.restart();
  const bool exited = station.WaitFinished(10000);
  const qint64 exitMs = t.elapsed();
  err += station.TakeErr();
  station.Kill();  // a station that did not end by itself
  ASSERT_TRUE(exited) << err.toStdString();
  EXPECT_EQ(station.termSignal(), 0) << err.toStdString();
  EXPECT_EQ(station.exitCode(), 0) << err.toStdString();
  EXPECT_LT(exitMs, 3000) << err.toStdString();
  EXPECT_TRUE(err.contains("station window closed")) << err.toStdString();

  // What the driver saw, its times taken out.
  QStringList seen;
  QMap<QString, int> ms;
  const QRegularExpression timed(QStringLiteral("^(stop|refused) in (\\d+) ms$"));
  for (const QString& line : QString::fromLocal8Bit(err).split(QLatin1Char('\n'))) {
    if (!line.startsWith(QLatin1String("driver: "))) continue;
    QString step = line.mid(8);
    if (const QRegularExpressionMatch m = timed.match(step); m.hasMatch()) {
      ms.insert(m.captured(1), m.captured(2).toInt());
      step = m.captured(1) + QStringLiteral(" in");
    }
    seen << step;
  }
  const QString counts = QStringLiteral("counts הצליח :  0 נכשל :0");  // nothing counted
  const QStringList expected{
      "write",
      "no job end",
      "result מוודא.",
      counts,
      "stop in",
      "result המשתמש עצר!",
      counts,
      "write",
      "refused in",
      "result The phone library has not returned from its last call; restart the station.",
      counts,
      "close"};
  EXPECT_EQ(seen, expected) << err.toStdString();
  // Stop waits for the thread up to its bound (3 s), and no longer.
  EXPECT_LT(ms.value(QStringLiteral("stop")), 4000);
  EXPECT_LT(ms.value(QStringLiteral("refused")), 500);
  std::fprintf(stderr, "stop %d ms, refusal %d ms, close to exit %lld ms\n",
               ms.value(QStringLiteral("stop")), ms.value(QStringLiteral("refused")),
               static_cast<long long>(exitMs));
  EXPECT_FALSE(dir.Read(QStringLiteral("phone.txt")).contains("imei1=35"));
}

TEST(PhoneLibrary, CliPhoneWorksWithEitherLibrary) {
  StationDir dir;
  const QMap<QString, QString> env{
      {QStringLiteral("KESTREL_SYSTEM_PORTS"), QStringLiteral("0")},
      {QStringLiteral("KESTREL_TEST_PHONE_STATE"), dir.File(QStringLiteral("phone.txt"))}};
  auto cli = [&](const QStringList& args) {
    QStringList all{QStringLiteral("phone"), QStringLiteral("--station-dir"), dir.path()};
    all << args;
    return RunChild(BinPath(QStringLiteral("kestrel-cli")), all, env);
  };
  kestrel::testing::PhoneSimProcess sim(dir.File(QStringLiteral("ports")), 3,
                                        dir.File(QStringLiteral("sim.json")),
                                        dir.File(QStringLiteral("sim.log")));
  ASSERT_TRUE(sim.Start({}));
  struct Case {
    const char* name;
    QString library;  // empty: Kestrel's own, found beside kestrel-cli
  };
  for (const Case& c :
       {Case{"Kestrel's own on the simulator", QString()}, Case{"the other maker's", Adapter()}}) {
    for (const bool isolate : {false, true}) {
      SCOPED_TRACE(c.name + std::string(isolate ? ", isolated" : ""));
      QStringList lib;
      if (!c.library.isEmpty()) lib << QStringLiteral("--library") << c.library;
      if (isolate) lib << QStringLiteral("--isolate");
      ChildRun r = cli(lib + QStringList{"--port", "3", "write-nv", "--imei1", "356938035643809"});
      EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
      r = cli(lib + QStringList{"--port", "3", "read-nv"});
      EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
      EXPECT_TRUE(r.out.contains("IMEI1=356938035643809\n")) << r.out.toStdString();
      // The station record: the simulator has one, the other maker's library no calls for it.
      r = cli(lib + QStringList{"--port", "3", "stagemark-show"});
      EXPECT_EQ(r.exitCode, c.library.isEmpty() ? 0 : 11) << r.err.toStdString();
    }
  }
  EXPECT_TRUE(dir.Read(QStringLiteral("phone.txt")).contains("imei1=356938035643809\n"));

  // A call told to hang never returns (for tests of a station on a library that does not).
  kestrel::testing::ChildProcess hung;
  QMap<QString, QString> hangEnv = env;
  hangEnv.insert(QStringLiteral("KESTREL_TEST_PHONE_HANG"), QStringLiteral("KV_ReadSN"));
  ASSERT_TRUE(hung.Start(
      BinPath(QStringLiteral("kestrel-cli")),
      {"phone", "--station-dir", dir.path(), "--library", Adapter(), "--port", "3", "read-sn", "1"},
      hangEnv));
  EXPECT_FALSE(hung.WaitFinished(1500));
  hung.Kill();
  const ChildRun bad =
      cli({"--library", dir.File(QStringLiteral("none.so")), "--port", "3", "version"});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_TRUE(bad.err.contains("does not exist")) << bad.err.toStdString();
}

}  // namespace
