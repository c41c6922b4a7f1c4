// The POSIX side of the host's seam: a socket pair whose second end the host inherits as a
// numbered descriptor, posix_spawn (no fork of a threaded station), waitpid, dlopen.
#include "device/oxbind/host/host_platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

extern char** environ;

namespace kestrel::device::oxbind::host {
namespace {

// The descriptor the host finds its end of the channel on.
constexpr int kChildFd = 3;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string Errno(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

class SocketLink final : public Link {
 public:
  explicit SocketLink(int fd) : fd_(fd) {
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
  }
  ~SocketLink() override { ::close(fd_); }

  bool Write(const std::uint8_t* data, std::size_t size, int timeoutMs) override {
    const std::int64_t deadline = NowMs() + timeoutMs;
    while (size > 0) {
      if (down_.load()) return false;
      const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
      if (n > 0) {
        data += n;
        size -= static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      const std::int64_t left = deadline - NowMs();
      if (left <= 0) return false;
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
    }
    return true;
  }

  std::size_t Read(std::uint8_t* buffer, std::size_t capacity) override {
    for (;;) {
      if (down_.load()) return 0;
      const ssize_t n = ::recv(fd_, buffer, capacity, 0);
      if (n > 0) return static_cast<std::size_t>(n);
      if (n == 0) return 0;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return 0;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, -1) < 0 && errno != EINTR) return 0;
    }
  }

  void Shutdown() override {
    down_.store(true);
    ::shutdown(fd_, SHUT_RDWR);  // wakes a poll of another thread
  }

 private:
  int fd_;
  std::atomic<bool> down_{false};
};

std::string SignalText(int sig) {
  const char* abbrev = ::sigabbrev_np(sig);
  return "signal " + std::to_string(sig) +
         (abbrev != nullptr ? " (SIG" + std::string(abbrev) + ")" : std::string());
}

class PosixHostProcess final : public HostProcess {
 public:
  PosixHostProcess(pid_t pid, int fd) : pid_(pid), link_(fd) {}

  Link& link() override { return link_; }
  int ProcessId() const override { return static_cast<int>(pid_); }

  void Kill() override {
    std::lock_guard lock(mutex_);
    if (!reaped_) ::kill(pid_, SIGKILL);
  }

  bool Wait(int timeoutMs, std::string* how) override {
    const std::int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
      {
        std::lock_guard lock(mutex_);
        if (!reaped_) {
          int status = 0;
          const pid_t r = ::waitpid(pid_, &status, WNOHANG);
          if (r == pid_ || (r < 0 && errno == ECHILD)) {
            reaped_ = true;
            if (r < 0) {
              how_ = "ended (its status was taken elsewhere)";
            } else if (WIFSIGNALED(status)) {
              how_ = SignalText(WTERMSIG(status));
            } else {
              how_ = "exit code " + std::to_string(WEXITSTATUS(status));
            }
          }
        }
        if (reaped_) {
          if (how != nullptr) *how = how_;
          return true;
        }
      }
      if (NowMs() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

 private:
  pid_t pid_;
  SocketLink link_;
  std::mutex mutex_;
  bool reaped_ = false;
  std::string how_;
};

class PosixLibrary final : public SharedLibrary {
 public:
  explicit PosixLibrary(void* handle) : handle_(handle) {}
  void* Symbol(const char* name) override { return ::dlsym(handle_, name); }
  std::string PathOf(void* symbol) override {
    Dl_info info{};
    if (symbol == nullptr || ::dladdr(symbol, &info) == 0 || info.dli_fname == nullptr) return {};
    std::string path = info.dli_fname;
    if (!path.empty() && path[0] != '/') {
      char cwd[4096];
      if (::getcwd(cwd, sizeof(cwd)) != nullptr) path = std::string(cwd) + "/" + path;
    }
    return path;
  }

 private:
  void* handle_;
};

}  // namespace

std::unique_ptr<HostProcess> HostProcess::Start(const std::string& program,
                                                const std::vector<std::string>& arguments,
                                                int /*timeoutMs*/, std::string* error) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    *error = Errno("no socket pair for the host");
    return nullptr;
  }
  std::vector<std::string> words{program, ChannelOption(), std::to_string(kChildFd)};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // dup2 leaves the new descriptor open across exec; every other one of the station is
  // close-on-exec, the station's own end of the pair among them.
  posix_spawn_file_actions_adddup2(&actions, fds[1], kChildFd);
  pid_t pid = 0;
  const int r = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  if (r != 0) {
    ::close(fds[0]);
    *error = "cannot start " + program + ": " + std::strerror(r);
    return nullptr;
  }
  return std::make_unique<PosixHostProcess>(pid, fds[0]);
}

const char* ChannelOption() {
  return "--fd";
}

std::unique_ptr<Link> OpenParentChannel(const std::string& value, std::string* error) {
  char* end = nullptr;
  const long fd = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end != 0 || fd < 0 || fd > 1024 ||
      ::fcntl(static_cast<int>(fd), F_GETFD) < 0) {
    *error = "no channel on descriptor " + value;
    return nullptr;
  }
  ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  return std::make_unique<SocketLink>(static_cast<int>(fd));
}

void SetEnvironment(const std::string& name, const std::string& value, bool set) {
  if (set) {
    ::setenv(name.c_str(), value.c_str(), 1);
  } else {
    ::unsetenv(name.c_str());
  }
}

void ExitNow(int code) {
  ::_exit(code);
}

std::unique_ptr<SharedLibrary> SharedLibrary::Load(const std::string& file, std::string* error) {
  void* handle = ::dlopen(file.c_str(), RTLD_LAZY | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = ::dlerror();
    *error = why != nullptr ? why : "dlopen failed";
    return nullptr;
  }
  return std::make_unique<PosixLibrary>(handle);
}

}  // namespace kestrel::device::oxbind::host
