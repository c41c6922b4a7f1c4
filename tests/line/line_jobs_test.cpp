// The job summaries in the line database, against the binary's throwaway server: each kept once
// per station and start, read back as handed on by the days of its station, a station reading
// its own and a reporting role everyone's and nothing else; the line page's rows; and a station
// of the previous build served as before.
#include "line/line_database.h"

#include "tests/line/line_test_support.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <cstdlib>
#include <tuple>

using kestrel::line::LineBoard;
using kestrel::line::LineDatabase;
using kestrel::line::LineJob;
using kestrel::line::LineResult;
using kestrel::line::LineStationAccount;
using kestrel::line::LineStatus;
using kestrel::testing::LineServer;

namespace {

LineJob Job(const QDateTime& start, const QString& outcome, const QString& message = {},
            const QString& step = {}, int code = 0) {
  LineJob j;
  j.started = start;
  j.durationMs = 30000;
  j.mode = QStringLiteral("normal");
  j.kind = QStringLiteral("write");
  j.outcome = outcome;
  j.message = message;
  j.step = step;
  j.code = code;
  return j;
}

class LineJobsTest : public kestrel::testing::LineDatabaseFixture {
 protected:
  void SetUp() override {
    LineDatabaseFixture::SetUp();
    if (Unready()) return;
    admin_.Configure(uri_, QString(), 0, kestrel::line::LineActor::None);
    const LineResult r = admin_.Init();
    ASSERT_TRUE(r.ok()) << r.message.toStdString();
  }

  // Accounts of this test's database; roles are the server's, so names carry the database's.
  LineStationAccount Add(const QString& name, bool reporter = false) {
    LineStationAccount a;
    const LineResult r = reporter ? admin_.AddReporter(name_ + "-" + name, &a)
                                  : admin_.AddStation(name_ + "-" + name, &a);
    EXPECT_TRUE(r.ok()) << r.message.toStdString();
    return a;
  }
  std::unique_ptr<LineDatabase> Login(const LineStationAccount& a, bool station = true) {
    auto db = std::make_unique<LineDatabase>();
    db->Configure(Uri(a), QString(), 0,
                  station ? kestrel::line::LineActor::Station : kestrel::line::LineActor::None);
    return db;
  }

  LineDatabase admin_;
};

}  // namespace

TEST_F(LineJobsTest, ASummaryIsKeptOnceAndReadBackByTheDaysOfItsStation) {
  const LineStationAccount k1 = Add("K1"), k2 = Add("K2"), reporter = Add("R", true);
  auto s1 = Login(k1);
  auto s2 = Login(k2);
  // 23:30 on the 9th at +01:00 is the 9th for the station; an hour later its 10th, while UTC
  // still says the 9th.
  const QDateTime t0(QDate(2026, 12, 9), QTime(23, 30, 0, 125), Qt::OffsetFromUTC, 3600);
  LineJob failed = Job(t0, "failed", "Write IMEI failed ! Error code: 34 !", "KV_FastWriteNvInfo", 34);
  failed.messageId = 106;
  failed.imei1 = QStringLiteral("350000000000017");
  LineJob passed = Job(t0.addSecs(3600), "passed", QString::fromUtf8("עבר בהצלחה"));
  LineJob timedOut = Job(t0.addSecs(7200), "timed-out", "Timeout!", {}, 0);
  timedOut.kind = QStringLiteral("read");
  timedOut.mode = QStringLiteral("calibration");
  for (const LineJob& j : {failed, passed, timedOut}) {
    bool again = true;
    const LineResult r = s1->HandOnJob(j, &again);
    ASSERT_TRUE(r.ok()) << r.message.toStdString();
    EXPECT_FALSE(again);
  }
  bool again = false;
  ASSERT_TRUE(s1->HandOnJob(failed, &again).ok());
  EXPECT_TRUE(again) << "handed on again, kept once";
  ASSERT_TRUE(s2->HandOnJob(Job(t0, "passed"), &again).ok());
  EXPECT_FALSE(again) << "another station's job of the same moment is its own";
  EXPECT_EQ(Sql("SELECT count(*) FROM line_job"), "4");

  // A station reads its own, whichever it names; as handed on.
  std::vector<LineJob> got;
  ASSERT_TRUE(s1->Jobs(k2.name, {}, {}, &got).ok());
  ASSERT_EQ(got.size(), 3U);
  const LineJob& g = got[0];
  EXPECT_EQ(g.station, k1.name);
  EXPECT_EQ(g.started, t0);
  EXPECT_EQ(g.started.offsetFromUtc(), 3600);
  EXPECT_EQ(g.started.time(), QTime(23, 30, 0, 125));
  EXPECT_EQ(std::tie(g.durationMs, g.mode, g.kind, g.outcome, g.step, g.code, g.message, g.messageId,
                     g.imei1),
            std::tie(failed.durationMs, failed.mode, failed.kind, failed.outcome, failed.step,
                     failed.code, failed.message, failed.messageId, failed.imei1));
  EXPECT_EQ(got[1].message, passed.message);
  EXPECT_TRUE(got[1].step.isEmpty() && got[1].imei1.isEmpty() && got[1].messageId == 0);
  EXPECT_EQ(std::tie(got[2].kind, got[2].mode, got[2].outcome),
            std::tie(timedOut.kind, timedOut.mode, timedOut.outcome));

  // Days are the station's.
  const QDate ninth(2026, 12, 9), tenth(2026, 12, 10);
  ASSERT_TRUE(s1->Jobs({}, ninth, ninth, &got).ok());
  EXPECT_EQ(got.size(), 1U);
  ASSERT_TRUE(s1->Jobs({}, tenth, {}, &got).ok());
  EXPECT_EQ(got.size(), 2U);
  ASSERT_TRUE(s1->Jobs({}, {}, QDate(2026, 12, 8), &got).ok());
  EXPECT_TRUE(got.empty());

  // A reporting role and the admin read every station's, or the one named.
  auto r = Login(reporter, false);
  ASSERT_TRUE(r->Jobs({}, {}, {}, &got).ok());
  EXPECT_EQ(got.size(), 4U);
  ASSERT_TRUE(r->Jobs(k2.name, {}, {}, &got).ok());
  ASSERT_EQ(got.size(), 1U);
  EXPECT_EQ(got[0].station, k2.name);
  ASSERT_TRUE(admin_.Jobs(k1.name, ninth, tenth, &got).ok());
  EXPECT_EQ(got.size(), 3U);

  // The newest of each station, from which a restarted station catches up.
  QDateTime newest;
  ASSERT_TRUE(s1->NewestJob(&newest).ok());
  EXPECT_EQ(newest.toMSecsSinceEpoch(), timedOut.started.toMSecsSinceEpoch());
  ASSERT_TRUE(s2->NewestJob(&newest).ok());
  EXPECT_EQ(newest.toMSecsSinceEpoch(), t0.toMSecsSinceEpoch());
  auto k3 = Login(Add("K3"));
  ASSERT_TRUE(k3->NewestJob(&newest).ok());
  EXPECT_FALSE(newest.isValid()) << "none held";
}

TEST_F(LineJobsTest, ASummaryOutOfFormIsRefusedAndTheConnectionGoesOn) {
  auto s = Login(Add("S"));
  const QDateTime t(QDate(2026, 12, 9), QTime(8, 0), Qt::OffsetFromUTC, 0);
  const struct {
    const char* what;
    LineJob job;
  } cases[] = {
      {"mode", [&] { LineJob j = Job(t, "passed"); j.mode = "fast"; return j; }()},
      {"kind", [&] { LineJob j = Job(t, "passed"); j.kind = "erase"; return j; }()},
      {"outcome", [&] { LineJob j = Job(t, "passed?"); return j; }()},
      {"duration", [&] { LineJob j = Job(t, "passed"); j.durationMs = -1; return j; }()},
      {"IMEI1", [&] { LineJob j = Job(t, "passed"); j.imei1 = "35000000000001'"; return j; }()},
      {"step", [&] { LineJob j = Job(t, "failed", "m", QString(200, 'S'), 1); return j; }()},
      {"message id", [&] { LineJob j = Job(t, "failed"); j.messageId = -5; return j; }()},
  };
  for (const auto& c : cases) {
    const LineResult r = s->HandOnJob(c.job);
    EXPECT_EQ(r.status, LineStatus::Refused) << c.what;
    EXPECT_TRUE(r.message.contains("out of form")) << c.what << ": " << r.message.toStdString();
  }
  EXPECT_EQ(Sql("SELECT count(*) FROM line_job"), "0");
  // A message longer than the line keeps is cut; the connection took it after the refusals.
  const LineResult r = s->HandOnJob(Job(t, "failed", QString(600, QChar(0x05D0))));
  ASSERT_TRUE(r.ok()) << r.message.toStdString();
  EXPECT_EQ(Sql("SELECT char_length(message) FROM line_job"), "500");
}

TEST_F(LineJobsTest, AReportingRoleReadsTheSummariesAndNothingElse) {
  const LineStationAccount station = Add("S"), reporter = Add("R", true);
  auto s = Login(station);
  const QDateTime now = QDateTime::currentDateTimeUtc();
  ASSERT_TRUE(s->HandOnJob(Job(now.addSecs(-60), "passed")).ok());
  QString value;
  const struct {
    const char* sql;
    const char* code;  // "" when it runs
  } cases[] = {
      {"SELECT count(*) FROM line_jobs(NULL, NULL, NULL)", ""},
      {"SELECT count(*) FROM line_board(3600)", ""},
      {"SELECT * FROM line_job", "42501"},
      {"SELECT * FROM line_phone", "42501"},
      {"SELECT * FROM line_identity", "42501"},
      {"SELECT * FROM line_event", "42501"},
      {"SELECT line_status(5)", "42501"},
      {"SELECT * FROM line_reserve(NULL, '{IMEI1}', '{350000000000017}')", "42501"},
      {"SELECT line_hand_on_job(NULL, now(), 0, 1, 'normal', 'write', 'passed', NULL, NULL, NULL, "
       "NULL, NULL)",
       "42501"},
      {"SELECT * FROM line_open_session('S', false, true, 0, 4)", "42501"},
      {"INSERT INTO line_job (station, started_at, utc_offset, duration_ms, mode, kind, outcome) "
       "VALUES ('x', now(), 0, 1, 'normal', 'write', 'passed')",
       "42501"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(As(reporter, QLatin1String(c.sql)), QLatin1String(c.code)) << c.sql;
  }
  ASSERT_EQ(As(reporter, "SELECT count(*) FROM line_jobs(NULL, NULL, NULL)", &value), "");
  EXPECT_EQ(value, "1");
  // Through the library: a session for no station; the board read, a reservation refused.
  auto r = Login(reporter, false);
  LineBoard board;
  ASSERT_TRUE(r->Board(3600, &board).ok());
  EXPECT_FALSE(r->Reserve({{"IMEI1", "350000000000017"}}).ok());
  // A station may not read the page; a station of the previous build (3) is served as before.
  EXPECT_EQ(As(station, "SELECT count(*) FROM line_board(3600)"), "42501");
  ASSERT_EQ(As(station, "SELECT serves FROM line_open_session(NULL, false, false, 0, 3)", &value), "");
  EXPECT_EQ(value, "true");
}

TEST_F(LineJobsTest, TheBoardTellsEachStationsLastHourLastPassAndLastFailure) {
  const LineStationAccount a = Add("A"), b = Add("B"), idle = Add("C");
  auto sa = Login(a);
  auto sb = Login(b);
  const QDateTime now = QDateTime::currentDateTimeUtc();
  const QDateTime at2 = now.addSecs(-600).toOffsetFromUtc(7200);
  // A: two passes and a failure in the hour, a pass and a failure before it.
  for (const LineJob& j :
       {Job(now.addSecs(-7200), "passed"), Job(now.addSecs(-7000), "failed", "old", "KV_X", 1),
        Job(now.addSecs(-1200), "passed"), Job(at2, "failed", "Write IMEI failed ! Error code: 34 !",
                                               "KV_FastWriteNvInfo", 34),
        Job(now.addSecs(-300), "passed"), Job(now.addSecs(-200), "stopped")}) {
    ASSERT_TRUE(sa->HandOnJob(j).ok());
  }
  // B: time-outs only; a station without an account whose last job is two days old is left out.
  ASSERT_TRUE(sb->HandOnJob(Job(now.addSecs(-100), "timed-out", "Timeout!")).ok());
  LineDatabase named;
  named.Configure(server_->Uri(name_), "gone");
  ASSERT_TRUE(named.HandOnJob(Job(now.addDays(-2), "passed")).ok());

  LineBoard board;
  ASSERT_TRUE(admin_.Board(3600, &board).ok());
  ASSERT_EQ(board.stations.size(), 3U);
  const auto& ta = board.stations[0];
  EXPECT_EQ(ta.station, a.name);
  EXPECT_EQ(std::tie(ta.phones, ta.passed), std::make_tuple(qint64{3}, qint64{2}));
  EXPECT_NEAR(ta.sincePassS, 300 - 30, 20) << "the end of the last passed job";
  EXPECT_EQ(ta.failedAt, at2);
  EXPECT_EQ(ta.failedAt.offsetFromUtc(), 7200);
  EXPECT_EQ(std::tie(ta.failedOutcome, ta.failedStep, ta.failedCode, ta.failedMessage),
            std::make_tuple(QString("failed"), QString("KV_FastWriteNvInfo"), 34,
                            QString("Write IMEI failed ! Error code: 34 !")));
  const auto& tb = board.stations[1];
  EXPECT_EQ(std::tie(tb.phones, tb.passed), std::make_tuple(qint64{1}, qint64{0}));
  EXPECT_FALSE(tb.lastPass.isValid());
  EXPECT_EQ(tb.failedOutcome, "timed-out");
  const auto& tc = board.stations[2];
  EXPECT_EQ(tc.station, idle.name);
  EXPECT_EQ(tc.phones, 0);
  EXPECT_FALSE(tc.lastPass.isValid() || tc.failedAt.isValid());
  EXPECT_LT(std::abs(board.at.secsTo(now)), 60);
}
