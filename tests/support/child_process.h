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

#include <QElapsedTimer>
#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

extern char** environ;

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

// --- Definitions (inline: the header serves tests and benchmarks alike) ---

inline ChildProcess::~ChildProcess() {
  Kill();
  CloseStreams();
}

inline void ChildProcess::CloseStreams() {
  if (out_ >= 0) ::close(out_);
  if (err_ >= 0) ::close(err_);
  out_ = err_ = -1;
}

inline bool ChildProcess::Start(const QString& program, const QStringList& args,
                                const QMap<QString, QString>& env, Streams streams) {
  if (pid_ > 0) return false;
  CloseStreams();
  outBuffer_.clear();
  errBuffer_.clear();
  exitCode_ = -1;
  termSignal_ = 0;
  int outFds[2] = {-1, -1};
  int errFds[2] = {-1, -1};
  if (::pipe2(outFds, O_CLOEXEC) != 0) return false;
  if (streams == Streams::kOutAndErr && ::pipe2(errFds, O_CLOEXEC) != 0) {
    ::close(outFds[0]);
    ::close(outFds[1]);
    return false;
  }
  std::vector<std::string> argStore{QFile::encodeName(program).toStdString()};
  for (const QString& a : args) argStore.push_back(a.toLocal8Bit().toStdString());
  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const QString name = QString::fromLocal8Bit(entry.substr(0, entry.find('=')));
    if (!env.contains(name)) envStore.push_back(entry);
  }
  for (auto it = env.begin(); it != env.end(); ++it) {
    if (!it.value().isNull())
      envStore.push_back((it.key() + '=' + it.value()).toLocal8Bit().toStdString());
  }
  std::vector<char*> argv, envp;
  for (auto& s : argStore) argv.push_back(s.data());
  argv.push_back(nullptr);
  for (auto& s : envStore) envp.push_back(s.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outFds[1], STDOUT_FILENO);
  if (errFds[1] >= 0) posix_spawn_file_actions_adddup2(&actions, errFds[1], STDERR_FILENO);
  const int r = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(outFds[1]);
  if (errFds[1] >= 0) ::close(errFds[1]);
  out_ = outFds[0];
  err_ = errFds[0];
  if (r != 0) {
    CloseStreams();
    pid_ = -1;
    return false;
  }
  for (int fd : {out_, err_}) {
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  return true;
}

inline bool ChildProcess::ReadLine(QByteArray* line, int ms) {
  QElapsedTimer t;
  t.start();
  for (;;) {
    const qsizetype nl = outBuffer_.indexOf('\n');
    if (nl >= 0) {
      *line = outBuffer_.left(nl);
      outBuffer_.remove(0, nl + 1);
      return true;
    }
    const qint64 left = ms - t.elapsed();
    if (left <= 0 || !Fill(static_cast<int>(left))) return false;
  }
}

inline QByteArray ChildProcess::ReadAll(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms && Fill(static_cast<int>(std::max<qint64>(1, ms - t.elapsed())))) {
  }
  WaitFinished(std::max<qint64>(100, ms - t.elapsed()));
  QByteArray all = outBuffer_;
  outBuffer_.clear();
  return all;
}

inline QByteArray ChildProcess::TakeErr() {
  while (Fill(0)) {
  }
  QByteArray all = errBuffer_;
  errBuffer_.clear();
  return all;
}

inline bool ChildProcess::Fill(int ms) {
  pollfd p[2];
  nfds_t n = 0;
  for (int fd : {out_, err_}) {
    if (fd >= 0) p[n++] = pollfd{fd, POLLIN, 0};
  }
  if (n == 0 || ::poll(p, n, ms) <= 0) return false;
  bool progress = false;
  for (nfds_t i = 0; i < n; ++i) {
    if (p[i].revents == 0) continue;
    char chunk[4096];
    const ssize_t got = ::read(p[i].fd, chunk, sizeof(chunk));
    int& fd = p[i].fd == out_ ? out_ : err_;
    if (got > 0) {
      (p[i].fd == out_ ? outBuffer_ : errBuffer_).append(chunk, got);
      progress = true;
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      ::close(fd);  // end of the stream
      fd = -1;
      progress = true;
    }
  }
  return progress && (out_ >= 0 || err_ >= 0);
}

inline bool ChildProcess::running() {
  Reap(false);
  return pid_ > 0;
}

inline bool ChildProcess::WaitFinished(qint64 ms) {
  QElapsedTimer t;
  t.start();
  while (pid_ > 0) {
    if (Reap(false)) return true;
    if (t.elapsed() > ms) return false;
    // Keep the pipes drained so that a child writing a lot does not block on them.
    if (!Fill(5)) ::usleep(5000);
  }
  return true;
}

inline void ChildProcess::Terminate(int ms) {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (!WaitFinished(ms)) Kill();
}

inline void ChildProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  Reap(true);
}

inline bool ChildProcess::Reap(bool block) {
  if (pid_ <= 0) return true;
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  if (r == pid_) {
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    termSignal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    pid_ = -1;
    return true;
  }
  return false;
}

inline ChildRun RunChild(const QString& program, const QStringList& args,
                         const QMap<QString, QString>& env, int ms) {
  ChildProcess p;
  ChildRun r;
  if (!p.Start(program, args, env, ChildProcess::Streams::kOutAndErr)) return r;
  r.out = p.ReadAll(ms);
  r.err = p.TakeErr();
  r.finished = !p.running();
  r.exitCode = p.exitCode();
  return r;
}

}  // namespace kestrel::testing
