// A Qt generic plugin that drives the real kestrel executable as an operator would, for the
// tests that run the installed-style station rather than a window built into a test binary.
// Loaded into the station by QT_PLUGIN_PATH=<folder holding generic/> and
// QT_QPA_GENERIC_PLUGINS=kestreldriver. Once the window is up it takes the steps of
// KESTREL_DRIVER_STEPS in turn (default "write,close"), reporting on standard error:
//   write  presses Write and waits for the job's end (the button enabled again), up to
//          KESTREL_DRIVER_JOB_MS
//   stop   presses Stop
//   close  closes the window
//   kill-host  kills (SIGKILL) the station's phone-library host processes (kestrel-phone-host,
//          [PHONE] Isolate=1) and waits until the station has reaped them
//   driver: write                        Write was pressed
//   driver: refused in <ms> ms           no job started: the press returned with Write enabled
//   driver: no job end                   the job did not end within KESTREL_DRIVER_JOB_MS
//   driver: stop in <ms> ms              the press of Stop returned after that long
//   driver: result <first line>          the result text after a write or a stop
//   driver: counts <pass> <fail>         the window's counts with each result
//   driver: message <text>               a message box the station showed (answered with OK)
//   driver: close                        the window is closed
//   driver: killed host                  a host was killed and reaped
//   driver: no host                      the station had no host process to kill
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QGenericPlugin>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace {

constexpr int kWriteId = 1004;  // the station window's control ids
constexpr int kResultId = 1026;
constexpr int kStopId = 1030;
constexpr int kPassCountId = 1033;
constexpr int kFailCountId = 1034;

void Say(const QString& line) {
  std::fprintf(stderr, "driver: %s\n", line.toLocal8Bit().constData());
  std::fflush(stderr);
}

QWidget* Control(int id) {
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (!top->isVisible()) continue;
    for (QWidget* w : top->findChildren<QWidget*>()) {
      if (w->property("controlId").toInt() == id) return w;
    }
  }
  return nullptr;
}

// The station's child processes named kestrel-phone-host (/proc/PID/stat: "pid (comm) state
// ppid ...").
QList<int> HostChildren() {
  QList<int> pids;
  const QString self = QString::number(::getpid());
  for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
    if (!stat.open(QIODevice::ReadOnly)) continue;
    const QString line = QString::fromLatin1(stat.readAll());
    const qsizetype close = line.lastIndexOf(QLatin1Char(')'));
    if (close < 0 || !line.contains(QLatin1String("(kestrel-phone-h"))) continue;
    const QStringList rest = line.mid(close + 2).split(QLatin1Char(' '));
    if (rest.size() > 1 && rest[1] == self) pids << entry.toInt();
  }
  return pids;
}

class Driver : public QObject {
 public:
  Driver() {
    bool ok = false;
    jobMs_ = qEnvironmentVariableIntValue("KESTREL_DRIVER_JOB_MS", &ok);
    if (!ok) jobMs_ = 20000;
    const QString steps =
        qEnvironmentVariable("KESTREL_DRIVER_STEPS", QStringLiteral("write,close"));
    steps_ = steps.split(QLatin1Char(','), Qt::SkipEmptyParts);
    timer_.setInterval(50);
    connect(&timer_, &QTimer::timeout, this, [this] { Step(); });
    timer_.start();
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::EnabledChange && !static_cast<QWidget*>(watched)->isEnabled()) {
      seenBusy_ = true;
    }
    return false;
  }

 private:
  void AnswerMessages() {
    for (QWidget* top : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(top);
      if (box == nullptr || !box->isVisible()) continue;
      Say(QStringLiteral("message ") + box->text().replace(QLatin1Char('\n'), QLatin1Char(' ')));
      box->accept();
    }
  }

  static QString Text(int id) {
    QWidget* w = Control(id);
    return w != nullptr ? w->property("text").toString() : QString();
  }

  void SayResult() {
    Say(QStringLiteral("result ") + Text(kResultId).section(QLatin1Char('\n'), 0, 0));
    Say(QStringLiteral("counts %1 %2").arg(Text(kPassCountId), Text(kFailCountId)));
  }

  void Step() {
    AnswerMessages();
    auto* write = qobject_cast<QAbstractButton*>(Control(kWriteId));
    if (write == nullptr) return;
    if (waiting_) {
      const bool ended = seenBusy_ && write->isEnabled();
      if (!ended && clock_.elapsed() < jobMs_) return;
      if (!ended) Say(QStringLiteral("no job end"));
      SayResult();
      waiting_ = false;
      return;
    }
    if (steps_.isEmpty()) return;
    const QString step = steps_.first();
    if (step == QLatin1String("write")) {
      if (!write->isEnabled()) return;
      clock_.start();
      seenBusy_ = false;
      write->installEventFilter(this);  // a job shorter than a tick still disables it
      Say(QStringLiteral("write"));
      write->click();
      if (!seenBusy_ && write->isEnabled()) {
        Say(QStringLiteral("refused in %1 ms").arg(clock_.elapsed()));
        SayResult();
      } else {
        waiting_ = true;
      }
    } else if (step == QLatin1String("stop")) {
      auto* stop = qobject_cast<QAbstractButton*>(Control(kStopId));
      if (stop == nullptr) return;
      clock_.start();
      stop->click();
      Say(QStringLiteral("stop in %1 ms").arg(clock_.elapsed()));
      SayResult();
    } else if (step == QLatin1String("kill-host")) {
      const QList<int> hosts = HostChildren();
      for (int pid : hosts) ::kill(pid, SIGKILL);
      QElapsedTimer reaped;
      reaped.start();
      while (reaped.elapsed() < 5000 && !HostChildren().isEmpty()) ::usleep(5000);
      Say(hosts.isEmpty() ? QStringLiteral("no host") : QStringLiteral("killed host"));
    } else if (step == QLatin1String("close")) {
      Say(QStringLiteral("close"));
      timer_.stop();
      for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top->isVisible()) top->close();
      }
    }
    steps_.removeFirst();
  }

  QTimer timer_;
  QElapsedTimer clock_;
  qint64 jobMs_ = 20000;
  QStringList steps_;
  bool waiting_ = false;
  bool seenBusy_ = false;
};

class DriverPlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "station_driver.json")

 public:
  QObject* create(const QString& key, const QString&) override {
    return key.compare(QLatin1String("kestreldriver"), Qt::CaseInsensitive) == 0 ? new Driver()
                                                                                 : nullptr;
  }
};

}  // namespace

#include "station_driver_plugin.moc"
