// Runs kestrel-power-sim for one test on a free loopback port and stops it afterwards.
#pragma once

#include "tests/support/test_support.h"

#include <QByteArray>
#include <QProcess>
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
    process_.setProgram(BinPath(QStringLiteral("kestrel-power-sim")));
    process_.setArguments(QStringList{QStringLiteral("--listen"), QString::number(port)} + extra);
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    process_.start();
    if (!process_.waitForStarted(5000)) return false;
    while (!process_.canReadLine()) {
      if (!process_.waitForReadyRead(5000)) return false;
    }
    const QByteArray line = process_.readLine().trimmed();
    const QByteArray prefix = "ready tcp://127.0.0.1:";
    if (!line.startsWith(prefix)) return false;
    port_ = line.mid(prefix.size()).toInt();
    return port_ > 0;
  }

  void Stop() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.kill();
    process_.waitForFinished(5000);
  }

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
  QProcess process_;
  int port_ = 0;
};

}  // namespace kestrel::testing
