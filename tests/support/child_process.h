// A child process for the tests (the simulators, kestrel-cli, the station), started with
// posix_spawn: QProcess forks in a way the thread sanitizer's runtime cannot follow, and every
// test runs under it. Standard input is /dev/null; standard output is a pipe read here, and so
// is standard error when asked for (otherwise it goes to the test's own). The destructor kills
// a child that still runs.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace kestrel::testing {

class ChildProcess {
 public:
  enum class Streams { kOut, kOutAndErr };

  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts the program with the arguments. `env` adds to or replaces in the environment; a
  // null value removes the variable.
  bool Start(const QString& program, const QStringList& args,
             const QMap<QString, QString>& env = {}, Streams streams = Streams::kOut);

  // The next line of standard output (without the line break), waiting up to ms.
  bool ReadLine(QByteArray* line, int ms);

  // Everything the child writes to standard output until it ends (waiting up to ms in all),
  // then reaps it when it has ended.
  QByteArray ReadAll(int ms);
  // What it wrote to standard error so far (kOutAndErr only), taken out of the buffer.
  QByteArray TakeErr();

  bool running();
  pid_t pid() const { return pid_; }
  // The exit status once ended: the exit code, or -1 when a signal ended it.
  int exitCode() const { return exitCode_; }
  // The signal that ended it, 0 when it exited.
  int termSignal() const { return termSignal_; }

  bool WaitFinished(qint64 ms);
  // SIGTERM, then SIGKILL if the child has not ended within ms.
  void Terminate(int ms = 3000);
  // SIGKILL, then reaps it.
  void Kill();

 private:
  bool Fill(int ms);  // reads what is there; false at end of both streams or time-out
  bool Reap(bool block);
  void CloseStreams();

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  QByteArray outBuffer_;
  QByteArray errBuffer_;
  int exitCode_ = -1;
  int termSignal_ = 0;
};

// One run of a program to its end, both streams captured.
struct ChildRun {
  bool finished = false;  // false: it did not end within the time and was killed
  int exitCode = -1;
  QByteArray out;
  QByteArray err;
};
ChildRun RunChild(const QString& program, const QStringList& args,
                  const QMap<QString, QString>& env = {}, int ms = 30000);

}  // namespace kestrel::testing
