// kestrel-station-runner: the station window on a station folder, running write jobs one
// after another as an operator pressing Write would, then closing the window (the close-time
// save). The crash harness starts it, kills it at chosen moments and starts it again.
//
//   kestrel-station-runner --station-dir DIR --jobs N [--pause-ms MAX] [--seed S]
//
// One line on standard output per event, flushed at once:
//   ready imei1=... imei2=... pass=P fail=F   the window is initialised and shown
//   job K start imei1=... imei2=...           Write pressed for job K with these identities
//   job K end pass|fail|none text=...         the job has ended (none: neither verdict), with
//                                             the first line of its result text
//   message TEXT                              a message box the station showed
//   closing / closed                          around the close steps
// Message boxes are answered at once. Exit 0 after "closed"; 3 when a job did not end.
#include "device/oxbind/oxbind.h"
#include "station/job_observer.h"
#include "station/station_controller.h"
#include "station/station_entry.h"
#include "tests/support/linked_phone_api.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QStringList>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

using kestrel::station::JobOutcome;
using kestrel::station::StationController;

// Hears the end of every job (on the window's thread).
class JobWatcher final : public kestrel::station::JobObserver {
 public:
  void JobStarted(kestrel::station::JobKind, int, const QDateTime&) override {}
  void StepFinished(const kestrel::station::JobStep&) override {}
  void JobEnded(const kestrel::station::JobSummary& summary) override {
    last = summary;
    ended = true;
  }
  bool ended = false;
  kestrel::station::JobSummary last;
};

QString Verdict(JobOutcome outcome) {
  switch (outcome) {
    case JobOutcome::Passed:
      return QStringLiteral("pass");
    case JobOutcome::Failed:
    case JobOutcome::TimedOut:
      return QStringLiteral("fail");
    case JobOutcome::Stopped:
    case JobOutcome::Shown:
      break;
  }
  return QStringLiteral("none");
}

void Say(const QString& line) {
  std::fprintf(stdout, "%s\n", line.toUtf8().constData());
  std::fflush(stdout);
}

QString Ids(const StationController& w) {
  const auto ids = w.Identities();
  return QStringLiteral("imei1=%1 imei2=%2").arg(ids.IMEI1, ids.IMEI2);
}

// Runs the window's events for `ms` or until `done` holds.
template <typename F>
bool RunUntil(F done, int ms) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::msleep(2);
  }
  return true;
}

int Usage() {
  std::fputs(
      "usage: kestrel-station-runner --station-dir DIR --jobs N [--pause-ms MAX] [--seed S]\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QString folder;
  int jobs = -1;
  int pauseMs = 50;
  unsigned seed = 1;
  const QStringList args = app.arguments();
  for (qsizetype i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    const bool more = i + 1 < args.size();
    if (a == QLatin1String("--station-dir") && more) {
      folder = args[++i];
    } else if (a == QLatin1String("--jobs") && more) {
      jobs = args[++i].toInt();
    } else if (a == QLatin1String("--pause-ms") && more) {
      pauseMs = args[++i].toInt();
    } else if (a == QLatin1String("--seed") && more) {
      seed = args[++i].toUInt();
    } else {
      return Usage();
    }
  }
  if (folder.isEmpty() || jobs < 0 || pauseMs < 0) return Usage();

  const PhoneHandle phone = KV_CreatePhone(0);
  if (phone == KV_INVALID_HANDLE) return 1;
  int code = 0;
  {
    kestrel::station::StationStartup startup;
    startup.phone = phone;
    startup.phoneApi = &kestrel::testing::LinkedPhoneApi();
    startup.productVersion = QStringLiteral("1.0.0.1");
    startup.stationFolder = folder;
    startup.executableFolder = QCoreApplication::applicationDirPath();
    StationController w(startup);
    w.SetMessagePresenter([](const QString& text) {
      Say(QStringLiteral("message ") + QString(text).replace(QLatin1Char('\n'), QLatin1Char(' ')));
    });
    JobWatcher watcher;
    w.AddJobObserver(&watcher);
    w.Initialise();
    w.show();
    QApplication::processEvents();
    Say(QStringLiteral("ready %1 pass=%2 fail=%3")
            .arg(Ids(w))
            .arg(w.PassCount())
            .arg(w.FailCount()));

    std::mt19937 rng(seed);
    for (int k = 1; k <= jobs && code == 0; ++k) {
      // Between jobs: the window idles a moment, as it does while the operator changes phones.
      RunUntil([] { return false; },
               static_cast<int>(rng() % (static_cast<unsigned>(pauseMs) + 1)));
      Say(QStringLiteral("job %1 start %2").arg(k).arg(Ids(w)));
      watcher.ended = false;
      w.OnWriteCommand();
      const int bound = w.Settings().Timeout + w.Settings().WriteTime + 30000;
      if (!RunUntil([&watcher] { return watcher.ended; }, bound)) {
        Say(QStringLiteral("job %1 did not end").arg(k));
        code = 3;
        break;
      }
      Say(QStringLiteral("job %1 end %2 text=%3")
              .arg(k)
              .arg(Verdict(watcher.last.outcome))
              .arg(watcher.last.resultText.section(QLatin1Char('\n'), 0, 0)));
    }
    Say(QStringLiteral("closing"));
    w.close();
    Say(QStringLiteral("closed"));
  }
  KV_ReleasePhone(phone);
  return code;
}
