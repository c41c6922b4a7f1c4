// A Qt generic plugin that drives the real kestrel executable as an operator would, for the
// tests that run the installed-style station rather than a window built into a test binary.
// Loaded into the station by QT_PLUGIN_PATH=<folder holding generic/> and
// QT_QPA_GENERIC_PLUGINS=kestreldriver. It presses Write once the window is up, waits for the
// job's end (the button enabled again), reports on standard error and closes the window:
//   driver: write                        Write was pressed
//   driver: result <first line>          the result text when the job had ended
//   driver: message <text>               a message box the station showed (answered with OK)
//   driver: no job end                   the job did not end within KESTREL_DRIVER_JOB_MS
#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QGenericPlugin>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace {

constexpr int kWriteId = 1004;  // the station window's control ids
constexpr int kResultId = 1026;

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

class Driver : public QObject {
 public:
  Driver() {
    bool ok = false;
    jobMs_ = qEnvironmentVariableIntValue("KESTREL_DRIVER_JOB_MS", &ok);
    if (!ok) jobMs_ = 20000;
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

  void Step() {
    AnswerMessages();
    auto* write = qobject_cast<QAbstractButton*>(Control(kWriteId));
    if (write == nullptr) return;
    if (!pressed_) {
      if (!write->isEnabled()) return;
      pressed_ = true;
      clock_.start();
      write->installEventFilter(this);  // a job shorter than a tick still disables it
      Say(QStringLiteral("write"));
      write->click();
      return;
    }
    const bool ended = seenBusy_ && write->isEnabled();
    if (!ended && clock_.elapsed() < jobMs_) return;
    if (!ended) Say(QStringLiteral("no job end"));
    QWidget* result = Control(kResultId);
    Say(QStringLiteral("result ") +
        (result ? result->property("text").toString().section(QLatin1Char('\n'), 0, 0)
                : QString()));
    timer_.stop();
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (top->isVisible()) top->close();
    }
  }

  QTimer timer_;
  QElapsedTimer clock_;
  qint64 jobMs_ = 20000;
  bool pressed_ = false;
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
