// A child process for the device tests, started with posix_spawn: the simulator and
// kestrel-cli. (QProcess forks in a way ThreadSanitizer's runtime cannot follow, and these
// tests run under it.) The destructor kills a child that still runs.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

#include <string>
#include <vector>

extern char** environ;

namespace kestrel::testing {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess() {
    Kill();
    if (out_ >= 0) ::close(out_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts the program with the arguments; `env` adds to (or replaces in) the environment.
  bool Start(const QString& program, const QStringList& args,
             const QMap<QString, QString>& env = {}) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    std::vector<std::string> argStore{QFile::encodeName(program).toStdString()};
    for (const QString& a : args) argStore.push_back(a.toLocal8Bit().toStdString());
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const QString name = QString::fromLocal8Bit(entry.substr(0, entry.find('=')));
      if (!env.contains(name)) envStore.push_back(entry);
    }
    for (auto it = env.begin(); it != env.end(); ++it)
      envStore.push_back((it.key() + '=' + it.value()).toLocal8Bit().toStdString());
    std::vector<char*> argv, envp;
    for (auto& s : argStore) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : envStore) envp.push_back(s.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    const int r = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (r != 0) {
      ::close(pipeFds[0]);
      pid_ = -1;
      return false;
    }
    out_ = pipeFds[0];
    ::fcntl(out_, F_SETFL, ::fcntl(out_, F_GETFL) | O_NONBLOCK);
    return true;
  }

  // The next line of standard output (without the line break), waiting up to ms.
  bool ReadLine(QByteArray* line, int ms) {
    QElapsedTimer t;
    t.start();
    for (;;) {
      const qsizetype nl = buffer_.indexOf('\n');
      if (nl >= 0) {
        *line = buffer_.left(nl);
        buffer_.remove(0, nl + 1);
        return true;
      }
      const qint64 left = ms - t.elapsed();
      if (left <= 0 || !Fill(static_cast<int>(left))) return false;
    }
  }

  // Everything the child writes until it ends (waiting up to ms), then its exit code.
  QByteArray ReadAll(int ms) {
    QElapsedTimer t;
    t.start();
    while (Fill(static_cast<int>(std::max<qint64>(1, ms - t.elapsed()))) && t.elapsed() < ms) {
    }
    WaitFinished(std::max<qint64>(100, ms - t.elapsed()));
    QByteArray all = buffer_;
    buffer_.clear();
    return all;
  }

  bool running() {
    Reap(false);
    return pid_ > 0;
  }
  int exitCode() const { return exitCode_; }

  bool WaitFinished(qint64 ms) {
    QElapsedTimer t;
    t.start();
    while (pid_ > 0) {
      if (Reap(false)) return true;
      if (t.elapsed() > ms) return false;
      ::usleep(5000);
    }
    return true;
  }

  // SIGTERM, then SIGKILL if the child has not ended within ms.
  void Terminate(int ms = 3000) {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!WaitFinished(ms)) Kill();
  }

  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    Reap(true);
  }

 private:
  // Reads what is there; false at end of file or time-out.
  bool Fill(int ms) {
    if (out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char chunk[4096];
    const ssize_t n = ::read(out_, chunk, sizeof(chunk));
    if (n <= 0) return false;
    buffer_.append(chunk, n);
    return true;
  }

  bool Reap(bool block) {
    if (pid_ <= 0) return true;
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (r == pid_) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      pid_ = -1;
      return true;
    }
    return false;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  QByteArray buffer_;
  int exitCode_ = -1;
};

}  // namespace kestrel::testing
