// kestrel-power-sim: a SCPI bench power supply on a loopback TCP port, for tests and training.
//
//   kestrel-power-sim --listen PORT [--log FILE] [--silent] [--exit-with-parent]
//
// Listens on 127.0.0.1:PORT (0 picks a free port), prints "ready tcp://127.0.0.1:PORT" once it
// accepts connections, keeps the voltage and output state for as long as it runs and writes
// every command it receives to the log (standard error without --log), one a line. With
// --silent it reads and logs but never answers, like an instrument that hangs. It ends on
// SIGTERM or SIGINT, and with --exit-with-parent also when the process that started it ends.
#include "tools/power-sim/scpi_instrument.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
  g_stop = 1;
}

int Usage() {
  std::fputs("usage: kestrel-power-sim --listen PORT [--log FILE] [--silent] [--exit-with-parent]\n",
             stderr);
  return 2;
}

struct Client {
  int fd;
  std::string pending;
};

constexpr size_t kMaxLine = 64 * 1024;
constexpr size_t kMaxClients = 16;

void SendAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;  // the client is gone or stuck; it is dropped at its next read
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const pid_t parent = ::getppid();
  long port = -1;
  const char* logPath = nullptr;
  bool silent = false;
  bool exitWithParent = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--listen" && i + 1 < argc) {
      char* end = nullptr;
      port = std::strtol(argv[++i], &end, 10);
      if (end == nullptr || *end != '\0' || port < 0 || port > 65535) return Usage();
    } else if (a == "--log" && i + 1 < argc) {
      logPath = argv[++i];
    } else if (a == "--silent") {
      silent = true;
    } else if (a == "--exit-with-parent") {
      exitWithParent = true;
    } else {
      return Usage();
    }
  }
  if (port < 0) return Usage();

  std::FILE* log = stderr;
  if (logPath != nullptr) {
    log = std::fopen(logPath, "a");
    if (log == nullptr) {
      std::fprintf(stderr, "kestrel-power-sim: cannot open log %s: %s\n", logPath,
                   std::strerror(errno));
      return 1;
    }
  }

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  // A test that crashes cannot stop its simulator: with --exit-with-parent the simulator
  // ends (cleanly, through SIGTERM) when the process that started it goes.
  if (exitWithParent) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) return 0;
  }

  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 8) != 0) {
    std::fprintf(stderr, "kestrel-power-sim: cannot listen on 127.0.0.1:%ld: %s\n", port,
                 std::strerror(errno));
    return 1;
  }
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::printf("ready tcp://127.0.0.1:%u\n", static_cast<unsigned>(ntohs(addr.sin_port)));
  std::fflush(stdout);

  kestrel::tools::powersim::ScpiInstrument instrument;
  std::vector<Client> clients;
  while (!g_stop) {
    std::vector<pollfd> fds;
    fds.push_back({listener, POLLIN, 0});
    for (const Client& c : clients) fds.push_back({c.fd, POLLIN, 0});
    const int r = ::poll(fds.data(), fds.size(), 500);
    if (r < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & POLLIN) {
      const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        if (clients.size() < kMaxClients) {
          clients.push_back({fd, {}});
        } else {
          ::close(fd);
        }
      }
    }
    for (size_t i = 1; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      Client& c = clients[i - 1];
      char buffer[4096];
      const ssize_t n = ::read(c.fd, buffer, sizeof buffer);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        ::close(c.fd);
        c.fd = -1;
        continue;
      }
      c.pending.append(buffer, static_cast<size_t>(n));
      size_t nl;
      while ((nl = c.pending.find('\n')) != std::string::npos) {
        std::string line = c.pending.substr(0, nl);
        c.pending.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::fprintf(log, "%s\n", line.c_str());
        std::fflush(log);
        const std::vector<std::string> answers = instrument.Execute(line);
        if (silent) continue;
        for (const std::string& a : answers) SendAll(c.fd, a + "\n");
      }
      if (c.pending.size() > kMaxLine) {
        ::close(c.fd);
        c.fd = -1;
      }
    }
    std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
  }
  for (const Client& c : clients) ::close(c.fd);
  ::close(listener);
  if (log != stderr) std::fclose(log);
  return 0;
}
