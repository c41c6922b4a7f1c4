// Runs kestrel-power-sim for one test on a free loopback port and stops it afterwards (and
// --exit-with-parent stops it should the test crash).
#pragma once

#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <QByteArray>
#include <QStringList>
#include <QTcpSocket>

namespace kestrel::testing {

class PowerSimProcess {
 public:
  PowerSimProcess() = default;
  ~PowerSimProcess() { Stop(); }
  PowerSimProcess(const PowerSimProcess&) = delete;
  PowerSimProcess& operator=(const PowerSimProcess&) = delete;

  // Starts the simulator with --listen `port` (0 = any free port) and the extra arguments;
  // true once it has printed its ready line.
  bool Start(const QStringList& extra = {}, int port = 0) {
    QStringList args{QStringLiteral("--listen"), QString::number(port),
                     QStringLiteral("--exit-with-parent")};
    // Without a log of its own the simulator would write every command into the test output.
    if (!extra.contains(QStringLiteral("--log")))
      args << QStringLiteral("--log") << QStringLiteral("/dev/null");
    if (!process_.Start(BinPath(QStringLiteral("kestrel-power-sim")), args + extra)) {
      return false;
    }
    QByteArray line;
    if (!process_.ReadLine(&line, 5000)) return false;
    line = line.trimmed();
    const QByteArray prefix = "ready tcp://127.0.0.1:";
    if (!line.startsWith(prefix)) return false;
    port_ = line.mid(prefix.size()).toInt();
    return port_ > 0;
  }

  void Stop() { process_.Terminate(); }
  bool running() { return process_.running(); }
  pid_t pid() const { return process_.pid(); }

  int port() const { return port_; }
  QString url() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(port_); }

  // Asks the running simulator directly (its own connection), e.g. "VOLT?;OUTP?".
  QList<QByteArray> Ask(const QByteArray& query, int answers) const {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(port_));
    QList<QByteArray> lines;
    if (!socket.waitForConnected(3000)) return lines;
    socket.write(query + '\n');
    socket.waitForBytesWritten(3000);
    while (lines.size() < answers) {
      while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(3000)) return lines;
      }
      lines << socket.readLine().trimmed();
    }
    return lines;
  }

 private:
  ChildProcess process_;
  int port_ = 0;
};

}  // namespace kestrel::testing
