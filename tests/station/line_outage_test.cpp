// Four station windows writing phones while the line database goes away: stopped for twenty
// seconds (they go on alone from their blocks and hand their outboxes on when it is back), and a
// primary stopped as a crash would with its synchronous standby promoted (they follow it without
// a restart). Afterwards the line holds every passed phone exactly once and no IMEI twice.
#include "line/line_database.h"
#include "records/result_store.h"
#include "tests/line/line_test_support.h"
#include "tests/station/line_stations.h"
#include "tests/support/test_support.h"

#include <QElapsedTimer>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>

namespace kestrel::station::testing {
namespace {

using kestrel::testing::LineServer;

// Long enough for a steady rate, short enough for the suite; the outage as long as a server's
// restart takes. Between rounds the operators change phones (the simulated phones answer at
// once, a real job takes seconds).
constexpr int kWindowMs = 3000;
constexpr int kOutageMs = 20000;
constexpr int kChangeMs = 25;

// IMEI1 and IMEI2 from the line; the fourth station also a Bluetooth address from its range.
const QByteArray kWithBluetooth =
    "BT_ADDR=1\nAutoGenerateBT_ADDR=1\nAutoGenerateBTAddrType=1\nEndAddrForBT=0a00000fffff\n";

class LineOutageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("KESTREL_SYSTEM_PORTS", "0");
    qputenv("KESTREL_OXBIND_REPLY_TIMEOUT_MS",
            QByteArray::number(kestrel::testing::ReplyTimeoutMs(250)));
    qputenv("KESTREL_OXBIND_ATTEMPTS", "2");
  }
  void TearDown() override { stations_.Clear(); }

  static bool Prepare(LineServer& server, const QString& database) {
    line::LineDatabase admin;
    admin.Configure(server.Uri(database), QString());
    return admin.Init().ok() &&
           admin.AddRange(line::LineRangeKind::Imei, 35000000000000ULL, 35000000099999ULL).ok() &&
           admin.AddRange(line::LineRangeKind::Bluetooth, 0x0a0000000000ULL, 0x0a00000fffffULL).ok();
  }

  void OpenFour(const QString& uri, const QByteArray& firstTwo = {}) {
    for (int i = 1; i <= 4; ++i) {
      stations_.Open(QStringLiteral("L1-S0%1").arg(i), 10 + i, uri, i == 4 ? kWithBluetooth : "",
                     QByteArray("ImeiBlock=10000\nAddressBlock=5000\n") + (i <= 2 ? firstTwo : QByteArray()));
    }
  }

  std::uint32_t Passed() const {
    std::uint32_t n = 0;
    for (const LineStation* s : stations_.All()) n += s->window->PassCount();
    return n;
  }

  // Rounds of one phone at each station for `ms`: phones passed a second.
  double Rate(int ms) {
    const std::uint32_t before = Passed();
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
      stations_.Write(stations_.All());
      LineStations::Wait([] { return false; }, kChangeMs);
    }
    return (Passed() - before) * 1000.0 / static_cast<double>(t.elapsed());
  }

  static line::LineLinkStatus LinkStatus(LineStation* s) {
    return s->window->ResultStore()->link(s->window->Settings()).Status();
  }

  // Every IMEI of every station's IMEI.txt, each once, is a passed IMEI of the line, and the
  // line passed nothing else: its phones are the stations' passes.
  void ExpectTheLineHoldsEveryPhoneOnce(LineServer& server, const QString& database) {
    std::set<QString> written;
    int lines = 0;
    static const QRegularExpression imei(QStringLiteral("IMEI\\d?:(\\d{15})"));
    for (const LineStation* s : stations_.All()) {
      for (const QString& line : s->ResultLines()) {
        ++lines;
        for (const auto& m : imei.globalMatch(line)) EXPECT_TRUE(written.insert(m.captured(1)).second);
      }
    }
    EXPECT_EQ(lines, static_cast<int>(Passed()));
    QString phones, list;
    ASSERT_TRUE(server.Exec(database, "SELECT count(*) FROM line_phone", &phones));
    EXPECT_EQ(phones, QString::number(Passed()));
    ASSERT_TRUE(server.Exec(database,
                            "SELECT string_agg(value, ',' ORDER BY value) FROM line_identity "
                            "WHERE kind = 'IMEI' AND state = 'passed'",
                            &list));
    EXPECT_EQ(list, QStringList(written.begin(), written.end()).join(','));
  }

  LineStations stations_;
};

TEST_F(LineOutageTest, FourStationsWorkAloneWhileTheLineIsDownAndHandEveryPhoneOnOnce) {
  LineServer* server = nullptr;
  KESTREL_REQUIRE_LINE_SERVER(server);
  ASSERT_TRUE(server->Resume());
  const QString name = server->NewDatabase();
  ASSERT_TRUE(Prepare(*server, name));
  OpenFour(server->Uri(name));
  stations_.Write(stations_.All());  // each claims its blocks
  ASSERT_EQ(Passed(), 4U) << stations_.All()[3]->window->ResultText().toStdString();

  const double before = Rate(kWindowMs);
  ASSERT_TRUE(server->Stop());
  const double during = Rate(kOutageMs);
  std::printf("phones a second, four stations: %.1f with the line database, %.1f while it was "
              "down (%.0f %%)\n",
              before, during, 100.0 * during / before);
  EXPECT_GE(during, 0.8 * before);
  for (LineStation* s : stations_.All()) {
    EXPECT_EQ(s->window->FailCount(), 0U) << s->window->ResultText().toStdString();
    EXPECT_TRUE(s->StatusLine().contains(QRegularExpression(
        "Working offline .*: \\d+ phones wait in the outbox, \\d+ IMEIs(, \\d+ BT)? left")))
        << s->StatusLine().toStdString();
  }
  EXPECT_TRUE(stations_.All()[3]->StatusLine().contains(" BT")) << "its address block too";

  ASSERT_TRUE(server->Resume());
  QElapsedTimer back;
  back.start();
  EXPECT_TRUE(LineStations::Wait(
      [&] {
        for (LineStation* s : stations_.All()) {
          if (LinkStatus(s).offline || LinkStatus(s).waiting > 0 ||
              s->StatusLine().contains("offline")) {
            return false;
          }
        }
        return true;
      },
      10000));
  std::printf("every outbox handed on %lld ms after the line database was back\n",
              static_cast<long long>(back.elapsed()));
  stations_.Write(stations_.All());  // and on with the line
  ExpectTheLineHoldsEveryPhoneOnce(*server, name);
  line::LineDatabase admin;
  admin.Configure(server->Uri(name), QString());
  QStringList status;
  ASSERT_TRUE(admin.Status(&status, 0).ok());
  EXPECT_EQ(status.filter(QRegularExpression("^outbox L1-S0\\d handed-on \\d+ refused 0 ")).size(),
            4)
      << status.join('\n').toStdString();
}

TEST_F(LineOutageTest, FourStationsFollowThePromotedStandbyWithoutARestart) {
  if (LineServer::BinDir().isEmpty()) GTEST_SKIP() << "SKIPPED: no PostgreSQL server installed";
  LineServer primary, standby;
  kestrel::testing::LineServerOptions options;
  options.conf = "wal_level = replica\nmax_wal_senders = 5\nsynchronous_commit = on\n";
  QString why;
  ASSERT_TRUE(primary.Start(&why, options)) << why.toStdString();
  const QString name = primary.NewDatabase();
  ASSERT_TRUE(Prepare(primary, name));
  ASSERT_TRUE(standby.StartStandbyOf(primary, &why)) << why.toStdString();
  // Synchronous: a confirmed phone or a claimed block is on both before a station goes on.
  ASSERT_TRUE(primary.Exec("postgres", "ALTER SYSTEM SET synchronous_standby_names = '*'"));
  ASSERT_TRUE(primary.Exec("postgres", "SELECT pg_reload_conf()"));
  ASSERT_TRUE(LineStations::Wait(
      [&] {
        QString state;
        return primary.Exec("postgres", "SELECT sync_state FROM pg_stat_replication", &state) &&
               state == "sync";
      },
      10000));

  const QString uri = QStringLiteral("postgresql://kestrel@127.0.0.1:%1,127.0.0.1:%2/%3"
                                     "?target_session_attrs=read-write&connect_timeout=2")
                          .arg(primary.port())
                          .arg(standby.port())
                          .arg(name);
  // The first two do not work alone: they refuse while no server takes writes.
  OpenFour(uri, "OfflinePhones=0\n");
  stations_.Write(stations_.All());
  stations_.Write(stations_.All());
  ASSERT_EQ(Passed(), 8U);

  ASSERT_TRUE(primary.StopImmediately());
  stations_.Write(stations_.All());
  const std::vector<LineStation*> all = stations_.All();
  EXPECT_TRUE(all[0]->window->ResultText().startsWith("Line database unreachable"));
  EXPECT_EQ(all[0]->window->PassCount() + all[1]->window->PassCount(), 4U) << "refused";
  EXPECT_EQ(all[2]->window->PassCount() + all[3]->window->PassCount(), 6U) << "alone";

  ASSERT_TRUE(standby.Promote());
  QElapsedTimer since;
  since.start();
  // A station goes on once it passes a phone with the line again.
  std::vector<qint64> wentOn(4, -1);
  while (since.elapsed() < 30000 && std::count(wentOn.begin(), wentOn.end(), -1) > 0) {
    for (int i = 0; i < 4; ++i) {
      const bool withLine = !LinkStatus(all[i]).offline;
      const std::uint32_t before = all[i]->window->PassCount();
      stations_.Write({all[i]});
      if (wentOn[i] < 0 && withLine && all[i]->window->PassCount() > before) wentOn[i] = since.elapsed();
    }
  }
  for (int i = 0; i < 4; ++i) {
    std::printf("L1-S0%d went on with the promoted standby %lld ms after the promotion\n", i + 1,
                static_cast<long long>(wentOn[i]));
    EXPECT_GE(wentOn[i], 0) << "L1-S0" << i + 1 << ": " << all[i]->window->ResultText().toStdString();
    // What waits besides (the summaries of the jobs refused meanwhile) follows within moments.
    EXPECT_TRUE(LineStations::Wait([&] { return LinkStatus(all[i]).waiting == 0; }, 10000))
        << LinkStatus(all[i]).waiting;
  }
  ExpectTheLineHoldsEveryPhoneOnce(standby, name);
}

}  // namespace
}  // namespace kestrel::station::testing
