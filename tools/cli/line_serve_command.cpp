// kestrel-cli line serve --listen HOST:PORT
//
// The line page, live: a read-only web server on the one address given (an IPv4 address, or
// an IPv6 one in brackets; port 0 takes a free one), answering GET / with the page and GET
// /api/line with the same as JSON (line/line_page_server.h), until SIGINT or SIGTERM. It
// connects as the admin or a reporting role (add-reporter), which may read the job summaries and
// nothing else; a station's role is refused. Once it listens it prints
//   line page http://HOST:PORT/ (JSON: /api/line)
// A database that goes away answers 503 until it is back.
#include "line/line_page.h"
#include "line/line_page_server.h"
#include "tools/cli/line_page_commands.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

#include <poll.h>
#include <unistd.h>

namespace kestrel::cli {
namespace {

int g_wake = -1;  // the write end of the pipe that ends the server

void OnSignal(int) {
  const char byte = 's';
  if (g_wake >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(g_wake, &byte, 1);
  }
}

int Usage(const QString& why) {
  std::fprintf(stderr, "kestrel-cli line serve: %s\n", why.toLocal8Bit().constData());
  return kLineExitUsage;
}

}  // namespace

int RunLineServe(line::LineDatabase& line, QStringList options) {
  QString listen;
  while (!options.isEmpty()) {
    const QString option = options.takeFirst();
    if (option != QLatin1String("--listen") || options.isEmpty()) {
      return Usage(QStringLiteral("serve takes --listen HOST:PORT"));
    }
    listen = options.takeFirst();
  }
  QString host, why;
  int port = 0;
  if (listen.isEmpty()) return Usage(QStringLiteral("serve takes --listen HOST:PORT"));
  if (!line::ParseListenAddress(listen, &host, &port, &why)) return Usage(why);

  // The page once before listening: a role that may not read it is refused here.
  line::LineBoard board;
  const line::LineResult first = line.Board(line::kBoardWindowSeconds, &board);
  if (!first.ok()) return LineFailure(first);

  line::LinePageServer server(
      [&line](line::LineBoard* b) { return line.Board(line::kBoardWindowSeconds, b); });
  if (!server.Bind(host, port, &why)) {
    std::fprintf(stderr, "kestrel-cli line serve: %s\n", why.toLocal8Bit().constData());
    return kLineExitUnreachable;
  }
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) return kLineExitUnreachable;
  g_wake = pipeEnds[1];
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  struct sigaction oldInt = {}, oldTerm = {};
  ::sigaction(SIGINT, &action, &oldInt);
  ::sigaction(SIGTERM, &action, &oldTerm);
  std::atomic<bool> ended{false};
  std::thread watch([&server, &ended, readEnd = pipeEnds[0]] {
    pollfd p = {readEnd, POLLIN, 0};
    while (::poll(&p, 1, -1) < 0) {
    }
    // Also a server that was only about to listen is stopped.
    while (!ended.load()) {
      server.Stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });

  const QString shown = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
  std::printf("line page http://%s:%d/ (JSON: /api/line)\n", shown.toLocal8Bit().constData(),
              server.port());
  std::fflush(stdout);
  const bool served = server.Run();
  ended.store(true);
  OnSignal(0);  // the watch ends, if no signal ended the server
  watch.join();
  ::sigaction(SIGINT, &oldInt, nullptr);
  ::sigaction(SIGTERM, &oldTerm, nullptr);
  g_wake = -1;
  ::close(pipeEnds[0]);
  ::close(pipeEnds[1]);
  return served ? kLineExitDone : kLineExitUnreachable;
}

}  // namespace kestrel::cli
