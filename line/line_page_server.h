// The line page's web server (kestrel-cli line serve), on cpp-httplib: read-only, bound to the
// one address it is given. It answers
//
//   GET / (and HEAD)          the line page (line/line_page.h)
//   GET /api/line (and HEAD)  the same as JSON
//
// and every other request with an error status and a line of text saying which, nothing else:
// another method 405, a query string on any path 400, more than kMaxHeaders header fields or
// kMaxHeaderBytes of them 431, any other path (compared as sent, undecoded) 404, a line
// database that does not answer 503; what the library itself refuses (a request line over 8 KiB:
// 414, a header line over 8 KiB or a request it cannot read: 400) likewise. No part of a request
// reaches the database: the board is read the same way for every request.
//
// Threads: the library answers on a few threads of its own; the board source is called from
// them, so it must be callable from any thread (LineDatabase is). Stop may be called from any.
#pragma once

#include "line/line_database.h"

#include <QString>

#include <functional>
#include <memory>
#include <string>

namespace kestrel::line {

constexpr int kMaxHeaders = 64;
constexpr int kMaxHeaderBytes = 16 * 1024;

// HOST:PORT with HOST an IPv4 address or an IPv6 one in brackets ([::1]:8080), PORT 0-65535
// (0: any free port). False with the reason.
bool ParseListenAddress(const QString& text, QString* host, int* port, QString* why);

class LinePageServer {
 public:
  using BoardSource = std::function<LineResult(LineBoard*)>;

  explicit LinePageServer(BoardSource source);
  ~LinePageServer();
  LinePageServer(const LinePageServer&) = delete;
  LinePageServer& operator=(const LinePageServer&) = delete;

  // Binds to the address (port 0: a free one, port() tells which). False with the reason.
  bool Bind(const QString& host, int port, QString* why);
  int port() const { return port_; }
  // Serves until Stop; false when it could not.
  bool Run();
  void Stop();

  // One request's bytes answered as the server answers them on a connection that closes after
  // it, without a socket: the answer's bytes.
  std::string AnswerBytes(const std::string& request);

 private:
  class Http;
  std::unique_ptr<Http> http_;
  int port_ = 0;
};

}  // namespace kestrel::line
