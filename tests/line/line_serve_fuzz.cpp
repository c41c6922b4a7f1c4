// Any bytes as a request to the line page's server (read by cpp-httplib, answered by the page's
// routing): nothing crashes; the answer is an HTTP status line and headers; the board is read,
// and the page or its JSON served, only for GET or HEAD of exactly / or /api/line; anything
// else is an error status with a line of text.
#include "line/line_page_server.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <string>
#include <vector>

namespace {

const std::string* g_request = nullptr;  // the input being tried

void Check(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "line_serve_fuzz: check at line %d failed for the request:\n", line);
  for (const char c : *g_request) {
    if (c >= ' ' && c <= '~' && c != '\\') {
      std::fputc(c, stderr);
    } else {
      std::fprintf(stderr, "\\x%02x", static_cast<unsigned char>(c));
    }
  }
  std::fputc('\n', stderr);
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
  g_request = &request;
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
  // The request line's first two words (blanks and tabs between words).
  std::vector<std::string> words;
  const std::string first = request.substr(0, request.find_first_of("\r\n"));
  for (std::size_t at = 0; words.size() < 2 && at < first.size();) {
    const std::size_t from = first.find_first_not_of(" \t", at);
    if (from == std::string::npos) break;
    const std::size_t to = std::min(first.find_first_of(" \t", from), first.size());
    words.push_back(first.substr(from, to - from));
    at = to;
  }
  // The library leaves a fragment out of the target (a browser never sends one).
  const std::string target = words.size() == 2 ? words[1].substr(0, words[1].find('#')) : "";
  const bool known = (words.size() == 2 && (words[0] == "GET" || words[0] == "HEAD")) &&
                     (target == "/" || target == "/api/line");
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
