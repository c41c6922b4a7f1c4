// Any bytes as a request to the line page's server (read by cpp-httplib, answered by the page's
// routing): nothing crashes; the answer is an HTTP status line and headers; the board is read,
// and the page or its JSON served, only for GET or HEAD of exactly / or /api/line; anything
// else is an error status with a line of text.
#include "line/line_page_server.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Check(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "line_serve_fuzz: check at line %d failed\n", line);
  std::abort();
}
#define Require(cond) Check((cond), __LINE__)

int g_reads = 0;

kestrel::line::LinePageServer& Server() {
  static kestrel::line::LinePageServer server([](kestrel::line::LineBoard* b) {
    ++g_reads;
    b->at = QDateTime::fromMSecsSinceEpoch(1796000000000, Qt::UTC);
    kestrel::line::LineBoardStation s;
    s.station = QStringLiteral("K1");
    s.phones = 3;
    s.passed = 2;
    b->stations = {s};
    return kestrel::line::LineResult{};
  });
  return server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string request(reinterpret_cast<const char*>(data), size);
  const int before = g_reads;
  std::string answer = Server().AnswerBytes(request);
  if (answer.empty()) return 0;  // the library found no request line to answer
  // An interim "100 Continue" first, then the answer.
  while (answer.rfind("HTTP/1.1 100 ", 0) == 0 && answer.find("\r\n\r\n") != std::string::npos) {
    answer = answer.substr(answer.find("\r\n\r\n") + 4);
  }
  Require(answer.rfind("HTTP/1.1 ", 0) == 0 && answer.size() >= 12);
  const int status = std::atoi(answer.substr(9, 3).c_str());
  const std::size_t end = answer.find("\r\n\r\n");
  Require(end != std::string::npos);
  const std::string body = answer.substr(end + 4);
  const bool known = request.rfind("GET / ", 0) == 0 || request.rfind("HEAD / ", 0) == 0 ||
                     request.rfind("GET /api/line ", 0) == 0 ||
                     request.rfind("HEAD /api/line ", 0) == 0;
  if (g_reads != before) {
    // The page or the JSON (whole, or the range asked for).
    Require(known && g_reads == before + 1);
    Require(status == 200 || status == 206 || status == 416);
  } else {
    Require(status >= 400 && status < 600);
    Require(body.size() < 200 && body.find("K1") == std::string::npos);
  }
  return 0;
}
