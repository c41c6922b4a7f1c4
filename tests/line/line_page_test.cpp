// The line page and its server: tiles and JSON from a board, escaped; every request that is not
// GET / or GET /api/line answered with an error status and nothing else, the server going on;
// and kestrel-cli line serve as a supervisor runs it, against a real server, over real sockets:
// bound where it is told alone, serving a reporting role's view and refusing a station's.
#include "line/line_page.h"
#include "line/line_page_server.h"

#include "tests/line/line_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <utility>
#include <csignal>

using kestrel::line::LineBoard;
using kestrel::line::LineBoardStation;
using kestrel::line::LineDatabase;
using kestrel::line::LineJob;
using kestrel::line::LinePageServer;
using kestrel::line::LineResult;
using kestrel::testing::ChildProcess;
using kestrel::testing::LineServer;

namespace {

LineBoard FixedBoard() {
  LineBoard b;
  b.at = QDateTime(QDate(2026, 12, 9), QTime(10, 0, 5), Qt::UTC);
  LineBoardStation good;
  good.station = QStringLiteral("K1");
  good.phones = 50;
  good.passed = 49;
  good.lastPass = b.at.addSecs(-12);
  good.sincePassS = 12.4;
  LineBoardStation poor;
  poor.station = QStringLiteral("<script>alert(1)</script>");
  poor.phones = 8;
  poor.passed = 5;
  poor.lastPass = b.at.addSecs(-4000);
  poor.sincePassS = 4000;
  poor.failedAt = QDateTime(QDate(2026, 12, 9), QTime(11, 58, 1, 250), Qt::OffsetFromUTC, 7200);
  poor.failedOutcome = QStringLiteral("failed");
  poor.failedStep = QStringLiteral("KV_FastWriteNvInfo");
  poor.failedCode = 34;
  poor.failedMessage = QStringLiteral("Write IMEI failed ! \"34\" & <b>'x'</b>");
  poor.failedMessageId = 106;
  LineBoardStation idle;
  idle.station = QStringLiteral("K3");
  b.stations = {good, poor, idle};
  return b;
}

// The status of an answer ("HTTP/1.1 404 Not Found" gives 404; 0 when there is none) and its
// body.
int StatusOf(const std::string& answer, std::string* body = nullptr) {
  if (answer.rfind("HTTP/1.1 ", 0) != 0 || answer.size() < 12) return 0;
  const std::size_t end = answer.find("\r\n\r\n");
  if (body != nullptr) *body = end == std::string::npos ? std::string() : answer.substr(end + 4);
  return std::stoi(answer.substr(9, 3));
}

TEST(LinePage, TilesAndJsonTellEachStationWithNothingUnescaped) {
  const LineBoard b = FixedBoard();
  const QString page = QString::fromUtf8(kestrel::line::LinePageHtml(b));
  EXPECT_EQ(page.count("<section class=\"tile "), 3);
  EXPECT_TRUE(page.contains("<section class=\"tile good\" data-station=\"K1\">"));
  EXPECT_TRUE(page.contains("<p class=\"yield\">98.0 %</p>"));
  EXPECT_TRUE(page.contains("49 of 50 phones passed in the last hour"));
  EXPECT_TRUE(page.contains("last pass <span class=\"ago\">12 s ago</span>"));
  EXPECT_TRUE(page.contains("<section class=\"tile poor\" data-station=\"&lt;script&gt;alert(1)&lt;/script&gt;\">"));
  EXPECT_TRUE(page.contains("<p class=\"yield\">62.5 %</p>"));
  EXPECT_TRUE(page.contains("last failure <time datetime=\"2026-12-09T11:58:01.250+02:00\">11:58:01</time> "
                            "at KV_FastWriteNvInfo (code 34)"));
  EXPECT_TRUE(page.contains("Write IMEI failed ! &quot;34&quot; &amp; &lt;b&gt;&#39;x&#39;&lt;/b&gt;"));
  EXPECT_TRUE(page.contains("<section class=\"tile idle\" data-station=\"K3\">"));
  EXPECT_TRUE(page.contains("no phones in the last hour"));
  EXPECT_EQ(page.count("<script"), 1) << "the page's own script alone";
  EXPECT_FALSE(page.contains("<b>"));

  const QJsonObject root = QJsonDocument::fromJson(kestrel::line::LinePageJson(b)).object();
  EXPECT_EQ(root["at"].toString(), "2026-12-09T10:00:05.000Z");
  EXPECT_EQ(root["window_s"].toInt(), 3600);
  const QJsonArray stations = root["stations"].toArray();
  ASSERT_EQ(stations.size(), 3);
  const QJsonObject k1 = stations[0].toObject();
  EXPECT_EQ(k1["yield"].toDouble(), 98.0);
  EXPECT_EQ(k1["failed"].toInt(), 1);
  EXPECT_EQ(k1["since_pass_s"].toInt(), 12);
  EXPECT_TRUE(k1["last_failure"].isNull());
  const QJsonObject failure = stations[1].toObject()["last_failure"].toObject();
  EXPECT_EQ(stations[1].toObject()["station"].toString(), "<script>alert(1)</script>");
  EXPECT_EQ(failure["at"].toString(), "2026-12-09T11:58:01.250+02:00");
  EXPECT_EQ(failure["message"].toString(), b.stations[1].failedMessage);
  EXPECT_EQ(failure["message_id"].toInt(), 106);
  EXPECT_EQ(failure["code"].toInt(), 34);
  const QJsonObject k3 = stations[2].toObject();
  EXPECT_TRUE(k3["yield"].isNull() && k3["last_pass"].isNull() && k3["since_pass_s"].isNull());

  const struct {
    double seconds;
    const char* text;
  } ago[] = {{-3, "just now"}, {0.5, "just now"}, {59.9, "59 s ago"}, {60, "1 min ago"},
             {3599, "59 min ago"}, {3600, "1 h ago"}, {3660, "1 h 1 min ago"}, {86400 * 3 + 5, "3 d ago"}};
  for (const auto& a : ago) EXPECT_EQ(kestrel::line::AgoText(a.seconds), a.text) << a.seconds;
}

TEST(LinePage, EveryOtherRequestGetsAnErrorStatusAndNothingElse) {
  std::atomic<int> reads{0};
  LinePageServer server([&reads](LineBoard* b) {
    ++reads;
    *b = FixedBoard();
    return LineResult{};
  });
  const std::string host = "Host: 127.0.0.1\r\n";
  std::string manyHeaders, bigHeaders;
  for (int i = 0; i < 70; ++i) manyHeaders += "X-" + std::to_string(i) + ": 1\r\n";
  for (int i = 0; i < 10; ++i) bigHeaders += "X-" + std::to_string(i) + ": " + std::string(2000, 'v') + "\r\n";
  const struct {
    std::string request;
    int status;
  } cases[] = {
      {"GET /?a=1 HTTP/1.1\r\n" + host + "\r\n", 400},
      {"GET /api/line?x HTTP/1.1\r\n" + host + "\r\n", 400},
      {"GET /api/line? HTTP/1.1\r\n" + host + "\r\n", 400},
      {"GET /nowhere?q=%27 HTTP/1.1\r\n" + host + "\r\n", 400},
      {"GET /../etc/passwd HTTP/1.1\r\n" + host + "\r\n", 404},
      {"GET /%2e%2e/ HTTP/1.1\r\n" + host + "\r\n", 404},
      {"GET /%61pi/line HTTP/1.1\r\n" + host + "\r\n", 404},
      {"GET //api/line HTTP/1.1\r\n" + host + "\r\n", 404},
      {"GET /api/line/ HTTP/1.1\r\n" + host + "\r\n", 404},
      {"GET /API/LINE HTTP/1.1\r\n" + host + "\r\n", 404},
      {"GET /index.html HTTP/1.1\r\n" + host + "\r\n", 404},
      {"GET http://127.0.0.1/ HTTP/1.1\r\n" + host + "\r\n", 404},
      {"POST / HTTP/1.1\r\n" + host + "Content-Length: 3\r\n\r\nabc", 405},
      {"DELETE /api/line HTTP/1.1\r\n" + host + "\r\n", 405},
      {"OPTIONS * HTTP/1.1\r\n" + host + "\r\n", 405},
      {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n" + host + "\r\n", 414},
      {"GET / HTTP/1.1\r\n" + host + "X-Long: " + std::string(9000, 'x') + "\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\n" + host + manyHeaders + "\r\n", 431},
      {"GET / HTTP/1.1\r\n" + host + bigHeaders + "\r\n", 431},
      {std::string("\x01\x02\x03 garbage\r\n\r\n", 16), 400},
  };
  for (const auto& c : cases) {
    std::string body;
    const std::string answer = server.AnswerBytes(c.request);
    SCOPED_TRACE(c.request.substr(0, 60));
    EXPECT_EQ(StatusOf(answer, &body), c.status) << answer.substr(0, 200);
    EXPECT_LT(body.size(), 120U) << "a line of text, nothing else";
    EXPECT_EQ(body.find("tile"), std::string::npos);
    EXPECT_EQ(body.find("stations"), std::string::npos);
  }
  EXPECT_EQ(reads.load(), 0) << "the board is read for the page and the JSON alone";

  // The page and the JSON, HEAD without the body; the security headers on every answer.
  std::string body;
  std::string answer = server.AnswerBytes("GET / HTTP/1.1\r\n" + host + "\r\n");
  ASSERT_EQ(StatusOf(answer, &body), 200);
  EXPECT_NE(body.find("<section class=\"tile good\""), std::string::npos);
  EXPECT_NE(answer.find("Content-Security-Policy: default-src 'none'; style-src 'unsafe-inline'; "
                        "connect-src 'self'; script-src 'sha256-"),
            std::string::npos);
  EXPECT_NE(answer.find("X-Content-Type-Options: nosniff"), std::string::npos);
  answer = server.AnswerBytes("GET /api/line HTTP/1.1\r\n" + host + "\r\n");
  ASSERT_EQ(StatusOf(answer, &body), 200);
  EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(body))["stations"].toArray().size(), 3);
  answer = server.AnswerBytes("HEAD /api/line HTTP/1.1\r\n" + host + "\r\n");
  EXPECT_EQ(StatusOf(answer, &body), 200);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(reads.load(), 3);

  // A database that does not answer: 503, and a word of why.
  LinePageServer down([](LineBoard*) { return kestrel::line::LineUnreachable("cannot connect"); });
  EXPECT_EQ(StatusOf(down.AnswerBytes("GET / HTTP/1.1\r\n" + host + "\r\n"), &body), 503);
  EXPECT_EQ(body, "503 the line database does not answer: cannot connect\n");

  const struct {
    const char* text;
    const char* host;
    int port;
  } listen[] = {{"127.0.0.1:8080", "127.0.0.1", 8080}, {"[::1]:0", "::1", 0},
                {"0.0.0.0:80", "0.0.0.0", 80},         {"localhost:8080", nullptr, 0},
                {"127.0.0.1", nullptr, 0},             {"127.0.0.1:65536", nullptr, 0},
                {"127.0.0.1:-1", nullptr, 0},          {"::1:80", nullptr, 0},
                {":8080", nullptr, 0},                 {"127.0.0.1:80x", nullptr, 0}};
  for (const auto& l : listen) {
    QString h, why;
    int p = -1;
    const bool ok = kestrel::line::ParseListenAddress(QLatin1String(l.text), &h, &p, &why);
    EXPECT_EQ(ok, l.host != nullptr) << l.text << " " << why.toStdString();
    if (ok && l.host != nullptr) {
      EXPECT_EQ(std::make_pair(h, p), std::make_pair(QString(l.host), l.port));
    }
  }
}

// One exchange over a socket of its own: connects to ip:port, sends (*sentOut: how much went),
// reads the answer. Empty when the connection is refused or cut.
std::string Exchange(const char* ip, int port, const std::string& request,
                     std::size_t* sentOut = nullptr) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, ip, &a.sin_addr);
  std::string answer;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    std::size_t sent = 0;
    while (sent < request.size()) {
      const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    if (sentOut != nullptr) *sentOut = sent;
    // To the end of the first answer (its Content-Length), or of the connection.
    char buffer[4096];
    pollfd p = {fd, POLLIN, 0};
    while (::poll(&p, 1, 10000) > 0) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      answer.append(buffer, static_cast<std::size_t>(n));
      const std::size_t end = answer.find("\r\n\r\n");
      const std::size_t length = answer.find("Content-Length: ");
      if (end != std::string::npos && length != std::string::npos && length < end &&
          answer.size() >= end + 4 + std::stoul(answer.substr(length + 16))) {
        break;
      }
    }
  }
  ::close(fd);
  return answer;
}

class LineServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    KESTREL_REQUIRE_LINE_SERVER(server_);
    ASSERT_TRUE(server_->Resume());
    name_ = server_->NewDatabase();
    admin_.Configure(server_->Uri(name_), QString(), 0, kestrel::line::LineActor::None);
    ASSERT_TRUE(admin_.Init().ok());
  }
  QString Uri(const kestrel::line::LineStationAccount& a) const {
    return "postgresql://" + QString::fromLatin1(QUrl::toPercentEncoding(a.name)) + ":" +
           QString::fromLatin1(QUrl::toPercentEncoding(a.password)) +
           "@127.0.0.1:" + QString::number(server_->port()) + "/" + name_;
  }
  // Starts kestrel-cli line serve; the port it listens on (0 when it did not).
  int Serve(ChildProcess* p, const QString& uri, const QString& listen = "127.0.0.1:0") {
    if (!p->Start(kestrel::testing::BinPath("kestrel-cli"),
                  {"line", "--database", uri, "serve", "--listen", listen}, {},
                  ChildProcess::Streams::kOutAndErr)) {
      return 0;
    }
    QByteArray line;
    if (!p->ReadLine(&line, 20000) || !line.startsWith("line page http://")) {
      p->WaitFinished(20000);
      said_ = QString::fromUtf8(line + p->ReadAll(1000) + p->TakeErr());
      return 0;
    }
    const QByteArray address = line.mid(17).split('/').front();  // "127.0.0.1:PORT"
    return address.mid(address.lastIndexOf(':') + 1).toInt();
  }

  LineServer* server_ = nullptr;
  QString name_;
  LineDatabase admin_;
  QString said_;  // what a serve that did not start said
};

TEST_F(LineServeTest, ServesTheLineWhereItIsToldAloneAndGoesOnAfterBadInput) {
  kestrel::line::LineStationAccount reporter, station;
  ASSERT_TRUE(admin_.AddReporter(name_ + "-page", &reporter).ok());
  ASSERT_TRUE(admin_.AddStation(name_ + "-S1", &station).ok());
  LineDatabase s;
  s.Configure(Uri(station), QString());
  LineJob j;
  j.started = QDateTime::currentDateTimeUtc().addSecs(-90);
  j.durationMs = 20000;
  j.mode = "normal";
  j.kind = "write";
  j.outcome = "failed";
  j.step = "KV_FastWriteNvInfo";
  j.code = 34;
  j.message = "Write IMEI failed ! Error code: 34 !";
  ASSERT_TRUE(s.HandOnJob(j).ok());

  ChildProcess serve;
  const int port = Serve(&serve, Uri(reporter));
  ASSERT_GT(port, 0) << said_.toStdString();
  const std::string close = "Host: 127.0.0.1\r\nConnection: close\r\n\r\n";
  std::string body;
  ASSERT_EQ(StatusOf(Exchange("127.0.0.1", port, "GET /api/line HTTP/1.1\r\n" + close), &body), 200);
  const QJsonArray stations = QJsonDocument::fromJson(QByteArray::fromStdString(body))["stations"].toArray();
  ASSERT_EQ(stations.size(), 1);
  EXPECT_EQ(stations[0]["station"].toString(), station.name);
  EXPECT_EQ(stations[0]["yield"].toDouble(), 0.0);
  EXPECT_EQ(stations[0]["last_failure"]["message"].toString(), j.message);

  // Bound to 127.0.0.1 alone: another address of the loopback is refused.
  EXPECT_TRUE(Exchange("127.0.0.2", port, "GET / HTTP/1.1\r\n" + close).empty());
  // Bad input over the wire, then the page as ever. (What the server refuses before it has read
  // all of it may reach the sender as a reset rather than the status the table above checks.)
  EXPECT_EQ(StatusOf(Exchange("127.0.0.1", port, "GET /?x=1 HTTP/1.1\r\n" + close)), 400);
  EXPECT_EQ(StatusOf(Exchange("127.0.0.1", port, "GET /../../etc/passwd HTTP/1.1\r\n" + close)), 404);
  const std::string header = "GET / HTTP/1.1\r\nX: " + std::string(100000, 'x') + "\r\n" + close;
  const std::string endless(8 << 20, '\0');  // a request line that never ends
  for (const std::string* flood : {&header, &endless}) {
    std::size_t sent = 0;
    const std::string answer = Exchange("127.0.0.1", port, *flood, &sent);
    const int status = StatusOf(answer, &body);
    EXPECT_TRUE(status == 0 || (status >= 400 && status < 500)) << answer.substr(0, 80);
    EXPECT_EQ(body.find("tile"), std::string::npos);
    if (flood == &endless) {
      EXPECT_LT(sent, endless.size()) << "cut off long before its end";
    }
  }
  ASSERT_EQ(StatusOf(Exchange("127.0.0.1", port, "GET / HTTP/1.1\r\n" + close), &body), 200);
  EXPECT_NE(body.find("Write IMEI failed ! Error code: 34 !"), std::string::npos);
  ::kill(serve.pid(), SIGTERM);
  ASSERT_TRUE(serve.WaitFinished(20000));
  EXPECT_EQ(serve.exitCode(), 0) << "SIGTERM ends it cleanly";

  // A station's role may not serve the page; an address that is not one is refused at once.
  ChildProcess refused;
  EXPECT_EQ(Serve(&refused, Uri(station)), 0);
  EXPECT_EQ(refused.exitCode(), 3);
  EXPECT_TRUE(said_.contains("permission denied for function line_board")) << said_.toStdString();
  ChildProcess bad;
  EXPECT_EQ(Serve(&bad, Uri(reporter), "localhost:8080"), 0);
  EXPECT_EQ(bad.exitCode(), 2);
  EXPECT_TRUE(said_.contains("--listen takes HOST:PORT")) << said_.toStdString();
}

}  // namespace
