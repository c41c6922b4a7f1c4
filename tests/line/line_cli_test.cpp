// kestrel-cli line as engineers and racing stations run it, against a real server.
#include "identity/imei.h"
#include "line/line_outbox.h"
#include "tests/line/line_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <vector>

using kestrel::testing::BinPath;
using kestrel::testing::ChildProcess;
using kestrel::testing::LineServer;
using kestrel::testing::StationDir;

namespace {

struct CliRun {
  int code = -1;
  QList<QByteArray> out;
  QByteArray err;  // kept for the failure messages, not echoed
};

class LineCliTest : public kestrel::testing::LineDatabaseFixture {
 protected:
  void SetUp() override {
    LineDatabaseFixture::SetUp();
    if (Unready()) return;
    ASSERT_EQ(Cli({"init"}).code, 0);
  }

  // A hundred clients connecting at once to one server on two busy cores may take longer
  // than the station's default connect time-out: these wait as long as the test does.
  std::unique_ptr<ChildProcess> Spawn(const QStringList& args) {
    auto child = std::make_unique<ChildProcess>();
    const QString uri = uri_ + (uri_.contains('?') ? "&" : "?") + "connect_timeout=60";
    EXPECT_TRUE(child->Start(BinPath("kestrel-cli"), QStringList{"line", "--database", uri} + args,
                             {{"KESTREL_STATION_DIR", dir_.path()}},
                             ChildProcess::Streams::kOutAndErr));
    return child;
  }

  static CliRun Finish(ChildProcess& child) {
    CliRun r;
    const QByteArray all = child.ReadAll(60000);
    r.code = child.exitCode();
    r.err = child.TakeErr();
    for (const QByteArray& line : all.split('\n')) {
      if (!line.isEmpty()) r.out << line;
    }
    return r;
  }

  CliRun Cli(const QStringList& args) { return Finish(*Spawn(args)); }

  // Runs every command at once and waits for them all.
  std::vector<CliRun> Race(const std::vector<QStringList>& commands) {
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (const QStringList& c : commands) children.push_back(Spawn(c));
    std::vector<CliRun> runs;
    for (auto& child : children) runs.push_back(Finish(*child));
    return runs;
  }

  StationDir dir_;
};

TEST_F(LineCliTest, ExitCodes) {
  ASSERT_EQ(Cli({"add-imei-range", "35000000000000", "100"}).code, 0);
  const QString imei = kestrel::identity::FullImei(35000000000000ULL);
  ASSERT_EQ(Cli({"reserve", "--station", "A", "IMEI1=" + imei}).code, 0);
  struct Case {
    QStringList args;
    int code;
  } cases[] = {
      {{}, 2},
      {{"frobnicate"}, 2},
      {{"add-imei-range", "35000000000050", "100"}, 3},  // overlaps
      {{"add-imei-range", "99999999999999", "2"}, 2},    // past the last body
      {{"add-address-range", "bt", "000000000010", "00000000000f"}, 2},
      {{"add-address-range", "bt", "000000000000", "0000000000ff"}, 0},
      {{"next-imei", "--count", "2"}, 2},  // no station
      {{"next-imei", "--station", "B", "--count", "0"}, 2},
      {{"reserve", "--station", "B", "IMEI1=" + imei}, 3},
      {{"reserve", "--station", "B", "IMEI1=12345"}, 2},
      {{"reserve", "--station", "B", "NAME=1"}, 2},
      {{"confirm", "--station", "A", "IMEI1=" + imei}, 0},
      {{"confirm", "--station", "A", "IMEI1=" + imei}, 3},
      {{"find", imei}, 0},
      {{"find", "000000000000000"}, 1},
      {{"import", dir_.File("missing.txt")}, 2},
      {{"status"}, 0},
  };
  for (const Case& c : cases) {
    const CliRun r = Cli(c.args);
    EXPECT_EQ(r.code, c.code) << c.args.join(' ').toStdString() << ": " << r.err.toStdString();
  }

  // Nothing listening, and a server that went away: 4, then 0 once it is back.
  ChildProcess nobody;
  ASSERT_TRUE(nobody.Start(BinPath("kestrel-cli"),
                           {"line", "--database", "postgresql://kestrel@127.0.0.1:1/x", "status"}));
  EXPECT_EQ((nobody.ReadAll(30000), nobody.exitCode()), 4);
  ASSERT_TRUE(server_->Stop());
  EXPECT_EQ(Cli({"status"}).code, 4);
  EXPECT_EQ(Cli({"reserve", "--station", "B", "SN1=X"}).code, 4);
  ASSERT_TRUE(server_->Resume());
  EXPECT_EQ(Cli({"reserve", "--station", "B", "SN1=X"}).code, 0);
}

TEST_F(LineCliTest, FiftyStationsRacingNextImeiReserveAndConfirmUseNoValueTwice) {
  ASSERT_EQ(Cli({"add-imei-range", "35000000000000", "600"}).code, 0);
  ASSERT_EQ(Cli({"add-imei-range", "36000000000000", "600"}).code, 0);
  constexpr int kStations = 50;
  constexpr int kEach = 4;
  // Fifty station names, blocks of 20: the blocks go across both ranges. (Two processes of
  // one name would wait on each other's lock on the name, a wait a loaded machine can outlast.)
  std::vector<QStringList> next;
  for (int i = 0; i < kStations; ++i) {
    next.push_back({"next-imei", "--station", QStringLiteral("S%1").arg(i), "--count",
                    QString::number(kEach)});
  }
  std::vector<CliRun> runs = Race(next);
  std::set<QByteArray> all;
  std::vector<QList<QByteArray>> perProcess;
  for (const CliRun& r : runs) {
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    ASSERT_EQ(r.out.size(), kEach);
    for (const QByteArray& imei : r.out) {
      EXPECT_TRUE(kestrel::identity::VerifyImeiCheckDigit(QString::fromLatin1(imei)));
      EXPECT_TRUE(all.insert(imei).second) << "given twice: " << imei.toStdString();
    }
    perProcess.push_back(r.out);
  }
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kStations * kEach));

  // Each process reserves its four as one phone, while a thief reserves its neighbour's first:
  // of each contested value exactly one side wins, and the winners confirm.
  std::vector<QStringList> reserve;
  for (int i = 0; i < kStations; ++i) {
    QStringList phone = {"reserve", "--station", QStringLiteral("P%1").arg(i)};
    for (int k = 0; k < kEach; ++k) {
      phone << QStringLiteral("IMEI%1=").arg(k + 1) + QString::fromLatin1(perProcess[i][k]);
    }
    reserve.push_back(phone);
    reserve.push_back({"reserve", "--station", QStringLiteral("T%1").arg(i),
                       "IMEI1=" + QString::fromLatin1(perProcess[(i + 1) % kStations][0])});
  }
  runs = Race(reserve);
  std::vector<QStringList> confirm;
  int phonesWon = 0;
  int thievesWon = 0;
  for (int i = 0; i < kStations; ++i) {
    const CliRun& phone = runs[static_cast<std::size_t>(2 * i)];
    const CliRun& thief = runs[static_cast<std::size_t>(2 * i + 1)];
    const CliRun& victim = runs[static_cast<std::size_t>(2 * ((i + 1) % kStations))];
    ASSERT_TRUE(phone.code == 0 || phone.code == 3) << phone.code << phone.err.toStdString();
    ASSERT_TRUE(thief.code == 0 || thief.code == 3) << thief.code << thief.err.toStdString();
    EXPECT_NE(thief.code == 0, victim.code == 0) << "exactly one side holds the contested value";
    if (thief.code == 3) {
      EXPECT_TRUE(thief.out.value(0).contains(
          QStringLiteral("reserved-by P%1").arg((i + 1) % kStations).toLatin1()))
          << thief.out.value(0).toStdString();
    }
    for (const int index : {2 * i, 2 * i + 1}) {
      if (runs[static_cast<std::size_t>(index)].code != 0) continue;
      QStringList c = reserve[static_cast<std::size_t>(index)];
      c[0] = "confirm";
      confirm.push_back(c);
      ++(index % 2 == 0 ? phonesWon : thievesWon);
    }
  }
  EXPECT_EQ(phonesWon + thievesWon, kStations);
  runs = Race(confirm);
  for (const CliRun& r : runs) EXPECT_EQ(r.code, 0) << r.err.toStdString();
  EXPECT_EQ(Sql("SELECT count(*) FROM line_identity WHERE state = 'passed'"),
            QString::number(phonesWon * kEach + thievesWon));
  EXPECT_EQ(Sql("SELECT count(*) FROM line_phone"), QString::number(phonesWon + thievesWon));
  EXPECT_EQ(Sql("SELECT count(*) FROM line_identity WHERE state = 'reserved'"), "0");
  // The winners' confirmations used every issued value at most once; none came from outside.
  QString issued;
  for (const QByteArray& v : all)
    issued += (issued.isEmpty() ? "'" : ",'") + QString::fromLatin1(v) + "'";
  EXPECT_EQ(Sql("SELECT count(*) FROM line_identity WHERE value NOT IN (" + issued + ")"), "0");
}

TEST_F(LineCliTest, FiftyStationsReservingOneScannedImeiExactlyOneWins) {
  const QString imei = kestrel::identity::FullImei(35678901234567ULL);
  std::vector<QStringList> commands;
  // With a shared serial number given first or last: whatever the order, no two stations wait
  // on each other (which would end one of them with a database error, exit 4).
  for (int i = 0; i < 50; ++i) {
    QStringList c = {"reserve", "--station", QStringLiteral("S%1").arg(i), "IMEI1=" + imei};
    c.insert(i % 2 == 0 ? 3 : 4, "SN1=LABEL-0001");
    commands.push_back(c);
  }
  const std::vector<CliRun> runs = Race(commands);
  int winner = -1;
  int refused = 0;
  for (int i = 0; i < 50; ++i) {
    if (runs[static_cast<std::size_t>(i)].code == 0) {
      EXPECT_EQ(winner, -1) << "two winners";
      winner = i;
    } else {
      EXPECT_EQ(runs[static_cast<std::size_t>(i)].code, 3)
          << runs[static_cast<std::size_t>(i)].err.toStdString();
      ++refused;
    }
  }
  ASSERT_GE(winner, 0);
  EXPECT_EQ(refused, 49);
  const QByteArray expected =
      ("IMEI1=" + imei + " reserved-by S" + QString::number(winner)).toLatin1();
  for (const CliRun& r : runs) {
    if (r.code == 3) {
      EXPECT_EQ(r.out.value(0), expected);
    }
  }
}

TEST_F(LineCliTest, ImportPrintsItsCounts) {
  const QString imei = kestrel::identity::FullImei(35000000000000ULL);
  const QString path =
      dir_.Write("IMEI.txt", ("2026-12-07-09-05-03, IMEI:" + imei + ", SN1:A1\r\n" + "junk\r\n" +
                              "2026-12-07-09-05-04, IMEI:" + imei + "\r\n")
                                 .toLatin1());
  const CliRun r = Cli({"import", path});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, (QList<QByteArray>{"imported 1", "skipped 2"}));
  const CliRun found = Cli({"find", "A1"});
  ASSERT_EQ(found.code, 0);
  EXPECT_TRUE(found.out.value(0).contains("station=import")) << found.out.value(0).toStdString();
}

TEST_F(LineCliTest, TheStationFolderNamesTheDatabaseAndTheStation) {
  dir_.Write("Kestrel.ini", ("[LINE]\nDatabase=" + uri_ + "\nStation=L1-S09\n").toLatin1());
  ChildProcess child;
  ASSERT_TRUE(child.Start(BinPath("kestrel-cli"),
                          {"line", "--station-dir", dir_.path(), "reserve", "SN1=FOLDER1"}));
  child.ReadAll(30000);
  ASSERT_EQ(child.exitCode(), 0);
  EXPECT_EQ(Sql("SELECT station FROM line_identity WHERE value = 'FOLDER1'"), "L1-S09");
  StationDir empty;
  ChildProcess none;
  ASSERT_TRUE(
      none.Start(BinPath("kestrel-cli"), {"line", "--station-dir", empty.path(), "status"}));
  none.ReadAll(30000);
  EXPECT_EQ(none.exitCode(), 2);
}

}  // namespace

namespace {

TEST_F(LineCliTest, AStationAccountLogsInThroughItsFilesAndActsForItselfAlone) {
  // The admin as the README makes it: a role that may create roles, owning the database.
  const QString admin = name_ + "_admin", database = name_ + "_own";
  ASSERT_TRUE(
      server_->Exec("postgres", "CREATE ROLE " + admin + " LOGIN CREATEROLE PASSWORD 'Adm1n-pw'"));
  ASSERT_TRUE(server_->Exec("postgres", "CREATE DATABASE " + database + " OWNER " + admin));
  const QString adminUri = "postgresql://" + admin +
                           ":Adm1n-pw@127.0.0.1:" + QString::number(server_->port()) + "/" +
                           database;
  const QMap<QString, QString> env = {{"KESTREL_STATION_DIR", dir_.path()},
                                      {"PGSERVICEFILE", dir_.File("pg_service.conf")},
                                      {"PGPASSFILE", dir_.File("pgpass")}};
  auto run = [&](const QString& db, const QStringList& args) {
    return kestrel::testing::RunChild(BinPath("kestrel-cli"),
                                      QStringList{"line", "--database", db} + args, env, 60000);
  };
  ASSERT_EQ(run(adminUri, {"init"}).exitCode, 0);
  ASSERT_EQ(run(adminUri, {"add-imei-range", "35000000000000", "100"}).exitCode, 0);
  const QString station = name_ + "-S";
  const auto added = run(adminUri, {"add-station", station});
  ASSERT_EQ(added.exitCode, 0) << added.err.toStdString();
  // The service section, the password-file line, Kestrel.ini's line: each after its comment.
  const QStringList out = QString::fromUtf8(added.out).split('\n', Qt::SkipEmptyParts);
  const qsizetype pass = out.indexOf(QRegularExpression("^# in the password file.*"));
  ASSERT_GT(pass, 1) << added.out.toStdString();
  ASSERT_TRUE(
      dir_.Write("pg_service.conf", out.mid(1, pass - 1).join('\n').toUtf8() + "\n").size() > 0);
  dir_.Write("pgpass", out.at(pass + 1).toUtf8() + "\n");
  QFile::setPermissions(dir_.File("pgpass"), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
  ASSERT_TRUE(out.last().startsWith("Database=service=")) << out.last().toStdString();
  const QString service = out.last().mid(QStringLiteral("Database=").size());
  EXPECT_FALSE(out.mid(0, pass).join('\n').contains("password"))
      << "only the password file holds it";

  const auto next = run(service, {"next-imei"});
  ASSERT_EQ(next.exitCode, 0) << next.err.toStdString();
  const QString imei = QString::fromUtf8(next.out).trimmed();
  const struct {
    QString database;
    QStringList args;
    int code;
  } cases[] = {
      {service, {"reserve", "IMEI1=" + imei}, 0},
      {service, {"reserve", "--station", station, "IMEI2=" + imei}, 0},  // its own name: fine
      {service, {"reserve", "--station", "L1-S99", "SN1=X"}, 3},         // another's: refused
      {service, {"release", "--station", "L1-S99"}, 3},
      {service, {"history", imei}, 3},  // the admin's
      {service, {"add-station", "L1-S98"}, 3},
      {service,
       {"import", dir_.Write("one.txt", "2026-12-07-09-05-03, IMEI:350000000000501\r\n")},
       3},
      {service, {"status"}, 0},
      {adminUri, {"history", imei}, 0},
      {adminUri, {"remove-station", station}, 3},  // it holds a reservation
  };
  for (const auto& c : cases) {
    const auto r = run(c.database, c.args);
    EXPECT_EQ(r.exitCode, c.code) << c.args.join(' ').toStdString() << ": " << r.err.toStdString();
  }
  const QString story = QString::fromUtf8(run(adminUri, {"history", imei}).out);
  EXPECT_TRUE(story.contains(" claimed " + station + " by=" + station)) << story.toStdString();
  EXPECT_TRUE(
      story.contains(" reserved " + station + " by=" + station + " from=127.0.0.1 IMEI2 " + imei))
      << story.toStdString();
  EXPECT_TRUE(QString::fromUtf8(run(service, {"status"}).out).contains(" reserved " + station));
  EXPECT_EQ(QString::fromUtf8(run(adminUri, {"list-stations"}).out).trimmed(),
            station + " account reserved 1 phones 0");
  const auto removed = run(adminUri, {"remove-station", station, "--release"});
  EXPECT_EQ(removed.exitCode, 0);
  EXPECT_EQ(QString::fromUtf8(removed.out).trimmed(), "removed " + station + ", released 1");
  EXPECT_EQ(run(service, {"status"}).exitCode, 4) << "the account is gone";

  // No message shows a password, not even of a URI that fails.
  const auto failed = run("postgresql://" + admin + ":Adm1n-pw@127.0.0.1:1/x", {"status"});
  EXPECT_EQ(failed.exitCode, 4);
  EXPECT_FALSE((failed.out + failed.err).contains("Adm1n-pw")) << failed.err.toStdString();
}

}  // namespace

TEST(LineCliOutbox, ListsWhatWaitsWhatTheLineRefusedAndWhatCannotBeRead) {
  StationDir dir;
  {
    kestrel::line::LineOutbox box(dir.File("LineOutbox.txt"));
    qint64 refused = 0;
    ASSERT_TRUE(box.Load(nullptr) &&
                box.AddBlock({3, kestrel::line::LineRangeKind::Imei, 35000000000000ULL,
                              35000000000019ULL, 35000000000000ULL, 35000000000019ULL},
                             nullptr) &&
                box.AddEntry("reserve", {{"IMEI1", "350000000000006"}}, &refused, nullptr) &&
                box.SetRefused(refused, "IMEI1 350000000000006 is reserved by L1-S02", nullptr) &&
                box.AddEntry("confirm", {{"record", "r, IMEI:350000000000022"},
                                         {"IMEI1", "350000000000022"}},
                             nullptr, nullptr));
  }
  QFile f(dir.File("LineOutbox.txt"));
  ASSERT_TRUE(f.open(QIODevice::Append) && f.write("K1 9 confirm by hand\n") > 0);
  f.close();
  ChildProcess cli;
  ASSERT_TRUE(cli.Start(BinPath("kestrel-cli"), {"line", "outbox", "--station-dir", dir.path()}));
  const QList<QByteArray> out = cli.ReadAll(30000).split('\n');
  ASSERT_EQ(cli.exitCode(), 0);
  ASSERT_GE(out.size(), 6);
  EXPECT_EQ(out[1], "waiting 1 refused 1 unreadable 1");
  EXPECT_TRUE(QRegularExpression("^entry 2 reserve refused [-0-9]{10} [:0-9]{8} IMEI1=350000000000006 "
                                 "refused: IMEI1 350000000000006 is reserved by L1-S02$")
                  .match(QString::fromLatin1(out[2]))
                  .hasMatch())
      << out[2].toStdString();
  EXPECT_TRUE(out[3].startsWith("entry 4 confirm waiting ") &&
              out[3].endsWith(" IMEI1=350000000000022 record=r, IMEI:350000000000022"))
      << out[3].toStdString();
  EXPECT_TRUE(out[4].endsWith("LineOutbox.txt:6: cut or damaged (no checksum at its end), skipped"))
      << out[4].toStdString();
  EXPECT_EQ(out[5], "block IMEI 35000000000000-35000000000019 left 17");
}
