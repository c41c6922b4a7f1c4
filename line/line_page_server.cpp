#include "line/line_page_server.h"

#include "line/line_page.h"

#include <QCryptographicHash>

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace kestrel::line {
namespace {

using httplib::Request;
using httplib::Response;
using Handling = httplib::Server::HandlerResponse;

// A connection has a worker to itself while it lasts: browsers that reload the page every few
// seconds keep theirs open, so an idle connection is let go after a second.
constexpr int kWorkers = 8;
constexpr int kKeepAliveSeconds = 1;
constexpr int kTimeoutSeconds = 5;
constexpr int kRequestSeconds = 10;
constexpr int kKeepAliveRequests = 20;
constexpr std::size_t kMaxBodyBytes = 4096;
constexpr std::size_t kMaxRequestBytes = 64 * 1024;

void Plain(Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_header("Content-Security-Policy", "default-src 'none'");
  res.set_content(text + "\n", "text/plain; charset=utf-8");
}

// The words of the statuses the library answers with on its own.
const char* StatusText(int status) {
  switch (status) {
    case 400:
      return "bad request";
    case 413:
      return "payload too large";
    case 414:
      return "request line too long";
    case 416:
      return "range not satisfiable";
    case 431:
      return "request header fields too large";
    case 500:
      return "internal error";
    case 503:
      return "service unavailable";
    default:
      return "refused";
  }
}

// The answer to a request for the page or the JSON: the board, or why there is none.
bool Board(const LinePageServer::BoardSource& source, Response& res, LineBoard* board) {
  const LineResult r = source ? source(board) : LineUnreachable(QStringLiteral("no board"));
  if (r.ok()) return true;
  Plain(res, 503,
        "503 the line database does not answer: " + r.message.toUtf8().toStdString());
  return false;
}

// A connection's socket as the library reads a request from it, with bounds the library does
// not keep: a request may take kMaxRequestBytes and kRequestSeconds in all (the library
// itself would gather a request line without end for as long as the bytes come), each wait
// kTimeoutSeconds. Past a bound, reading fails and the connection ends without an answer.
class BoundedSocketStream final : public httplib::Stream {
 public:
  explicit BoundedSocketStream(int sock) : sock_(sock) {}
  void StartRequest() {
    read_ = 0;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(kRequestSeconds);
  }
  bool is_readable() const override { return Wait(POLLIN); }
  bool is_writable() const override { return Wait(POLLOUT); }
  ssize_t read(char* ptr, size_t size) override {
    if (read_ >= kMaxRequestBytes || std::chrono::steady_clock::now() > deadline_ || !Wait(POLLIN)) {
      return -1;
    }
    const ssize_t n = ::recv(sock_, ptr, std::min(size, kMaxRequestBytes - read_), 0);
    if (n > 0) read_ += static_cast<std::size_t>(n);
    return n;
  }
  ssize_t write(const char* ptr, size_t size) override {
    if (!Wait(POLLOUT)) return -1;
    return ::send(sock_, ptr, size, MSG_NOSIGNAL);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(true, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { Address(false, ip, port); }
  socket_t socket() const override { return sock_; }

  // Whether the next request begins within `seconds`.
  bool WaitForRequest(int seconds) const {
    pollfd p = {sock_, POLLIN, 0};
    return ::poll(&p, 1, seconds * 1000) > 0 && (p.revents & POLLIN) != 0;
  }

 private:
  bool Wait(short events) const {
    pollfd p = {sock_, events, 0};
    return ::poll(&p, 1, kTimeoutSeconds * 1000) > 0 && (p.revents & (events | POLLHUP)) != 0;
  }
  void Address(bool remote, std::string& ip, int& port) const {
    sockaddr_storage a = {};
    socklen_t size = sizeof a;
    auto* any = reinterpret_cast<sockaddr*>(&a);
    char text[INET6_ADDRSTRLEN] = {};
    port = 0;
    if ((remote ? ::getpeername(sock_, any, &size) : ::getsockname(sock_, any, &size)) != 0) return;
    if (a.ss_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
      ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
      port = ntohs(v4->sin_port);
    } else if (a.ss_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
      ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
      port = ntohs(v6->sin6_port);
    }
    ip = text;
  }

  const int sock_;
  std::size_t read_ = 0;
  std::chrono::steady_clock::time_point deadline_;
};

}  // namespace

// The library's server, each connection read through a BoundedSocketStream; and its reader of
// bytes that need no socket, for AnswerBytes.
class LinePageServer::Http : public httplib::Server {
 public:
  using httplib::Server::process_request;

 private:
  bool process_and_close_socket(socket_t sock) override {
    BoundedSocketStream stream(sock);
    bool closed = false;
    for (int i = 0; i < kKeepAliveRequests && !closed && is_running(); ++i) {
      if (i > 0 && !stream.WaitForRequest(kKeepAliveSeconds)) break;
      stream.StartRequest();
      if (!process_request(stream, i + 1 == kKeepAliveRequests, closed, [](Request&) {})) break;
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return true;
  }
};

namespace {

// A request's bytes in, the answer's bytes out.
class MemoryStream final : public httplib::Stream {
 public:
  explicit MemoryStream(const std::string& in) : in_(in) {}
  bool is_readable() const override { return true; }
  bool is_writable() const override { return true; }
  ssize_t read(char* ptr, size_t size) override {
    const std::size_t n = std::min(size, in_.size() - at_);
    if (n > 0) std::memcpy(ptr, in_.data() + at_, n);
    at_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    out.append(ptr, size);
    return static_cast<ssize_t>(size);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = "127.0.0.1";
    port = 1;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    ip = "127.0.0.1";
    port = 2;
  }
  socket_t socket() const override { return INVALID_SOCKET; }

  std::string out;

 private:
  const std::string& in_;
  std::size_t at_ = 0;
};

}  // namespace

bool ParseListenAddress(const QString& text, QString* host, int* port, QString* why) {
  const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
  QString h = colon > 0 ? text.left(colon) : QString();
  const QString p = colon > 0 ? text.mid(colon + 1) : QString();
  const bool v6 = h.startsWith(QLatin1Char('[')) && h.endsWith(QLatin1Char(']'));
  if (v6) h = h.mid(1, h.size() - 2);
  unsigned char address[16];
  const QByteArray bytes = h.toLatin1();
  bool ok = false;
  const int n = p.toInt(&ok);
  if (h.isEmpty() || h.size() > 45 || (!v6 && h.contains(QLatin1Char(':'))) ||
      ::inet_pton(v6 ? AF_INET6 : AF_INET, bytes.constData(), address) != 1) {
    *why = QStringLiteral("--listen takes HOST:PORT with HOST an IPv4 address or [IPv6]: ") + text;
    return false;
  }
  if (!ok || n < 0 || n > 65535 || p.isEmpty() ||
      !std::all_of(p.begin(), p.end(), [](QChar c) { return c.isDigit(); })) {
    *why = QStringLiteral("--listen takes a PORT of 0 to 65535: ") + text;
    return false;
  }
  *host = h;
  *port = n;
  return true;
}

LinePageServer::LinePageServer(BoardSource source) : http_(std::make_unique<Http>()) {
  const QByteArray script = LinePageScript();
  const std::string policy =
      "default-src 'none'; style-src 'unsafe-inline'; connect-src 'self'; script-src 'sha256-" +
      QCryptographicHash::hash(script, QCryptographicHash::Sha256).toBase64().toStdString() +
      "'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
  Http& h = *http_;
  h.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  // SO_REUSEADDR only: no other process may bind the same port beside this one.
  h.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  h.set_tcp_nodelay(true);
  h.set_keep_alive_max_count(kKeepAliveRequests);
  h.set_keep_alive_timeout(kKeepAliveSeconds);
  h.set_read_timeout(kTimeoutSeconds, 0);
  h.set_write_timeout(kTimeoutSeconds, 0);
  h.set_payload_max_length(kMaxBodyBytes);
  h.set_default_headers({{"Cache-Control", "no-store"},
                         {"X-Content-Type-Options", "nosniff"},
                         {"X-Frame-Options", "DENY"},
                         {"Referrer-Policy", "no-referrer"}});
  // What the library refuses on its own gets a line of text saying which, as the others do.
  h.set_error_handler([](const Request&, Response& res) {
    if (res.body.empty()) {
      Plain(res, res.status, std::to_string(res.status) + " " + StatusText(res.status));
    }
  });
  h.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
    Plain(res, 500, "500 internal error");
  });
  // Every request is answered here, before the library's own routing.
  h.set_pre_routing_handler([source = std::move(source), policy](const Request& req,
                                                                   Response& res) {
    if (req.method != "GET" && req.method != "HEAD") {
      res.set_header("Allow", "GET, HEAD");
      Plain(res, 405, "405 method not allowed (GET and HEAD only)");
      return Handling::Handled;
    }
    if (req.target.find('?') != std::string::npos || !req.params.empty()) {
      Plain(res, 400, "400 no query strings here");
      return Handling::Handled;
    }
    std::size_t bytes = 0;
    for (const auto& [name, value] : req.headers) bytes += name.size() + value.size() + 4;
    if (req.headers.size() > static_cast<std::size_t>(kMaxHeaders) ||
        bytes > static_cast<std::size_t>(kMaxHeaderBytes)) {
      Plain(res, 431, "431 request header fields too large");
      return Handling::Handled;
    }
    const bool page = req.target == "/";
    if (!page && req.target != "/api/line") {
      Plain(res, 404, "404 not found (the line page is / and its JSON /api/line)");
      return Handling::Handled;
    }
    LineBoard board;
    if (!Board(source, res, &board)) return Handling::Handled;
    res.status = 200;
    if (page) {
      res.set_header("Content-Security-Policy", policy);
      res.set_content(LinePageHtml(board).toStdString(), "text/html; charset=utf-8");
    } else {
      res.set_header("Content-Security-Policy", "default-src 'none'");
      res.set_content(LinePageJson(board).toStdString(), "application/json");
    }
    return Handling::Handled;
  });
}

LinePageServer::~LinePageServer() = default;

bool LinePageServer::Bind(const QString& host, int port, QString* why) {
  const std::string h = host.toStdString();
  if (port == 0) {
    port_ = http_->bind_to_any_port(h);
  } else {
    port_ = http_->bind_to_port(h, port) ? port : -1;
  }
  if (port_ <= 0) {
    *why = QStringLiteral("cannot listen on %1 port %2: %3")
               .arg(host)
               .arg(port)
               .arg(QString::fromLocal8Bit(std::strerror(errno)));
    port_ = 0;
    return false;
  }
  return true;
}

bool LinePageServer::Run() {
  return http_->listen_after_bind();
}

void LinePageServer::Stop() {
  http_->stop();
}

std::string LinePageServer::AnswerBytes(const std::string& request) {
  MemoryStream stream(request);
  bool closed = false;
  http_->process_request(stream, true, closed, [](Request&) {});
  return std::move(stream.out);
}

}  // namespace kestrel::line
