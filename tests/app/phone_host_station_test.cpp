// The real kestrel with [PHONE] Isolate=1 on the test library (another maker's), driven by the
// test driver plugin: a crash inside a call, a hang inside the write sequence with Stop
// pressed, a hang at KV_BeginPhoneTest, a hang in the probe with Stop pressed, the host killed
// from outside between jobs. Each costs at most the job it happens in: the next phone passes
// in the same station, the window stays usable, nothing recorded is lost or doubled, and the
// job records name what happened to the host.
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

#include <gtest/gtest.h>

#include <cstdio>

using kestrel::testing::BinDir;
using kestrel::testing::BinPath;
using kestrel::testing::ChildRun;
using kestrel::testing::RunChild;
using kestrel::testing::StationDir;

namespace {

const QByteArray kWriteIni =
    "[General]\nOperation Mode=1\nPort=3\nIMEI1=1\nIMEI1GenMode=1\nAutoCreateIMEI=1\n"
    "DefaultIMEI=35123456000001\nSaveIMEI=1\nSaveToTxt=1\nReadBack=1\n[Control]\nTavixNew=1\n";

QList<QJsonObject> Records(const StationDir& dir) {
  QList<QJsonObject> records;
  const QStringList logs =
      QDir(dir.File(QStringLiteral("Log"))).entryList({QStringLiteral("jobs-*.jsonl")});
  for (const QString& log : logs) {
    for (const QByteArray& line : dir.Read(QStringLiteral("Log/") + log).split('\n')) {
      if (!line.isEmpty()) records << QJsonDocument::fromJson(line).object();
    }
  }
  return records;
}

TEST(PhoneHostStation, EachFaultCostsOnlyTheJobItHappensIn) {
  struct Row {
    const char* name;
    QString fault;  // NAME=VALUE of the test library's environment
    const char* steps;
    const char* outcome;  // of the first job
    QString result;       // its result text begins so
    QString host;         // its record's "host" holds this
    int imeis;            // lines of IMEI.txt in the end
  };
  const Row rows[] = {
      {"abort inside the identity write", "KESTREL_TEST_PHONE_CRASH=KV_FastWriteNvInfo=abort",
       "write,write,close", "failed", "Write IMEI failed ! Error code: 7 !",
       "the host ended (signal 6 (SIGABRT)) during KV_FastWriteNvInfo", 1},
      {"a write through null inside the read-back",
       "KESTREL_TEST_PHONE_CRASH=KV_FastReadNvInfo=null", "write,write,close", "failed", "",
       ") during KV_FastReadNvInfo", 1},
      {"a hang inside the identity write, Stop pressed",
       "KESTREL_TEST_PHONE_HANG=KV_FastWriteNvInfo", "write,stop,write,close", "failed",
       "Write IMEI failed ! Error code: 6 !",
       "the station ended the host (killed): KV_FastWriteNvInfo did not return within 250 ms of "
       "KV_EndPhoneTest",
       1},
      {"a hang at KV_BeginPhoneTest", "KESTREL_TEST_PHONE_HANG=KV_BeginPhoneTest",
       "write,write,close", "failed", "Open port ",
       "the station ended the host (killed): KV_BeginPhoneTest did not return within 500 ms", 1},
      {"a hang in the probe, Stop pressed", "KESTREL_TEST_PHONE_HANG=KV_GetMsVersion",
       "write,stop,write,close", "stopped", QString::fromUtf8("המשתמש עצר!"),
       "the station ended the host (killed): KV_GetMsVersion did not return within 250 ms of "
       "KV_EndPhoneTest",
       1},
      {"the host killed from outside between jobs", QString(), "write,kill-host,write,close",
       "passed", QString::fromUtf8("עבר בהצלחה"), QString(), 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StationDir dir;
    dir.Write(QStringLiteral("Kestrel.ini"),
              kWriteIni + "[PHONE]\nLibrary=" + BinPath("libkestrel-test-phone.so").toUtf8() +
                  "\nIsolate=1\n");
    QMap<QString, QString> env{{"QT_QPA_PLATFORM", "offscreen"},
                               {"KESTREL_SYSTEM_PORTS", "0"},
                               {"KESTREL_TEST_PHONE_STATE", dir.File("phone.txt")},
                               {"KESTREL_TEST_PHONE_ONCE", dir.File("fault-done")},
                               {"KESTREL_PHONE_HOST_PROMPT_MS", "500"},
                               {"QT_PLUGIN_PATH", BinDir() + "/test-plugins"},
                               {"QT_QPA_GENERIC_PLUGINS", "kestreldriver"},
                               {"KESTREL_DRIVER_STEPS", QLatin1String(row.steps)},
                               // A hang is Stopped once the call has been blocked for 2 s.
                               {"KESTREL_DRIVER_JOB_MS", "2600"}};
    if (!row.fault.isEmpty()) env.insert(row.fault.section('=', 0, 0), row.fault.section('=', 1));
    const ChildRun r =
        RunChild(BinPath("kestrel"), {QStringLiteral("--station-dir"), dir.path()}, env, 60000);
    ASSERT_TRUE(r.finished);
    const QString err = QString::fromLocal8Bit(r.err);
    EXPECT_EQ(r.exitCode, 0) << err.toStdString();
    EXPECT_TRUE(err.endsWith("driver: close\n") || err.contains("driver: close\n"))
        << err.toStdString();
    // The window answered Stop at once: it never waits for the host.
    const QRegularExpressionMatch stop =
        QRegularExpression(QStringLiteral("driver: stop in (\\d+) ms")).match(err);
    if (stop.hasMatch()) {
      EXPECT_LT(stop.captured(1).toInt(), 1000) << err.toStdString();
      std::fprintf(stderr, "%s: Stop returned in %s ms\n", row.name,
                   stop.captured(1).toLocal8Bit().constData());
    }

    const QList<QJsonObject> records = Records(dir);
    ASSERT_EQ(records.size(), 2) << err.toStdString();
    EXPECT_EQ(records[0]["outcome"].toString(), QLatin1String(row.outcome));
    EXPECT_TRUE(records[0]["result"].toString().startsWith(row.result))
        << records[0]["result"].toString().toStdString();
    EXPECT_EQ(records[1]["outcome"].toString(), QStringLiteral("passed")) << err.toStdString();
    const QString firstHost = records[0]["host"].toString();
    const QString secondHost = records[1]["host"].toString();
    if (row.host.isEmpty()) {
      EXPECT_EQ(firstHost, QString());
      EXPECT_TRUE(secondHost.startsWith(
          QStringLiteral("the host ended (signal 9 (SIGKILL)) between calls; a new host was "
                         "started (process ")))
          << secondHost.toStdString();
    } else {
      EXPECT_TRUE(firstHost.contains(row.host)) << firstHost.toStdString();
      EXPECT_TRUE(secondHost.startsWith(QStringLiteral("a new host was started (process ")))
          << secondHost.toStdString();
    }

    // What the station recorded is what the phone holds, each IMEI once.
    const QStringList lines =
        QString::fromLatin1(dir.Read("IMEI.txt")).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), row.imeis) << dir.Read("IMEI.txt").toStdString();
    const QString last = lines.last().section(QStringLiteral("IMEI:"), 1).trimmed();
    EXPECT_TRUE(dir.Read("phone.txt").contains("imei1=" + last.toLatin1() + "\n"))
        << dir.Read("phone.txt").toStdString();
    EXPECT_EQ(records[1]["ids"].toObject()["IMEI1"].toString(), last);
    if (row.imeis == 2) {
      EXPECT_NE(lines[0], lines[1]);
    }
  }
}

}  // namespace
