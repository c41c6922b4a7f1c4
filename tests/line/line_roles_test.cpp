// The line database's roles, against the binary's throwaway server: a station logs in as a
// role of its own that can do nothing but call the schema's functions, for itself alone; every
// argument is data; the events tell each identity's story.
#include "line/line_database.h"

#include "identity/imei.h"
#include "tests/line/line_test_support.h"
#include "tests/support/test_support.h"

#include <QFile>
#include <QUrl>

#include <gtest/gtest.h>

using kestrel::line::LineActor;
using kestrel::line::LineDatabase;
using kestrel::line::LineRangeKind;
using kestrel::line::LineResult;
using kestrel::line::LineStationAccount;
using kestrel::line::LineStatus;
using kestrel::testing::LineServer;

namespace {

class LineRolesTest : public kestrel::testing::LineDatabaseFixture {
 protected:
  void SetUp() override {
    LineDatabaseFixture::SetUp();
    if (Unready()) return;
    admin_.Configure(uri_, QString());
    const LineResult r = admin_.Init();
    ASSERT_TRUE(r.ok()) << r.message.toStdString();
  }

  // A station account of this test's database; roles are the server's, so the name carries
  // the database's.
  LineStationAccount Add(const QString& station) {
    LineStationAccount a;
    const LineResult r = admin_.AddStation(name_ + "-" + station, &a);
    EXPECT_TRUE(r.ok()) << r.message.toStdString();
    return a;
  }
  std::unique_ptr<LineDatabase> Login(const LineStationAccount& a, const QString& station = {},
                                      LineActor actor = LineActor::Station) {
    auto db = std::make_unique<LineDatabase>();
    db->Configure(Uri(a), station, 0, actor);
    return db;
  }

  LineDatabase admin_;
};

QString Imei(std::uint64_t body) {
  return kestrel::identity::FullImei(body);
}

}  // namespace

TEST_F(LineRolesTest, AStationHoldsNoTableRightsAndPublicNothing) {
  const LineStationAccount s = Add("S");
  ASSERT_TRUE(admin_.AddRange(LineRangeKind::Imei, 35000000000000ULL, 35000000000099ULL).ok());
  // Something in every table, so that a refused statement cannot pass for one that met nothing.
  auto station = Login(s);
  std::uint64_t first = 0;
  ASSERT_TRUE(station->NextRun(LineRangeKind::Imei, 1, 20, &first).ok());
  ASSERT_TRUE(station->Reserve({{"IMEI1", Imei(first)}}).ok());
  ASSERT_TRUE(station->Confirm({{"IMEI1", Imei(first)}}, "s", "l").ok());
  station->Close();

  const struct {
    const char* table;
    const char* column;
  } tables[] = {{"line_schema", "version"}, {"line_range", "id"},      {"line_block", "id"},
                {"line_phone", "id"},       {"line_identity", "kind"}, {"line_station", "name"},
                {"line_event", "id"}};
  for (const auto& t : tables) {
    const QString table = QString::fromLatin1(t.table), column = QString::fromLatin1(t.column);
    for (const QString& sql :
         {"INSERT INTO " + table + " DEFAULT VALUES",
          "UPDATE " + table + " SET " + column + " = " + column, "DELETE FROM " + table,
          "TRUNCATE " + table, "SELECT * FROM " + table}) {
      EXPECT_EQ(As(s, sql), "42501") << sql.toStdString();
    }
  }
  // Nor the admin's functions, a temporary table, or a function of its own in the schema.
  for (const QString& sql :
       {QStringLiteral("SELECT line_add_station('x', 'y')"),
        QStringLiteral("SELECT line_history('x')"), QStringLiteral("SELECT * FROM line_stations()"),
        QStringLiteral("SELECT line_remove_station('%1', true)").arg(s.name),
        QStringLiteral("SELECT line_claim_block('%1', 1::smallint, 100)").arg(s.name),
        QStringLiteral("CREATE TEMP TABLE t (x int)"),
        QStringLiteral("CREATE FUNCTION public.line_evil(smallint) RETURNS text LANGUAGE sql "
                       "AS 'SELECT 1::text'")}) {
    EXPECT_EQ(As(s, sql), "42501") << sql.toStdString();
  }
  EXPECT_EQ(As(s, "SELECT * FROM line_held(NULL)"), "");
  EXPECT_EQ(Sql("SELECT count(*) FROM line_identity"), "1");
  // PUBLIC may execute no function of the schema (NULL privileges are the default: PUBLIC may).
  EXPECT_EQ(Sql("SELECT count(*) FROM pg_proc WHERE pronamespace = 'public'::regnamespace AND "
                "(proacl IS NULL OR array_to_string(proacl, ',') ~ '(^|,)=X')"),
            "0");
  // A role that is no station does not get in at all.
  Sql(QStringLiteral("CREATE ROLE \"%1-nobody\" LOGIN PASSWORD 'pw'").arg(name_));
  const LineStationAccount nobody{name_ + "-nobody", "pw", {}, {}, {}};
  EXPECT_TRUE(As(nobody, "SELECT 1").contains("permission denied for database"));
  // The history is append-only even for the admin.
  EXPECT_FALSE(server_->Exec(name_, "UPDATE line_event SET detail = 'x'"));
  EXPECT_FALSE(server_->Exec(name_, "DELETE FROM line_event"));
  EXPECT_FALSE(server_->Exec(name_, "TRUNCATE line_event"));
}

TEST_F(LineRolesTest, AStationActsOnlyForItself) {
  const LineStationAccount a = Add("A"), b = Add("B");
  auto stationA = Login(a);
  auto stationB = Login(b, a.name);  // Kestrel.ini's Station= names A: B is still B
  const QString held = Imei(35000000000001ULL), mine = Imei(35000000000002ULL);
  ASSERT_TRUE(stationB->Reserve({{"IMEI1", held}}).ok());
  EXPECT_EQ(stationB->ActingStation(), b.name);
  EXPECT_EQ(Sql("SELECT station FROM line_identity WHERE value = '" + held + "'"), b.name);

  // A cannot confirm B's reservation, nor name B in any call.
  const LineResult confirm = stationA->Confirm({{"IMEI1", held}}, "s", "l");
  EXPECT_EQ(confirm.status, LineStatus::Refused);
  EXPECT_EQ(confirm.holder, b.name);
  for (const QString& sql :
       {QStringLiteral("SELECT line_release('%1')"),
        QStringLiteral("SELECT * FROM line_confirm('%1', '{IMEI1}', '{%2}', 's', 'l')"),
        QStringLiteral("SELECT * FROM line_reserve('%1', '{IMEI1}', '{%2}')"),
        QStringLiteral("SELECT * FROM line_held('%1')"),
        QStringLiteral("SELECT line_next_run('%1', 1::smallint, 1, 20)"),
        QStringLiteral("SELECT * FROM line_open('%1', true, true, 0)")}) {
    EXPECT_EQ(As(a, sql.arg(b.name, held)), "42501") << sql.toStdString();
  }
  auto namedB = Login(a, b.name, LineActor::Named);
  const LineResult named = namedB->Connect();
  EXPECT_EQ(named.status, LineStatus::Refused);
  EXPECT_TRUE(named.message.contains("may not act for")) << named.message.toStdString();
  int released = -1;
  ASSERT_TRUE(stationA->Reserve({{"IMEI1", mine}}).ok());
  ASSERT_TRUE(stationA->Release(&released).ok());
  EXPECT_EQ(released, 1);
  EXPECT_EQ(Sql("SELECT count(*) FROM line_identity WHERE state = 'reserved'"), "1") << "B's stays";

  // One live connection per role, whoever asks for the name; the admin may act for it once free.
  auto secondA = Login(a);
  EXPECT_EQ(secondA->Connect().status, LineStatus::Unreachable);
  LineDatabase adminForA;
  adminForA.Configure(server_->Uri(name_), a.name, 0, LineActor::Named);
  EXPECT_EQ(adminForA.Connect().status, LineStatus::Unreachable);
  stationA->Close();
  // The server lets go of the closed connection's lock a moment later: wait for it, as a
  // station does.
  adminForA.Configure(server_->Uri(name_), a.name, 3000, LineActor::Named);
  ASSERT_TRUE(adminForA.Reserve({{"SN1", "BY-ADMIN"}}).ok());
  EXPECT_EQ(Sql("SELECT station || ' ' || actor FROM line_event WHERE value = 'BY-ADMIN'"),
            a.name + " kestrel");

  // A station of another line on the same server is no station here.
  const QString other = server_->NewDatabase();
  LineDatabase otherAdmin;
  otherAdmin.Configure(server_->Uri(other), QString());
  ASSERT_TRUE(otherAdmin.Init().ok());
  LineStationAccount stranger;
  ASSERT_TRUE(otherAdmin.AddStation(other + "-X", &stranger).ok());
  auto intruder = Login(stranger);
  const LineResult refused = intruder->Connect();
  EXPECT_EQ(refused.status, LineStatus::Refused);
  EXPECT_TRUE(refused.message.contains("not a station of this line"))
      << refused.message.toStdString();
}

TEST_F(LineRolesTest, EveryArgumentIsTakenAsData) {
  const QString evil[] = {
      "x'); DROP TABLE line_identity; --",
      "'||(SELECT version())||'",
      "a\\'b\"c;",
      "$1$$; DELETE FROM line_phone; $$",
      "%I %L %s",
      "\"; DROP ROLE kestrel_station; --",
  };
  int n = 0;
  for (const QString& text : evil) {
    // Through the station name (the role), a value, the stamp and the record.
    const LineStationAccount a = Add(QString::number(++n) + text);
    ASSERT_FALSE(a.name.isEmpty());
    auto s = Login(a);
    const QString value = QString(text).remove(' ');
    const LineResult reserved = s->Reserve({{"SN1", value}});
    ASSERT_TRUE(reserved.ok()) << text.toStdString() << ": " << reserved.message.toStdString();
    ASSERT_TRUE(s->Confirm({{"SN1", value}}, text, text).ok()) << text.toStdString();
    EXPECT_EQ(s->ActingStation(), a.name);
    QStringList story;
    ASSERT_TRUE(admin_.History(value, &story).ok());
    ASSERT_EQ(story.size(), 2) << story.join('\n').toStdString();
    EXPECT_TRUE(story[1].contains(" confirmed " + a.name + " by=" + a.name))
        << story[1].toStdString();
    QStringList none;
    ASSERT_TRUE(admin_.History(value + "' OR '1'='1", &none).ok());
    EXPECT_TRUE(none.isEmpty());
    std::vector<kestrel::line::LineFound> found;
    ASSERT_TRUE(admin_.Find(value, &found).ok());
    ASSERT_EQ(found.size(), 1U);
    EXPECT_EQ(found[0].record, text);
    s->Close();
    int released = -1;
    ASSERT_TRUE(admin_.RemoveStation(a.name, false, &released).ok()) << text.toStdString();
  }
  // Straight into the functions: text where a slot, a number or a name is due is refused as
  // text, never run.
  const LineStationAccount s = Add("raw");
  const struct {
    const char* sql;
    const char* code;
  } calls[] = {
      {"SELECT * FROM line_reserve(NULL, ARRAY['IMEI1'';--'], ARRAY['350000000000001'])", "KL001"},
      {"SELECT * FROM line_reserve(NULL, ARRAY['SN1'], ARRAY['x''); DELETE FROM line_phone; --'])",
       "KL001"},
      {"SELECT * FROM line_reserve(NULL, ARRAY['SN1', 'SN2'], ARRAY['x'])", "KL001"},
      {"SELECT * FROM line_confirm(NULL, ARRAY['SN1'], ARRAY['ok'], ''');DROP TABLE "
       "line_phone;--', "
       "'$$')",
       ""},
      {"SELECT line_next_run(NULL, 9::smallint, 1, 20)", "KL001"},
      {"SELECT line_allocate(NULL, 1::smallint, 1000000, 20)", "KL001"},
      {"SELECT line_status(-1)", ""},
      {"SELECT * FROM line_open(''' OR 1=1 --', false, true, 0)", ""},
  };
  for (const auto& c : calls) EXPECT_EQ(As(s, c.sql), c.code) << c.sql;
  EXPECT_EQ(Sql("SELECT count(*) FROM line_phone"), QString::number(std::size(evil) + 1));
  EXPECT_EQ(Sql("SELECT count(*) FROM pg_roles WHERE rolname = 'kestrel_station'"), "1");
  // A name no role can have is refused, not cut.
  LineStationAccount refused;
  EXPECT_EQ(admin_.AddStation(QString(64, 'x'), &refused).status, LineStatus::Refused);
  EXPECT_EQ(admin_.AddStation(s.name, &refused).status, LineStatus::Refused) << "exists already";
}

TEST_F(LineRolesTest, HistoryAndStatusTellWhatHappenedByWhomAndFromWhere) {
  const LineStationAccount a = Add("A"), b = Add("B");
  ASSERT_TRUE(admin_.AddRange(LineRangeKind::Imei, 35000000000000ULL, 35000000000099ULL).ok());
  auto stationA = Login(a);
  auto stationB = Login(b);
  std::uint64_t body = 0;
  ASSERT_TRUE(stationA->NextRun(LineRangeKind::Imei, 1, 20, &body).ok());
  const QString imei = Imei(body);
  ASSERT_TRUE(stationA->Reserve({{"IMEI1", imei}}).ok());
  ASSERT_TRUE(stationA->Reserve({{"IMEI2", Imei(body + 1)}}).ok());  // the first goes again
  // Free again, but in A's block: no other station may have it, so that A can go on alone.
  const LineResult inBlock = stationB->Reserve({{"IMEI1", imei}});
  EXPECT_EQ(inBlock.state, "block");
  EXPECT_EQ(inBlock.holder, a.name);
  EXPECT_EQ(stationB->Confirm({{"IMEI1", imei}}, "stamp", "line").state, "block");
  ASSERT_TRUE(stationA->Reserve({{"IMEI1", imei}}).ok());
  ASSERT_TRUE(stationA->Confirm({{"IMEI1", imei}}, "stamp", "line").ok());
  ASSERT_TRUE(stationB->Reserve({{"IMEI1", Imei(35000000000090ULL)}}).ok());  // in no block
  ASSERT_TRUE(stationB->Confirm({{"IMEI1", Imei(35000000000090ULL)}}, "stamp", "line").ok());
  QStringList story;
  ASSERT_TRUE(admin_.History(imei, &story).ok());
  const char* expected[][2] = {{" claimed ", "35000000000000-35000000000019"},
                               {" reserved ", "IMEI1"},
                               {" released ", "not reserved again"},
                               {" reserved ", "IMEI1"},
                               {" confirmed ", "IMEI1"}};
  ASSERT_EQ(story.size(), static_cast<qsizetype>(std::size(expected)))
      << story.join('\n').toStdString();
  for (qsizetype i = 0; i < story.size(); ++i) {
    const QString& who = a.name;
    EXPECT_TRUE(story[i].contains(QString::fromLatin1(expected[i][0]) + who + " by=" + who +
                                  " from=127.0.0.1"))
        << story[i].toStdString();
    EXPECT_TRUE(story[i].contains(QString::fromLatin1(expected[i][1]))) << story[i].toStdString();
  }
  // The admin's status ends with the last events of all; a station's with its own.
  QStringList all, own;
  ASSERT_TRUE(admin_.Status(&all, 3).ok());
  ASSERT_TRUE(stationA->Status(&own, 3).ok());
  EXPECT_TRUE(all.last().contains(" confirmed " + b.name)) << all.join('\n').toStdString();
  EXPECT_EQ(all.filter("event ").size(), 3);
  EXPECT_TRUE(own.filter("event ").size() == 3 && own.filter(b.name + " by=").isEmpty())
      << own.join('\n').toStdString();
  EXPECT_TRUE(own.contains(QStringLiteral("station %1 reserved 0 passed 1 phones 1").arg(b.name)));
}

namespace {

QByteArray ReadSource(const QString& path) {
  QFile f(kestrel::testing::SourceDir() + QLatin1Char('/') + path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

TEST_F(LineRolesTest, InitUpgradesADatabaseFilledByTheVersion1BuildKeepingEverything) {
  const QString old = server_->NewDatabase();
  const QByteArray schema = ReadSource("tests/line/line_v1/schema.sql");
  const QByteArray fill = ReadSource("tests/line/line_v1/fill.sql");
  ASSERT_FALSE(schema.isEmpty());
  ASSERT_FALSE(fill.isEmpty());
  ASSERT_TRUE(server_->Exec(old, QString::fromUtf8(schema)));
  ASSERT_TRUE(server_->Exec(old, QString::fromUtf8(fill)));
  const QString everything = QStringLiteral(
      "SELECT (SELECT string_agg(concat_ws(',', kind, first_value, last_value, next_value), ';' "
      "ORDER BY id) FROM line_range) || '|' || (SELECT string_agg(concat_ws(',', station, "
      "first_value, last_value, next_value), ';' ORDER BY id) FROM line_block) || '|' || (SELECT "
      "string_agg(concat_ws(',', kind, value, slot, station, state, phone_id), ';' ORDER BY kind, "
      "value) FROM line_identity) || '|' || (SELECT string_agg(concat_ws(',', station, stamp, "
      "record, source_line), ';' ORDER BY id) FROM line_phone)");
  QString before, after, version;
  ASSERT_TRUE(server_->Exec(old, everything, &before));
  ASSERT_TRUE(before.contains("L1-S02,IMEI1") || before.contains("IMEI1,L1-S02"))
      << before.toStdString();

  // A station of the old build is refused until init; init brings the schema up in place.
  LineDatabase admin;
  admin.Configure(server_->Uri(old), QString());
  EXPECT_TRUE(admin.Connect().message.contains("schema version 1"))
      << admin.Connect().message.toStdString();
  int v = 0;
  ASSERT_TRUE(admin.Init(&v).ok());
  EXPECT_EQ(v, kestrel::line::LineSchemaVersion());
  ASSERT_TRUE(server_->Exec(old, everything, &after));
  EXPECT_EQ(after, before);
  ASSERT_TRUE(server_->Exec(old, "SELECT version FROM line_schema", &version));
  EXPECT_EQ(version, QString::number(v));

  // The old names are listed without accounts until add-station makes them roles.
  std::vector<kestrel::line::LineStationInfo> names;
  ASSERT_TRUE(admin.ListStations(&names).ok());
  ASSERT_EQ(names.size(), 3U);
  EXPECT_EQ(names[0].name, "L1-S01");
  EXPECT_FALSE(names[0].account);
  EXPECT_EQ(names[0].phones, 1);
  EXPECT_EQ(names[1].name, "L1-S02");
  EXPECT_EQ(names[1].reserved, 1);
  EXPECT_EQ(names[2].name, "import");
  LineStationAccount s1, s2;
  ASSERT_TRUE(admin.AddStation("L1-S01", &s1).ok());
  ASSERT_TRUE(admin.AddStation("L1-S02", &s2).ok());
  names.clear();
  ASSERT_TRUE(admin.ListStations(&names).ok());
  EXPECT_TRUE(names[0].account && names[1].account && !names[2].account);

  // Each goes on where it was: S02 finds and passes the reservation it left, S01 takes the
  // next body of its old block and cannot have S02's value.
  auto login = [&](const LineStationAccount& a) {
    auto db = std::make_unique<LineDatabase>();
    db->Configure(QStringLiteral("postgresql://%1:%2@127.0.0.1:%3/%4")
                      .arg(a.name, a.password)
                      .arg(server_->port())
                      .arg(old),
                  QString(), 0);
    return db;
  };
  auto station2 = login(s2);
  kestrel::line::LineItems held;
  ASSERT_TRUE(station2->Reservations(&held).ok());
  ASSERT_EQ(held.size(), 1U);
  EXPECT_EQ(held[0].value, "350000000000204");
  ASSERT_TRUE(station2->Confirm(held, "s", "l").ok());
  auto station1 = login(s1);
  std::uint64_t next = 0;
  ASSERT_TRUE(station1->NextRun(LineRangeKind::Imei, 1, 20, &next).ok());
  EXPECT_EQ(next, 35000000000002ULL);
  const LineResult taken = station1->Reserve({{"IMEI1", "350000000000204"}});
  EXPECT_EQ(taken.holder, "L1-S02");
  EXPECT_EQ(taken.state, "passed");
  EXPECT_EQ(station1->Reserve({{"IMEI1", "350000000000006"}}).state, "passed")
      << "its own old phone";
  QStringList story;
  ASSERT_TRUE(admin.History("350000000000204", &story).ok());
  ASSERT_FALSE(story.isEmpty());
  EXPECT_TRUE(story.last().contains(" confirmed L1-S02 by=L1-S02"))
      << story.join('\n').toStdString();
}

TEST_F(LineRolesTest, AStationOfTheVersion2BuildKeepsWorkingOnThisSchema) {
  const LineStationAccount s = Add("old");
  ASSERT_TRUE(admin_.AddRange(LineRangeKind::Imei, 35000000000000ULL, 35000000000099ULL).ok());
  // The calls of the version-2 build, as it makes them, on one connection of its own.
  QStringList answers;
  {
    QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", "kestrel-test-old-build");
    db.setHostName("127.0.0.1");
    db.setPort(server_->port());
    db.setDatabaseName(name_);
    db.setUserName(s.name);
    db.setPassword(s.password);
    ASSERT_TRUE(db.open()) << db.lastError().text().toStdString();
    QSqlQuery q(db);
    ASSERT_TRUE(q.exec("SELECT version FROM line_open(NULL, false, true, 0)") && q.next());
    EXPECT_EQ(q.value(0).toInt(), 2) << "what that build checks for";
    ASSERT_TRUE(q.exec("SELECT line_next_run(NULL, 1::smallint, 2, 20)") && q.next());
    const std::uint64_t body = q.value(0).toULongLong();
    const QString ids = "'{IMEI1,IMEI2}'::text[], '{" + Imei(body) + "," + Imei(body + 1) + "}'";
    for (const QString& sql :
         QStringList{"SELECT slot FROM line_reserve(NULL, " + ids + ")",
                     "SELECT slot FROM line_held(NULL)",
                     "SELECT slot FROM line_confirm(NULL, " + ids + ", 's', 'old build')",
                     "SELECT slot FROM line_held(NULL)", "SELECT line_release(NULL)"}) {
      ASSERT_TRUE(q.exec(sql)) << sql.toStdString() << q.lastError().text().toStdString();
      QStringList rows;
      while (q.next()) rows << q.value(0).toString();
      answers << rows.join(',');
    }
    db.close();
  }
  QSqlDatabase::removeDatabase("kestrel-test-old-build");
  EXPECT_EQ(answers, (QStringList{"", "IMEI1,IMEI2", "", "", "0"}));
  EXPECT_EQ(Sql("SELECT count(*) FROM line_phone WHERE record = 'old build'"), "1");
}
