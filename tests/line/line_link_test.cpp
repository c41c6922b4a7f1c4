// A station's link to the line database against the binary's throwaway server: it goes on alone
// from its blocks while the server is down, starts again alone from its outbox, refuses what
// needs the line's word, and hands the outbox on in order and once when the server is back.
#include "line/line_link.h"
#include "line/line_outbox.h"

#include "identity/imei.h"
#include "identity/number_text.h"
#include "tests/line/line_test_support.h"
#include "tests/support/test_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

using kestrel::line::LineDatabase;
using kestrel::line::LineItems;
using kestrel::line::LineLink;
using kestrel::line::LineLinkOptions;
using kestrel::line::LineRangeKind;
using kestrel::line::LineResult;
using kestrel::line::LineStatus;
using kestrel::testing::LineServer;
using kestrel::testing::StationDir;

namespace {

QString Imei(std::uint64_t body) {
  return kestrel::identity::FullImei(body);
}

QString Bt(std::uint64_t value) {
  return QStringLiteral("%1").arg(value, 12, 16, QLatin1Char('0'));
}

class LineLinkTest : public kestrel::testing::LineDatabaseFixture {
 protected:
  void SetUp() override {
    LineDatabaseFixture::SetUp();
    if (Unready()) return;
    LineDatabase admin;
    admin.Configure(uri_, QString());
    ASSERT_TRUE(admin.Init().ok());
    ASSERT_TRUE(admin.AddRange(LineRangeKind::Imei, 35000000000000ULL, 35000000000999ULL).ok());
    ASSERT_TRUE(admin.AddRange(LineRangeKind::Bluetooth, 0xa0000000ULL, 0xa00000ffULL).ok());
  }
  void TearDown() override {
    if (server_ != nullptr) server_->Resume();
  }

  std::unique_ptr<LineLink> Link(const QString& station, const QString& outbox,
                                 int offlinePhones = -1) {
    LineLinkOptions o;
    o.uri = server_->Uri(name_);
    o.station = station;
    o.outboxPath = dir_.File(outbox);
    o.imeiBlock = 40;
    o.addressBlock = 10;
    o.offlinePhones = offlinePhones;
    o.retryMs = 100;
    o.stationLockWaitMs = 5000;
    return std::make_unique<LineLink>(o);
  }

  // One phone as a station prepares it: IMEI1 and IMEI2 from a run of two, BT from a run of one.
  static LineItems Phone(LineLink& link, LineResult* r) {
    std::uint64_t body = 0, bt = 0;
    *r = link.NextRun(LineRangeKind::Imei, 2, &body);
    if (r->ok()) *r = link.NextRun(LineRangeKind::Bluetooth, 1, &bt);
    return {{"IMEI1", Imei(body)}, {"IMEI2", Imei(body + 1)}, {"BT", Bt(bt)}};
  }

  // A phone prepared, reserved and passed; false with the step's message.
  static bool Pass(LineLink& link, LineItems* written, QString* why) {
    LineResult r;
    *written = Phone(link, &r);
    if (r.ok()) r = link.Reserve(*written);
    if (r.ok()) r = link.Confirm(*written, "stamp", "record " + written->front().value);
    *why = r.message;
    return r.ok();
  }

  StationDir dir_;
};

}  // namespace

TEST_F(LineLinkTest, AStationGoesOnAloneFromItsBlocksAndHandsItsOutboxOnInOrderOnce) {
  auto a = Link("A", "a.txt");
  auto capped = Link("C", "c.txt", 1);
  LineItems online, failed, cappedPhone;
  QString why;
  LineResult r;
  for (LineLink* link : {a.get(), capped.get()}) {
    ASSERT_TRUE(link->Open().ok());
    ASSERT_TRUE(Pass(*link, &online, &why)) << why.toStdString();
  }
  failed = Phone(*a, &r);
  ASSERT_TRUE(r.ok() && a->Reserve(failed).ok()) << "a job reserved and never passed";
  EXPECT_TRUE(kestrel::line::LineLinkStatusText(a->Status()).isEmpty());

  ASSERT_TRUE(server_->Stop());
  std::vector<LineItems> alone(3);
  for (LineItems& phone : alone) ASSERT_TRUE(Pass(*a, &phone, &why)) << why.toStdString();
  EXPECT_EQ(alone[0][0].value, Imei(kestrel::identity::ReadDecimal(failed[0].value) / 10 + 2))
      << "the run after the unfinished job's, which may be in a phone";
  EXPECT_EQ(alone[0][2].value, Bt(failed[2].value.toULongLong(nullptr, 16) + 1));
  EXPECT_EQ(a->Status().waitingPhones, 3);
  EXPECT_EQ(a->Status().imeisLeft, std::optional<std::uint64_t>(40 - 10));

  // What needs the line's word is refused, saying why; so is more than OfflinePhones allows.
  ASSERT_TRUE(Pass(*capped, &cappedPhone, &why)) << "one job alone: " << why.toStdString();
  const struct {
    LineLink* link;
    LineItems items;
    const char* why;
  } refused[] = {
      {a.get(), {{"IMEI1", Imei(35000000000900ULL)}}, "needs the line's word"},
      {a.get(), {{"IMEI1", alone[0][0].value}}, "needs the line's word"},  // written already
      {a.get(), {{"SN1", "SN-1"}}, "comes from no block"},
      {capped.get(), Phone(*capped, &r), "as many as [LINE] OfflinePhones allows"},
  };
  for (const auto& c : refused) {
    const LineResult refusal = c.link->Reserve(c.items);
    EXPECT_EQ(refusal.status, LineStatus::Unreachable) << c.why;
    EXPECT_TRUE(refusal.message.contains(QLatin1String(c.why))) << refusal.message.toStdString();
  }

  // An entry written by hand with a value of no block of A's: the line will refuse it.
  a.reset();
  {
    kestrel::line::LineOutbox box(dir_.File("a.txt"));
    ASSERT_TRUE(box.Load(nullptr));
    ASSERT_TRUE(box.AddEntry("reserve", {{"IMEI1", Imei(35000000000950ULL)}}, nullptr, nullptr));
  }
  ASSERT_TRUE(QFile::copy(dir_.File("a.txt"), dir_.File("a-copy.txt")));
  a = Link("A", "a.txt");  // started again alone: what waits goes first
  ASSERT_TRUE(server_->Resume());
  auto settled = [](LineLink& link) {
    QElapsedTimer t;
    t.start();
    while ((link.Status().offline || link.Status().waiting > 0) && t.elapsed() < 10000) {
      QThread::msleep(20);
    }
    return !link.Status().offline && link.Status().waiting == 0;
  };
  ASSERT_TRUE(settled(*a) && settled(*capped)) << a->Status().why.toStdString();
  EXPECT_EQ(a->Status().refused, 1);
  EXPECT_TRUE(kestrel::line::LineLinkStatusText(a->Status()).contains("1 outbox entries refused"));

  // Every phone once, in the order written; the line's block moved past what was written alone.
  EXPECT_EQ(Sql("SELECT string_agg(record, ';' ORDER BY id) FROM line_phone WHERE station = 'A'"),
            "record " + Imei(35000000000000ULL) + ";record " + alone[0][0].value + ";record " +
                alone[1][0].value + ";record " + alone[2][0].value);
  EXPECT_EQ(Sql("SELECT count(*) FROM line_event WHERE event = 'handed-on' AND station = 'A'"),
            "6");
  EXPECT_EQ(Sql("SELECT count(*) FROM line_event WHERE event = 'outbox-refused'"), "1");
  std::uint64_t next = 0;
  ASSERT_TRUE(a->NextRun(LineRangeKind::Imei, 2, &next).ok());
  EXPECT_EQ(Imei(next), Imei(kestrel::identity::ReadDecimal(alone[2][0].value) / 10 + 2));
  QStringList lines;
  LineDatabase admin;
  admin.Configure(server_->Uri(name_), QString());
  ASSERT_TRUE(admin.Status(&lines, 0).ok());
  EXPECT_EQ(lines.filter(QRegularExpression("^outbox A handed-on 6 refused 1 last .* waited up to "
                                            "\\d+ s$")).size(),
            1)
      << lines.join('\n').toStdString();

  // The same outbox handed on again (a crash before it noted the line's answers) changes nothing.
  a.reset();
  auto replay = Link("A", "a-copy.txt");
  ASSERT_TRUE(settled(*replay));
  EXPECT_EQ(replay->Status().refused, 1);
  EXPECT_EQ(Sql("SELECT count(*) FROM line_phone"), "6");
  EXPECT_EQ(Sql("SELECT count(*) FROM line_event WHERE event IN ('handed-on', 'outbox-refused')"),
            "9");  // A's 6 and 1, C's 2
}

TEST_F(LineLinkTest, AHostListConnectsToWhicheverServerTakesWritesAndStationsGetTheList) {
  // Nothing listens on the first; the second is the primary.
  const QString uri = QStringLiteral("postgresql://kestrel@127.0.0.1:1,127.0.0.1:%1/%2"
                                     "?target_session_attrs=read-write&connect_timeout=2")
                          .arg(server_->port())
                          .arg(name_);
  LineDatabase admin;
  admin.Configure(uri, QString());
  const LineResult r = admin.Connect();
  ASSERT_TRUE(r.ok()) << r.message.toStdString();
  kestrel::line::LineStationAccount account;
  ASSERT_TRUE(admin.AddStation(name_ + "-S1", &account).ok());
  EXPECT_TRUE(account.serviceSection.contains(
      QStringLiteral("host=127.0.0.1,127.0.0.1\nport=1,%1\n").arg(server_->port())))
      << account.serviceSection.toStdString();
  EXPECT_TRUE(account.serviceSection.contains("target_session_attrs=read-write\n"));
  const QStringList passwords = account.passwordLine.split('\n');
  ASSERT_EQ(passwords.size(), 2);
  EXPECT_TRUE(passwords[1].startsWith(QStringLiteral("127.0.0.1:%1:%2:").arg(server_->port()).arg(name_)));
}

TEST_F(LineLinkTest, SummariesGoAtOnceOrThroughTheOutboxEachOnceAndTheNewestIsToldOnce) {
  using kestrel::line::kEntryJob;
  auto eventually = [](const std::function<bool()>& done) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < 15000) QThread::msleep(20);
    return done();
  };
  const QDateTime t0 = QDateTime::currentDateTimeUtc().addSecs(-3600).toOffsetFromUtc(3600);
  auto job = [&](int i, const char* outcome = "passed") {
    kestrel::line::LineJob j;
    j.started = t0.addSecs(10 * i);
    j.durationMs = 5000;
    j.mode = "normal";
    j.kind = "write";
    j.outcome = outcome;
    return kestrel::line::LineJobFields(j);
  };
  auto jobs = [&] { return Sql("SELECT count(*) FROM line_job WHERE station = 'A'").toInt(); };
  auto waitingJobs = [&] {
    kestrel::line::LineOutbox box(dir_.File("a.txt"));
    return box.Load(nullptr) ? box.Pending(kEntryJob) : -1;
  };
  std::mutex m;
  std::vector<QDateTime> told;
  auto listen = [&](const QDateTime& newest, LineLink&) {
    std::lock_guard lock(m);
    told.push_back(newest);
  };
  auto toldCount = [&] {
    std::lock_guard lock(m);
    return told.size();
  };

  auto a = Link("A", "a.txt");
  ASSERT_TRUE(a->Open().ok());
  a->SetCatchUp(listen);
  ASSERT_TRUE(eventually([&] { return toldCount() == 1; }));
  EXPECT_FALSE(told[0].isValid()) << "the line holds none of A's";
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(a->Send(kEntryJob, job(i)));
  ASSERT_TRUE(eventually([&] { return jobs() == 3; }));
  EXPECT_FALSE(QFile::exists(dir_.File("a.txt"))) << "at once: the outbox was not needed";

  // The line stops: the summaries wait in the outbox, and phones go on alone beside them.
  LineItems phone;
  QString why;
  ASSERT_TRUE(Pass(*a, &phone, &why)) << why.toStdString();
  ASSERT_TRUE(server_->Stop());
  EXPECT_TRUE(a->Send(kEntryJob, job(3)));
  EXPECT_TRUE(a->Send(kEntryJob, job(4)));
  ASSERT_TRUE(eventually([&] { return waitingJobs() == 2; }));
  ASSERT_TRUE(Pass(*a, &phone, &why)) << why.toStdString();
  EXPECT_TRUE(a->Status().offline);

  // Back: handed on in order, each once; one sent again changes nothing; one out of form is
  // kept as refused.
  ASSERT_TRUE(server_->Resume());
  ASSERT_TRUE(eventually([&] { return a->Status().waiting == 0 && !a->Status().offline; }));
  EXPECT_EQ(jobs(), 5);
  EXPECT_EQ(Sql("SELECT count(*) FROM line_phone WHERE station = 'A'"), "2");
  EXPECT_TRUE(a->Send(kEntryJob, job(1)));
  EXPECT_TRUE(a->Send(kEntryJob, job(5)));
  ASSERT_TRUE(eventually([&] { return jobs() == 6; }));
  EXPECT_TRUE(a->Send(kEntryJob, job(6, "bogus")));
  ASSERT_TRUE(eventually([&] { return a->Status().refused == 1; }));
  EXPECT_EQ(jobs(), 6);
  EXPECT_EQ(toldCount(), 1U) << "told once per link";

  // Started again, the link tells the newest summary the line holds.
  a.reset();
  a = Link("A", "a.txt");
  a->SetCatchUp(listen);
  ASSERT_TRUE(a->Open().ok());
  ASSERT_TRUE(eventually([&] { return toldCount() == 2; }));
  EXPECT_EQ(told[1].toMSecsSinceEpoch(), t0.addSecs(50).toMSecsSinceEpoch());
}
