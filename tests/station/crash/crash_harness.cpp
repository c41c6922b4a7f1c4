// kestrel-crash-harness: kills the station with SIGKILL at random moments — while it starts,
// during a write job, between jobs, during the close-time save — starts it again, and after
// every kill checks the station folder (station_checks.h) and that the station comes back to
// a ready window offering IMEIs that are not recorded. The phone is one kestrel-phone-sim
// that lives through all of it.
//
//   kestrel-crash-harness [--kills N] [--seed S] [--store txt|mdb] [--folder DIR] [--verbose]
//
// --store mdb records the phones in IMEI.mdb (prepared with kestrel-cli records create-db)
// instead of IMEI.txt.
// ctest runs the short form (30 kills); the README gives the long form (500). Exit 0 when
// every check held, 1 with the problems listed otherwise, 2 for a usage error.
#include "tests/device/phone_sim_process.h"
#include "tests/station/crash/station_checks.h"
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <array>
#include <cstdio>
#include <random>

namespace kestrel::testing::crash {
namespace {

enum Phase { kStartup, kInJob, kBetweenJobs, kClosing, kPhases };
const char* const kPhaseNames[kPhases] = {"while starting", "during a job", "between jobs",
                                          "during the close-time save"};

constexpr int kSilenceMs = 60000;  // a station that says nothing this long hangs

struct Options {
  int kills = 30;
  unsigned seed = 1;
  QString folder;
  bool database = false;
  bool verbose = false;
};

struct Stats {
  int kills = 0;
  std::array<int, kPhases> byPhase{};
  int cleanExits = 0;
  int jobsStarted = 0;
  int shownPassed = 0;
  int shownFailed = 0;
  qint64 slowestReadyMs = 0;
};

// Milliseconds a phase took the last time (the kill delays are drawn within them).
struct Durations {
  qint64 startMs = 500;
  qint64 jobMs = 500;
};

void Print(const QString& line) {
  std::fprintf(stdout, "%s\n", line.toUtf8().constData());
  std::fflush(stdout);
}

QString Field(const QString& line, const QString& name) {
  const QRegularExpression re(QStringLiteral("\\b%1=(\\S*)").arg(name));
  return re.match(line).captured(1);
}

class Harness {
 public:
  Harness(Options o, StationPlan plan) : o_(std::move(o)), plan_(std::move(plan)), rng_(o_.seed) {}

  int Run() {
    if (!PrepareStation(plan_)) return Fail(QStringLiteral("cannot prepare ") + plan_.folder);
    if (plan_.database && RunChild(BinPath(QStringLiteral("kestrel-cli")),
                                   {QStringLiteral("records"), QStringLiteral("--station-dir"),
                                    plan_.folder, QStringLiteral("create-db")})
                                  .exitCode != 0) {
      return Fail(QStringLiteral("kestrel-cli records create-db failed"));
    }
    PhoneSimProcess sim(QDir(plan_.folder).filePath(QStringLiteral("ports")), plan_.port,
                        QDir(plan_.folder).filePath(QStringLiteral("phone.json")),
                        QDir(plan_.folder).filePath(QStringLiteral("Log/phone.log")));
    if (!sim.Start()) return Fail(QStringLiteral("the phone simulator did not start"));
    // Qt wants a private runtime folder; without one every start warns about it.
    runtimeDir_ = QDir(plan_.folder).filePath(QStringLiteral("runtime"));
    QDir().mkpath(runtimeDir_);
    QFile::setPermissions(runtimeDir_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    last_ = CheckStation(plan_, history_);
    while (stats_.kills < o_.kills && problems_.isEmpty()) Life(/*killAllowed=*/true);
    // After the last kill the station must still come back and finish a job cleanly.
    if (problems_.isEmpty()) Life(/*killAllowed=*/false);
    sim.Stop();

    Print(QStringLiteral("crash harness: %1 kills (%2 %3, %4 %5, %6 %7, %8 %9), %10 clean exits")
              .arg(stats_.kills)
              .arg(stats_.byPhase[kStartup])
              .arg(QLatin1String(kPhaseNames[kStartup]))
              .arg(stats_.byPhase[kInJob])
              .arg(QLatin1String(kPhaseNames[kInJob]))
              .arg(stats_.byPhase[kBetweenJobs])
              .arg(QLatin1String(kPhaseNames[kBetweenJobs]))
              .arg(stats_.byPhase[kClosing])
              .arg(QLatin1String(kPhaseNames[kClosing]))
              .arg(stats_.cleanExits));
    Print(QStringLiteral("crash harness: %1 jobs started, %2 shown passed, %3 shown failed, "
                         "%4 phones recorded in %7, DefaultIMEI %5, slowest start %6 ms")
              .arg(stats_.jobsStarted)
              .arg(stats_.shownPassed)
              .arg(stats_.shownFailed)
              .arg(last_.recordedPhones)
              .arg(last_.defaultImei, 14, 10, QLatin1Char('0'))
              .arg(stats_.slowestReadyMs)
              .arg(plan_.database ? QStringLiteral("IMEI.mdb") : QStringLiteral("IMEI.txt")));
    if (!problems_.isEmpty()) {
      for (const QString& p : problems_) Print(QStringLiteral("PROBLEM: ") + p);
      Print(QStringLiteral("crash harness: station folder kept in ") + plan_.folder);
      return 1;
    }
    Print(QStringLiteral("crash harness: every check held after every kill"));
    return 0;
  }

 private:
  int Fail(const QString& why) {
    Print(QStringLiteral("PROBLEM: ") + why);
    return 1;
  }

  unsigned Draw(unsigned n) { return n == 0 ? 0 : static_cast<unsigned>(rng_() % n); }

  // One start of the station, killed at the planned moment or left to finish.
  void Life(bool killAllowed) {
    const int jobs = killAllowed ? 1 + static_cast<int>(Draw(4)) : 1;
    const Phase phase = static_cast<Phase>(Draw(kPhases));
    const int atJob = 1 + static_cast<int>(Draw(static_cast<unsigned>(jobs)));
    ChildProcess station;
    const QMap<QString, QString> env{
        {QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen")},
        {QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir_},
        {QStringLiteral("KESTREL_SYSTEM_PORTS"), QStringLiteral("0")},
        {QStringLiteral("KESTREL_STATION_DIR"), QString()}};
    if (!station.Start(BinPath(QStringLiteral("kestrel-station-runner")),
                       {QStringLiteral("--station-dir"), plan_.folder, QStringLiteral("--jobs"),
                        QString::number(jobs), QStringLiteral("--seed"), QString::number(rng_())},
                       env)) {
      problems_ << QStringLiteral("kestrel-station-runner did not start");
      return;
    }
    QElapsedTimer clock;
    clock.start();
    qint64 killAt = -1;  // clock time of the kill, once planned
    if (killAllowed && phase == kStartup)
      killAt = Draw(static_cast<unsigned>(durations_.startMs) + 1);
    qint64 jobStarted = 0;
    QString jobImeis[2];
    bool ready = false;
    bool inJob = false;
    bool inClose = false;
    bool killed = false;
    Phase killedIn = phase;
    QStringList said;

    for (;;) {
      const qint64 now = clock.elapsed();
      if (killAt >= 0 && now >= killAt) {
        station.Kill();
        killed = true;
        // Counted by what the station was doing as far as it had said.
        killedIn = !ready ? kStartup : inJob ? kInJob : inClose ? kClosing : kBetweenJobs;
        break;
      }
      const qint64 wait = killAt >= 0 ? std::min<qint64>(killAt - now, kSilenceMs) : kSilenceMs;
      QByteArray raw;
      if (!station.ReadLine(&raw, static_cast<int>(std::max<qint64>(wait, 1)))) {
        if (killAt >= 0 && clock.elapsed() >= killAt) continue;
        if (!station.running() || station.WaitFinished(2000)) break;
        if (clock.elapsed() - now >= kSilenceMs) {
          problems_ << QStringLiteral("the station said nothing for %1 s after: %2")
                           .arg(kSilenceMs / 1000)
                           .arg(said.isEmpty() ? QStringLiteral("(nothing)") : said.last());
          station.Kill();
          return;
        }
        continue;
      }
      const QString line = QString::fromUtf8(raw);
      said << line;
      if (o_.verbose) Print(QStringLiteral("  | ") + line);
      if (line.startsWith(QLatin1String("ready "))) {
        ready = true;
        durations_.startMs = clock.elapsed();
        stats_.slowestReadyMs = std::max(stats_.slowestReadyMs, durations_.startMs);
        CheckReady(line);
      } else if (line.startsWith(QLatin1String("job "))) {
        const QStringList w = line.split(QLatin1Char(' '));
        const int k = w.value(1).toInt();
        if (w.value(2) == QLatin1String("start")) {
          inJob = true;
          ++stats_.jobsStarted;
          jobStarted = clock.elapsed();
          jobImeis[0] = Field(line, QStringLiteral("imei1"));
          jobImeis[1] = Field(line, QStringLiteral("imei2"));
          if (killAllowed && phase == kInJob && k == atJob)
            killAt = clock.elapsed() + Draw(static_cast<unsigned>(durations_.jobMs) + 1);
        } else if (w.value(2) == QLatin1String("end")) {
          inJob = false;
          durations_.jobMs = std::max<qint64>(50, clock.elapsed() - jobStarted);
          if (w.value(3) == QLatin1String("pass")) {
            ++stats_.shownPassed;
            history_.shownPassed.insert(jobImeis[0]);
            history_.shownPassed.insert(jobImeis[1]);
          } else if (w.value(3) == QLatin1String("fail")) {
            ++stats_.shownFailed;
          }
          if (killAllowed && phase == kBetweenJobs && k == atJob)
            killAt = clock.elapsed() + Draw(30);
        } else {
          problems_ << QStringLiteral("the station: ") + line;
        }
      } else if (line == QLatin1String("closed")) {
        inClose = false;
      } else if (line == QLatin1String("closing")) {
        inClose = true;
        if (killAllowed && phase == kClosing) killAt = clock.elapsed() + Draw(40);
      }
    }

    if (killed) {
      ++stats_.kills;
      ++stats_.byPhase[killedIn];
    } else {
      station.WaitFinished(5000);
      if (station.exitCode() != 0 || !said.contains(QStringLiteral("closed")))
        problems_ << QStringLiteral("the station ended by itself with code %1 after: %2")
                         .arg(station.exitCode())
                         .arg(said.isEmpty() ? QStringLiteral("(nothing)") : said.last());
      ++stats_.cleanExits;
    }
    if (!killAllowed && !ready) problems_ << QStringLiteral("the station never got ready");
    if (o_.verbose) {
      Print(QStringLiteral("life: %1 job(s), %2")
                .arg(jobs)
                .arg(killed ? QStringLiteral("killed ") + QLatin1String(kPhaseNames[killedIn])
                            : QStringLiteral("ended by itself")));
    }
    last_ = CheckStation(plan_, history_);
    for (const QString& p : last_.problems)
      problems_ << QStringLiteral("after kill %1 (%2): %3")
                       .arg(stats_.kills)
                       .arg(killed ? QLatin1String(kPhaseNames[killedIn])
                                   : QLatin1String("no kill"))
                       .arg(p);
  }

  // The station came back: counters from zero, and IMEIs offered that are not recorded.
  void CheckReady(const QString& line) {
    if (Field(line, QStringLiteral("pass")) != QLatin1String("0") ||
        Field(line, QStringLiteral("fail")) != QLatin1String("0"))
      problems_ << QStringLiteral("the counters did not start from zero: ") + line;
    for (const char* slot : {"imei1", "imei2"}) {
      const QString imei = Field(line, QLatin1String(slot));
      if (last_.recordedImeis.contains(imei))
        problems_ << QStringLiteral("after a restart the station offers %1 %2, already recorded")
                         .arg(QLatin1String(slot), imei);
    }
  }

  Options o_;
  StationPlan plan_;
  std::mt19937 rng_;
  Stats stats_;
  Durations durations_;
  History history_;
  CheckResult last_;
  QStringList problems_;
  QString runtimeDir_;
};

int Usage() {
  std::fputs(
      "usage: kestrel-crash-harness [--kills N] [--seed S] [--store txt|mdb] [--folder DIR] "
      "[--verbose]\n",
      stderr);
  return 2;
}

}  // namespace
}  // namespace kestrel::testing::crash

int main(int argc, char** argv) {
  using namespace kestrel::testing::crash;
  QCoreApplication app(argc, argv);
  Options o;
  const QStringList args = app.arguments();
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    const bool more = i + 1 < args.size();
    if (a == QLatin1String("--kills") && more) {
      o.kills = args[++i].toInt();
    } else if (a == QLatin1String("--seed") && more) {
      o.seed = args[++i].toUInt();
    } else if (a == QLatin1String("--folder") && more) {
      o.folder = args[++i];
    } else if (a == QLatin1String("--store") && more) {
      const QString store = args[++i];
      if (store != QLatin1String("txt") && store != QLatin1String("mdb")) return Usage();
      o.database = store == QLatin1String("mdb");
    } else if (a == QLatin1String("--verbose")) {
      o.verbose = true;
    } else {
      return Usage();
    }
  }
  if (o.kills < 0) return Usage();
  QTemporaryDir temp(QDir::tempPath() + QStringLiteral("/kestrel-crash-XXXXXX"));
  StationPlan plan;
  plan.folder = o.folder.isEmpty() ? temp.path() : QDir(o.folder).absolutePath();
  plan.database = o.database;
  if (!o.folder.isEmpty() && QDir(plan.folder).exists() && !QDir(plan.folder).isEmpty()) {
    std::fprintf(stderr, "kestrel-crash-harness: %s is not empty\n", qPrintable(plan.folder));
    return 2;
  }
  const int code = Harness(o, plan).Run();
  if (code != 0) temp.setAutoRemove(false);
  return code;
}
