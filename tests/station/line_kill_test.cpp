// A station process (kestrel-station-runner) killed with SIGKILL while it works alone because
// the line database is down, and again while it hands its outbox on: started again each time, it
// goes on, and at the end the line holds every phone the station recorded, each once. And killed
// between a job's record and the hand-off of its summary: started again, it hands it on, once.
#include "line/line_database.h"
#include "line/line_jobs.h"
#include "line/line_outbox.h"
#include "tests/device/phone_sim_process.h"
#include "tests/line/line_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <random>

namespace kestrel::station::testing {
namespace {

using kestrel::testing::ChildProcess;
using kestrel::testing::StationDir;

constexpr int kCom = 7;

class LineKillTest : public kestrel::testing::LineDatabaseFixture {
 protected:
  void SetUp() override {
    LineDatabaseFixture::SetUp();
    if (Unready()) return;
    line::LineDatabase admin;
    admin.Configure(uri_, QString());
    ASSERT_TRUE(admin.Init().ok());
    ASSERT_TRUE(admin.AddRange(line::LineRangeKind::Imei, 35000000000000ULL, 35000000009999ULL).ok());
    dir_.Write("Kestrel.ini",
               "[General]\nOperation Mode=1\nPort=" + QByteArray::number(kCom) +
                   "\nIMEI1=1\nIMEI2=1\nIMEI1GenMode=1\nIMEI2GenMode=2\nAutoCreateIMEI=1\n"
                   "DefaultIMEI=35123456000001\nSaveIMEI=1\nSaveToTxt=1\n"
                   "[Control]\nUser Privilege=1\nTavixNew=1\n[LINE]\nDatabase=" +
                   uri_.toLatin1() + "\nStation=K1\nImeiBlock=1000\n");
    QDir().mkpath(dir_.File("ports"));
    QDir().mkpath(dir_.File("runtime"));
    QFile::setPermissions(dir_.File("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    sim_ = std::make_unique<kestrel::testing::PhoneSimProcess>(
        dir_.File("ports"), kCom, dir_.File("phone.json"), dir_.File("phone.log"));
    ASSERT_TRUE(sim_->Start());
  }
  void TearDown() override {
    if (server_ != nullptr) server_->Resume();
  }

  // Starts the station for `jobs` jobs and reads what it says (the IMEI1 of every job it shows
  // as passed goes into shown_) until it says `until`, or to its end.
  void Run(ChildProcess* station, int jobs, int pauseMs, const QByteArray& until = {}) {
    ASSERT_TRUE(station->Start(
        kestrel::testing::BinPath("kestrel-station-runner"),
        {"--station-dir", dir_.path(), "--jobs", QString::number(jobs), "--pause-ms",
         QString::number(pauseMs), "--seed", "1"},
        {{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_RUNTIME_DIR", dir_.File("runtime")},
         {"KESTREL_SYSTEM_PORTS", "0"}, {"KESTREL_STATION_DIR", QString()}}));
    QByteArray line;
    while (station->ReadLine(&line, 60000) && !(until.size() > 0 && line.startsWith(until))) {
      const QList<QByteArray> w = line.trimmed().split(' ');
      if (w.size() > 3 && w[0] == "job" && w[2] == "start") started_[w[1]] = w[3].mid(6);
      if (w.size() > 3 && w[0] == "job" && w[2] == "end" && w[3] == "pass") shown_ << started_[w[1]];
    }
    if (until.isEmpty()) {
      EXPECT_TRUE(station->WaitFinished(30000) && station->exitCode() == 0);
    }
  }
  void Life(int jobs, int pauseMs = 0) {
    ChildProcess station;
    Run(&station, jobs, pauseMs);
  }

  QStringList ResultLines() const {
    return QString::fromLatin1(dir_.Read("IMEI.txt")).split("\r\n", Qt::SkipEmptyParts);
  }

  int Waiting() const {
    line::LineOutbox box(dir_.File("LineOutbox.txt"));
    return box.Load(nullptr) ? box.Pending() : -1;
  }

  StationDir dir_;
  std::unique_ptr<kestrel::testing::PhoneSimProcess> sim_;
  QMap<QByteArray, QByteArray> started_;
  QSet<QByteArray> shown_;
};

TEST_F(LineKillTest, KilledWhileAloneAndWhileHandingOnItLosesAndDoublesNothing) {
  Life(2);  // with the line: blocks claimed, two phones
  ASSERT_TRUE(server_->Stop());
  {
    // Killed in the middle of its fourth job alone, at a moment of the job drawn at random.
    ChildProcess station;
    Run(&station, 50, 0, "job 4 start");
    QThread::msleep(std::mt19937(27)() % 40);
    station.Kill();
  }
  Life(12);  // started again, still alone
  const int alone = Waiting();
  EXPECT_GE(alone, 2 * 12) << "each job's reservation, each pass's confirmation";

  // The line is back. One phone's values are held by an open transaction, so that the hand-off
  // stops at its entry: the station is killed there, with the entries before it handed on.
  ASSERT_TRUE(server_->Resume());
  const QStringList lines = ResultLines();
  ASSERT_GE(lines.size(), 14);
  const QString held = lines[lines.size() / 2].section("IMEI:", 1).left(15);
  int handed = 0;
  {
    QSqlDatabase blocker = QSqlDatabase::addDatabase("QPSQL", "kestrel-test-blocker");
    blocker.setHostName("127.0.0.1");
    blocker.setPort(server_->port());
    blocker.setUserName("kestrel");
    blocker.setDatabaseName(name_);
    ASSERT_TRUE(blocker.open() && blocker.transaction());
    ASSERT_TRUE(QSqlQuery(blocker).exec("INSERT INTO line_identity (kind, value, slot, station, "
                                        "state) VALUES ('IMEI', '" + held +
                                        "', 'IMEI1', 'blocker', 'reserved')"));
    ChildProcess station;
    Run(&station, 50, 20, "ready");
    const QString count = "SELECT count(*) FROM line_outbox_entry WHERE station = 'K1'";
    QElapsedTimer t;
    t.start();
    while (Sql(count) == "0" && t.elapsed() < 20000) QThread::msleep(20);
    QThread::msleep(300);  // the hand-off waits at the held entry
    handed = Sql(count).toInt();
    station.Kill();
    EXPECT_GT(handed, 0);
    EXPECT_LT(handed, alone) << "killed while handing on";
    blocker.rollback();
    blocker.close();
  }
  QSqlDatabase::removeDatabase("kestrel-test-blocker");

  // Started again it hands the rest on (the held entry too, which the line finished meanwhile),
  // and goes on with the line.
  for (int attempt = 0; attempt < 5 && Waiting() != 0; ++attempt) Life(3, 400);
  EXPECT_EQ(Waiting(), 0);
  const QStringList recorded = ResultLines();
  QSet<QString> imeis;
  QStringList quoted;
  for (const QString& l : recorded) {
    quoted << "'" + l + "'";
    for (const QString& part : l.split(", ").mid(1)) imeis << part.section(':', 1);
  }
  EXPECT_EQ(imeis.size(), 2 * recorded.size()) << "no IMEI twice";
  for (const QByteArray& shown : shown_) EXPECT_TRUE(imeis.contains(QString::fromLatin1(shown)));
  // Every recorded phone is in the line once; the line holds at most the phones the kills left
  // between its confirmation and its IMEI.txt line besides.
  const int phones = Sql("SELECT count(*) FROM line_phone WHERE station = 'K1'").toInt();
  EXPECT_LE(phones, recorded.size() + 2);
  EXPECT_EQ(Sql("SELECT count(DISTINCT record) FROM line_phone WHERE station = 'K1' AND record IN "
                "(" + quoted.join(',') + ")"),
            QString::number(recorded.size()));
  EXPECT_EQ(Sql("SELECT count(*) - count(DISTINCT record) FROM line_phone"), "0");
  std::printf("killed alone in job 4, %d entries waited; killed handing on after %d of them; %d "
              "phones recorded, %d in the line\n",
              alone, handed, static_cast<int>(recorded.size()), phones);
}

}  // namespace
}  // namespace kestrel::station::testing

namespace kestrel::station::testing {
namespace {

TEST_F(LineKillTest, KilledBetweenItsJobRecordAndTheHandOffItHandsTheSummaryOnOnceAfterItsRestart) {
  // The starts of the station's own job records.
  auto records = [&] {
    QStringList starts;
    const QDir log(dir_.File("Log"));
    for (const QString& name : log.entryList({"jobs-*.jsonl"}, QDir::Files, QDir::Name)) {
      QFile f(log.filePath(name));
      if (!f.open(QIODevice::ReadOnly)) continue;
      for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.contains("\"start\":\"")) starts << QString::fromLatin1(line.split('"').at(7));
      }
    }
    return starts;
  };
  auto inLine = [&] { return Sql("SELECT count(*) FROM line_job WHERE station = 'K1'").toInt(); };
  auto waitingSummaries = [&] {
    line::LineOutbox box(dir_.File("LineOutbox.txt"));
    return box.Load(nullptr) ? box.Pending(QLatin1String(line::kEntryJob)) : -1;
  };
  auto eventually = [](const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) QThread::msleep(10);
    return done();
  };
  Life(2);
  ASSERT_EQ(records().size(), 2);
  ASSERT_TRUE(eventually([&] { return inLine() + waitingSummaries() == 2; }, 10000));

  // Another session holds the summaries' table: the station's hand-off waits at it (for a
  // second, then the summary would go to the outbox). The station is killed as soon as the
  // record of its next job is written.
  {
    QSqlDatabase blocker = QSqlDatabase::addDatabase("QPSQL", "kestrel-test-summaries");
    blocker.setHostName("127.0.0.1");
    blocker.setPort(server_->port());
    blocker.setUserName("kestrel");
    blocker.setDatabaseName(name_);
    ASSERT_TRUE(blocker.open() && blocker.transaction());
    ASSERT_TRUE(QSqlQuery(blocker).exec("LOCK TABLE line_job IN SHARE MODE"));
    ChildProcess station;
    Run(&station, 10, 0, "job 1 end");
    ASSERT_TRUE(eventually([&] { return records().size() == 3; }, 20000));
    station.Kill();
    QThread::msleep(1500);  // the killed station's session gives its summary up
    blocker.rollback();
    blocker.close();
  }
  QSqlDatabase::removeDatabase("kestrel-test-summaries");
  ASSERT_EQ(records().size(), 3);
  ASSERT_TRUE(eventually([&] { return inLine() == 2; }, 5000));
  EXPECT_EQ(waitingSummaries(), 0) << "the third job's summary was in memory alone";

  // Started again it hands the missing summary on, once, and goes on with its own.
  Life(1);
  const QStringList own = records();
  ASSERT_EQ(own.size(), 4);
  ASSERT_TRUE(eventually([&] { return inLine() == 4; }, 15000)) << inLine();
  QStringList line;
  for (const QString& s : Sql("SELECT string_agg(to_char(started_at AT TIME ZONE 'UTC', "
                              "'YYYY-MM-DD\"T\"HH24:MI:SS.MS'), ',' ORDER BY started_at) FROM "
                              "line_job WHERE station = 'K1'")
                              .split(',')) {
    line << s;
  }
  QStringList ownUtc;
  for (const QString& s : own) {
    ownUtc << QDateTime::fromString(s, Qt::ISODateWithMs).toUTC().toString("yyyy-MM-ddTHH:mm:ss.zzz");
  }
  ownUtc.sort();
  EXPECT_EQ(line, ownUtc) << "every record of the station once";
}

}  // namespace
}  // namespace kestrel::station::testing
