// Runs kestrel-phone-sim for one test and always stops it afterwards (SIGTERM, then SIGKILL,
// in the destructor).
// The state file and the log live in the test's station folder.
#pragma once

#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <ostream>

// Readable QString values in test failure messages.
inline void PrintTo(const QString& s, std::ostream* os) {
  *os << '"' << s.toStdString() << '"';
}

namespace kestrel::testing {

class PhoneSimProcess {
 public:
  // ports: the port-map folder (<station>/ports); state, log: file paths.
  PhoneSimProcess(QString ports, int com, QString state, QString log)
      : ports_(std::move(ports)), com_(com), state_(std::move(state)), log_(std::move(log)) {}
  ~PhoneSimProcess() { Stop(); }
  PhoneSimProcess(const PhoneSimProcess&) = delete;
  PhoneSimProcess& operator=(const PhoneSimProcess&) = delete;

  // Starts the simulator with the fault options in `extra`; with waitReady, true once it
  // has printed "ready COM<n> <device>". Without, true once the process runs (for
  // --appear-after-ms / --appear-on-mode, whose ready line comes later).
  bool Start(const QStringList& extra = {}, bool waitReady = true) {
    const QStringList args = QStringList{QStringLiteral("--ports"),
                                         ports_,
                                         QStringLiteral("--com"),
                                         QString::number(com_),
                                         QStringLiteral("--state"),
                                         state_,
                                         QStringLiteral("--log"),
                                         log_,
                                         QStringLiteral("--exit-with-parent")} +
                             extra;
    if (!process_.Start(BinPath(QStringLiteral("kestrel-phone-sim")), args)) return false;
    return !waitReady || WaitReady(5000);
  }

  bool WaitReady(int ms) {
    QByteArray line;
    if (!process_.ReadLine(&line, ms)) return false;
    line = line.trimmed();
    if (!line.startsWith("ready COM" + QByteArray::number(com_) + ' ')) return false;
    device_ = QString::fromLocal8Bit(line.mid(line.indexOf(' ', 6) + 1));
    return true;
  }

  // SIGTERM first (the clean exit that saves the state and removes the link), then kill.
  void Stop() { process_.Terminate(); }

  bool WaitFinished(int ms) { return process_.WaitFinished(ms); }
  bool running() { return process_.running(); }
  int exitCode() const { return process_.exitCode(); }
  const QString& device() const { return device_; }

  // The lines of the simulator's command log.
  QStringList LogLines() const {
    QFile f(log_);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  }
  // The log's command names (first word of each line), for call-order checks.
  QStringList LoggedCalls() const {
    QStringList names;
    for (const QString& l : LogLines()) names << l.section(QLatin1Char(' '), 0, 0);
    return names;
  }

  QJsonObject State() const {
    QFile f(state_);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(f.readAll()).object();
  }

 private:
  QString ports_;
  int com_;
  QString state_;
  QString log_;
  QString device_;
  ChildProcess process_;
};

}  // namespace kestrel::testing
