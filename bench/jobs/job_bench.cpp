// Write jobs through the station window against kestrel-phone-sim (no injected delay), in
// normal and in calibration mode. For each job it measures the station's own overhead: the
// wall time from StartJob to the handling of the job's end, less the phone library's calls
// and the mandated waits (each reported as a step to the job observer). It also measures the
// resident memory after job 10 and after the last job, and the start of `kestrel` to a ready
// window (the process started with KESTREL_EXIT_AFTER_MS=0, which closes the window as soon
// as the event loop runs).
//
// The station's audit record of each job is part of that overhead; a second audit observer,
// writing to a folder of its own, is timed call by call in the same jobs: what its calls cost
// the job thread and the window thread per job.
//
// Targets: overhead under 20 ms a job; start under 300 ms; under 80 MB resident after 100
// jobs, with no growth from job 10 to job 100; the audit record at most 1 ms a job.
//
// usage: kestrel-bench-jobs [JOBS]   (default 100 a mode)
#include "device/oxbind_loader/phone_library.h"
#include "device/ports/port_map.h"
#include "station/control_ids.h"
#include "station/job_audit.h"
#include "station/job_observer.h"
#include "station/station_controller.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

namespace st = kestrel::station;

namespace {

// Sums the time of every step of a job and notes the job's start and end.
class StepClock : public st::JobObserver {
 public:
  void JobStarted(st::JobKind, int, const QDateTime&) override {
    std::lock_guard<std::mutex> l(lock_);
    steps_ = 0;
  }
  void StepFinished(const st::JobStep& step) override {
    std::lock_guard<std::mutex> l(lock_);
    steps_ += step.durationUs;
  }
  void JobEnded(const st::JobSummary& summary) override {
    std::lock_guard<std::mutex> l(lock_);
    overheads_.push_back(static_cast<double>(summary.durationUs - steps_) / 1000.0);
    passed_ += summary.outcome == st::JobOutcome::Passed ? 1 : 0;
  }
  std::vector<double> Overheads() {
    std::lock_guard<std::mutex> l(lock_);
    return overheads_;
  }
  int Passed() {
    std::lock_guard<std::mutex> l(lock_);
    return passed_;
  }

 private:
  std::mutex lock_;
  std::int64_t steps_ = 0;
  std::vector<double> overheads_;
  int passed_ = 0;
};

// An audit observer whose every call is timed: per job, the sum on the job thread (its steps)
// and on the window thread (start and end).
class TimedAudit : public st::JobObserver {
 public:
  explicit TimedAudit(const QString& folder) : audit_(Options(folder)) {}
  void JobStarted(st::JobKind kind, int mode, const QDateTime& at) override {
    const QElapsedTimer t = Start();
    audit_.JobStarted(kind, mode, at);
    std::lock_guard<std::mutex> l(lock_);
    stepsUs_ = 0;
    windowUs_ = t.nsecsElapsed() / 1000.0;
  }
  void StepFinished(const st::JobStep& step) override {
    const QElapsedTimer t = Start();
    audit_.StepFinished(step);
    std::lock_guard<std::mutex> l(lock_);
    stepsUs_ += t.nsecsElapsed() / 1000.0;
  }
  void JobEnded(const st::JobSummary& summary) override {
    const QElapsedTimer t = Start();
    audit_.JobEnded(summary);
    std::lock_guard<std::mutex> l(lock_);
    jobThreadMs_.push_back(stepsUs_ / 1000.0);
    windowMs_.push_back((windowUs_ + t.nsecsElapsed() / 1000.0) / 1000.0);
  }
  std::vector<double> JobThreadMs() {
    std::lock_guard<std::mutex> l(lock_);
    return jobThreadMs_;
  }
  std::vector<double> WindowMs() {
    std::lock_guard<std::mutex> l(lock_);
    return windowMs_;
  }
  std::uint64_t Written() { return audit_.Writer().written(); }

 private:
  static st::JobAudit::Options Options(const QString& folder) {
    st::JobAudit::Options o;
    o.stationFolder = folder;
    return o;
  }
  static QElapsedTimer Start() {
    QElapsedTimer t;
    t.start();
    return t;
  }
  st::JobAudit audit_;
  std::mutex lock_;
  double stepsUs_ = 0;
  double windowUs_ = 0;
  std::vector<double> jobThreadMs_;
  std::vector<double> windowMs_;
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

double ResidentMb() {
  QFile f(QStringLiteral("/proc/self/status"));
  if (!f.open(QIODevice::ReadOnly)) return 0;
  for (const QByteArray& line : f.readAll().split('\n')) {
    if (line.startsWith("VmRSS:"))
      return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024;
  }
  return 0;
}

bool WaitIdle(st::StationController& w, int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) {
    QApplication::processEvents();
    if (!w.JobRunning() && !w.JobActive()) return true;
    QThread::usleep(200);
  }
  return false;
}

struct ModeResult {
  std::vector<double> overheads;
  std::vector<double> auditJobThreadMs;
  std::vector<double> auditWindowMs;
  int passed = 0;
  double rssAt10 = 0;
  double rssAtEnd = 0;
};

ModeResult RunMode(const QString& bin, const kestrel::device::oxbind::PhoneLibrary& library,
                   PhoneHandle phone, bool normal, int jobs) {
  ModeResult result;
  QTemporaryDir dir;
  kestrel::device::ports::SetStationFolder(dir.path());
  QFile ini(dir.filePath(QStringLiteral("Kestrel.ini")));
  ini.open(QIODevice::WriteOnly);
  ini.write(QByteArray("[General]\nOperation Mode=") + (normal ? "1" : "0") +
            "\nPort=3\nIMEI1=1\nIMEI1GenMode=1\nAutoCreateIMEI=1\nDefaultIMEI=35123456000001\n"
            "BT_ADDR=1\nAutoGenerateBT_ADDR=1\nSaveIMEI=1\nSaveToTxt=1\nReadBack=1\n"
            "EntrerModeWait=0\nTimeout=5000\n[Control]\nTavixNew=1\nDUTPort=3\n");
  ini.close();

  QProcess sim;
  sim.start(bin + QStringLiteral("/kestrel-phone-sim"),
            {QStringLiteral("--ports"), dir.filePath(QStringLiteral("ports")),
             QStringLiteral("--com"), QStringLiteral("3"), QStringLiteral("--state"),
             dir.filePath(QStringLiteral("phone.json")), QStringLiteral("--exit-with-parent")});
  if (!sim.waitForReadyRead(5000)) {
    std::fprintf(stderr, "the phone simulator did not start\n");
    return result;
  }

  StepClock clock;
  TimedAudit audit(dir.filePath(QStringLiteral("audit-copy")));
  {
    st::StationStartup startup;
    startup.phone = phone;
    startup.phoneApi = &library.Api();
    startup.stationFolder = dir.path();
    st::StationController window(startup);
    window.SetMessagePresenter([](const QString&) {});
    window.AddJobObserver(&clock);
    window.AddJobObserver(&audit);
    window.Initialise();
    window.show();
    auto* write = qobject_cast<QPushButton*>(window.Control(st::ids::kWrite));
    for (int i = 0; i < jobs; ++i) {
      write->click();
      if (!WaitIdle(window, 10000)) {
        std::fprintf(stderr, "job %d did not end\n", i + 1);
        break;
      }
      if (i + 1 == 10) result.rssAt10 = ResidentMb();
    }
    result.rssAtEnd = ResidentMb();
  }
  sim.terminate();
  sim.waitForFinished(3000);
  result.overheads = clock.Overheads();
  result.auditJobThreadMs = audit.JobThreadMs();
  result.auditWindowMs = audit.WindowMs();
  result.passed = clock.Passed();
  return result;
}

std::vector<double> StartTimes(const QString& bin, int runs) {
  std::vector<double> times;
  QTemporaryDir dir;
  for (int i = 0; i < runs; ++i) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KESTREL_EXIT_AFTER_MS"), QStringLiteral("0"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    p.setProcessEnvironment(env);
    QElapsedTimer t;
    t.start();
    p.start(bin + QStringLiteral("/kestrel"), {QStringLiteral("--station-dir"), dir.path()});
    p.waitForFinished(20000);
    times.push_back(static_cast<double>(t.elapsed()));
  }
  return times;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("KESTREL_SYSTEM_PORTS", "0");
  QApplication app(argc, argv);
  const int jobs = argc > 1 ? std::max(10, std::atoi(argv[1])) : 100;
  const QString bin = QCoreApplication::applicationDirPath();
  // The station's own library, loaded as the station loads it (beside the executables).
  QString error;
  const auto library = kestrel::device::oxbind::PhoneLibrary::Load(QString(), &error);
  if (!library) {
    std::fprintf(stderr, "%s\n", qPrintable(error));
    return 2;
  }
  const PhoneHandle phone = library->Api().CreatePhone(0);

  std::printf("write jobs against the phone simulator, %d a mode\n", jobs);
  std::printf("%-12s %6s %14s %14s %14s %12s %12s\n", "mode", "passed", "overhead p50",
              "overhead p95", "overhead max", "RSS job 10", "RSS end");
  std::vector<ModeResult> results;
  for (const bool normal : {true, false}) {
    const ModeResult r = RunMode(bin, *library, phone, normal, jobs);
    std::printf("%-12s %6d %11.2f ms %11.2f ms %11.2f ms %9.1f MB %9.1f MB\n",
                normal ? "normal" : "calibration", r.passed, Percentile(r.overheads, 0.5),
                Percentile(r.overheads, 0.95), Percentile(r.overheads, 1.0), r.rssAt10, r.rssAtEnd);
    results.push_back(r);
  }
  std::printf("audit record per job: %-12s %29s %29s\n", "mode", "job thread p50 / p95 / max",
              "window thread p50 / p95 / max");
  for (std::size_t i = 0; i < results.size(); ++i) {
    const ModeResult& r = results[i];
    std::printf("                      %-12s %7.4f / %7.4f / %7.4f ms %7.4f / %7.4f / %7.4f ms\n",
                i == 0 ? "normal" : "calibration", Percentile(r.auditJobThreadMs, 0.5),
                Percentile(r.auditJobThreadMs, 0.95), Percentile(r.auditJobThreadMs, 1.0),
                Percentile(r.auditWindowMs, 0.5), Percentile(r.auditWindowMs, 0.95),
                Percentile(r.auditWindowMs, 1.0));
  }
  library->Api().ReleasePhone(phone);

  const std::vector<double> starts = StartTimes(bin, 5);
  std::printf(
      "kestrel start to a ready window (and closed): median %.0f ms, max %.0f ms "
      "(target 300 ms)\n",
      Percentile(starts, 0.5), Percentile(starts, 1.0));
  std::printf(
      "targets: overhead < 20 ms a job; < 80 MB after %d jobs, no growth after job 10; "
      "audit record <= 1 ms a job\n",
      jobs);
  return 0;
}
