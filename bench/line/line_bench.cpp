// kestrel-bench-line [--lines N] [--rounds N] [--batch N] [--only PART] [--pace-ms N]
//                    [--shift-jobs N]
//
// Starts a throwaway PostgreSQL server (tests/support/line_server.h) with fsync and synchronous
// commit on, as a line runs it, listening on 127.0.0.1.
// 1. Reserve + confirm of one phone (IMEI1, IMEI2, BT, SN1) by 1, 10 and 50 stations at once,
//    each station a connection of its own, logged in as a station role of its own (made with
//    add-station: the calls go through the schema's functions and write the event table): p50 and p99 of the round trip, first with every
//    station passing phones back to back (the server saturated), then with each station
//    starting a phone every --pace-ms (default 1000 ms, a very fast line). Target: p99 under
//    20 ms at 50 stations.
//    Beside them, the disk's own floor: append + fdatasync of 100 bytes in the same temporary
//    folder, 200 times (two durable commits per phone cannot be faster than two of these).
//    The 50 paced stations once more with each job's summary going in too, on the station's
//    connection after its confirmation (as the station's link hands it on): target the same.
// 2. Import of an IMEI.txt of N lines (default 1,000,000; IMEI1, IMEI2, WIFI, BT per line).
//    Target: under 60 s.
// 3. The line page: a shift of --shift-jobs summaries (default 25,000) from 50 stations over the
//    last 8 hours, then GET /api/line and GET / from the page's server (line/line_page_server.h,
//    in this process, reading the board as the admin) 200 times each: p50, p99 and the largest.
//    Target: /api/line under 100 ms.
//
// --only reserve|import|page runs one part.
#include "identity/imei.h"
#include "line/line_database.h"
#include "line/line_import.h"
#include "line/line_page.h"
#include "line/line_page_server.h"
#include "tests/support/line_server.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>
#include <vector>

namespace {

using kestrel::line::LineDatabase;
using kestrel::line::LineItems;
using Clock = std::chrono::steady_clock;

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const std::size_t at = std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()));
  return v[at];
}

// `stations` connections each passing `rounds` phones; the round-trip times in ms. With
// `paceMs` 0 every station passes its phones back to back (the server saturated); otherwise
// each station starts a phone every `paceMs`, from a random phase, as stations on a line do
// (a real job takes seconds, so 1000 ms is a very fast line).
// A job's summary as a station hands it on.
kestrel::line::LineJob Summary(const QDateTime& start, bool passed) {
  kestrel::line::LineJob j;
  j.started = start;
  j.durationMs = 21000;
  j.mode = QStringLiteral("normal");
  j.kind = QStringLiteral("write");
  j.outcome = passed ? QStringLiteral("passed") : QStringLiteral("failed");
  j.message = passed ? QStringLiteral("PASS") : QStringLiteral("Write IMEI failed ! Error code: 34 !");
  if (!passed) {
    j.step = QStringLiteral("KV_FastWriteNvInfo");
    j.code = 34;
    j.messageId = 106;
  }
  return j;
}

std::vector<double> RoundTrips(LineDatabase& admin, const QString& host, const QString& database,
                               int stations, int rounds, std::uint64_t base, int paceMs = 0,
                               bool summaries = false) {
  static int run = 0;
  ++run;
  std::vector<QString> uris;
  for (int s = 0; s < stations; ++s) {
    kestrel::line::LineStationAccount a;
    if (!admin.AddStation(QStringLiteral("bench-%1-%2").arg(run).arg(s), &a).ok()) return {};
    uris.push_back("postgresql://" + a.name + ":" + a.password + "@" + host + "/" + database);
  }
  std::vector<std::vector<double>> times(static_cast<std::size_t>(stations));
  std::vector<std::thread> threads;
  for (int s = 0; s < stations; ++s) {
    threads.emplace_back([&, s] {
      LineDatabase line;
      line.Configure(uris[static_cast<std::size_t>(s)], QString());
      if (!line.Connect().ok()) return;
      std::mt19937 random(static_cast<unsigned>(s) + 1U);
      auto next = Clock::now() + std::chrono::milliseconds(
                                     paceMs > 0 ? std::uniform_int_distribution<int>(0, paceMs - 1)(random) : 0);
      for (int r = 0; r < rounds; ++r) {
        if (paceMs > 0) {
          std::this_thread::sleep_until(next);
          next += std::chrono::milliseconds(paceMs);
        }
        const std::uint64_t body = base + (static_cast<std::uint64_t>(s) * rounds + r) * 2;
        const LineItems phone = {
            {"IMEI1", kestrel::identity::FullImei(body)},
            {"IMEI2", kestrel::identity::FullImei(body + 1)},
            {"BT", QStringLiteral("%1").arg(body & 0xffffffffffffULL, 12, 16, QLatin1Char('0'))},
            {"SN1", QStringLiteral("SN%1").arg(body)}};
        const auto start = Clock::now();
        const bool ok = line.Reserve(phone).ok() &&
                        line.Confirm(phone, "2026-12-09-00-00-00", "2026-12-09-00-00-00, IMEI:x").ok();
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        if (!ok) {
          std::fprintf(stderr, "round trip failed\n");
          return;
        }
        times[static_cast<std::size_t>(s)].push_back(ms);
        if (summaries &&
            !line.HandOnJob(Summary(QDateTime::currentDateTimeUtc().addMSecs(-21000), true)).ok()) {
          std::fprintf(stderr, "summary failed\n");
          return;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::vector<double> all;
  for (const auto& t : times) all.insert(all.end(), t.begin(), t.end());
  return all;
}

// p50 and p99 of appending 100 bytes and fdatasync, in ms.
std::pair<double, double> SyncFloor(const QString& folder) {
  const QByteArray path = QFile::encodeName(folder + "/sync-floor");
  const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  std::vector<double> t;
  const char bytes[100] = {};
  for (int i = 0; i < 200 && fd >= 0; ++i) {
    const auto start = Clock::now();
    if (::write(fd, bytes, sizeof bytes) != static_cast<ssize_t>(sizeof bytes)) break;
    ::fdatasync(fd);
    t.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  if (fd >= 0) ::close(fd);
  ::unlink(path.constData());
  if (t.empty()) return {0, 0};
  return {Percentile(t, 0.50), Percentile(t, 0.99)};
}

// The line page: a shift of `jobs` summaries from 50 stations over the last 8 hours (about 3 %
// failed), then the page's server asked for /api/line and / 200 times each.
bool PageTimes(LineDatabase& admin, const QString& host, const QString& database, int jobs) {
  constexpr int kStations = 50;
  constexpr qint64 kShiftMs = 8LL * 3600 * 1000;
  std::vector<QString> uris;
  for (int s = 0; s < kStations; ++s) {
    kestrel::line::LineStationAccount a;
    if (!admin.AddStation(QStringLiteral("page-%1").arg(s, 2, 10, QLatin1Char('0')), &a).ok()) {
      return false;
    }
    uris.push_back("postgresql://" + a.name + ":" + a.password + "@" + host + "/" + database);
  }
  const int each = std::max(1, jobs / kStations);
  const QDateTime now = QDateTime::currentDateTimeUtc();
  std::atomic<int> failed{0};
  const auto fillStart = Clock::now();
  std::vector<std::thread> threads;
  for (int s = 0; s < kStations; ++s) {
    threads.emplace_back([&, s] {
      LineDatabase line;
      line.Configure(uris[static_cast<std::size_t>(s)], QString());
      for (int k = 0; k < each; ++k) {
        const QDateTime start = now.addMSecs(-kShiftMs + kShiftMs * k / each + 97 * s);
        if (!line.HandOnJob(Summary(start, (k * 7 + s) % 33 != 0)).ok()) ++failed;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  if (failed > 0) {
    std::fprintf(stderr, "kestrel-bench-line: %d summaries failed\n", failed.load());
    return false;
  }
  std::printf("line page: %d summaries of %d stations handed on in %.1f s\n", each * kStations,
              kStations, std::chrono::duration<double>(Clock::now() - fillStart).count());

  std::vector<double> board;
  for (int i = 0; i < 50; ++i) {
    kestrel::line::LineBoard b;
    const auto start = Clock::now();
    if (!admin.Board(kestrel::line::kBoardWindowSeconds, &b).ok()) return false;
    board.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  std::printf("the board alone (the database's part): p50 %6.2f ms  p99 %6.2f ms\n",
              Percentile(board, 0.50), Percentile(board, 0.99));
  kestrel::line::LinePageServer server([&admin](kestrel::line::LineBoard* b) {
    return admin.Board(kestrel::line::kBoardWindowSeconds, b);
  });
  QString why;
  if (!server.Bind(QStringLiteral("127.0.0.1"), 0, &why)) {
    std::fprintf(stderr, "kestrel-bench-line: %s\n", why.toLocal8Bit().constData());
    return false;
  }
  std::thread serving([&server] { server.Run(); });
  httplib::Client client("127.0.0.1", server.port());
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);
  bool ok = true;
  for (const char* path : {"/api/line", "/"}) {
    std::vector<double> t;
    for (int i = 0; i < 200 && ok; ++i) {
      const auto start = Clock::now();
      const httplib::Result r = client.Get(path);
      t.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
      ok = r && r->status == 200 && r->body.find("page-49") != std::string::npos;
    }
    if (!ok) {
      std::fprintf(stderr, "kestrel-bench-line: GET %s failed\n", path);
      break;
    }
    std::printf("GET %-9s with %d stations and %d jobs: p50 %6.2f ms  p99 %6.2f ms  max %6.2f ms%s\n",
                path, kStations, each * kStations, Percentile(t, 0.50), Percentile(t, 0.99),
                *std::max_element(t.begin(), t.end()),
                std::string(path) == "/api/line" ? "  (target < 100 ms)" : "");
  }
  client.stop();
  server.Stop();
  serving.join();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  qint64 lines = 1000000;
  int rounds = 0;
  int batch = 5000;
  QString only;
  int paceMs = 1000;
  int shiftJobs = 25000;
  const QStringList args = QCoreApplication::arguments();
  for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
    if (args.at(i) == "--lines") lines = args.at(i + 1).toLongLong();
    if (args.at(i) == "--rounds") rounds = args.at(i + 1).toInt();
    if (args.at(i) == "--batch") batch = args.at(i + 1).toInt();
    if (args.at(i) == "--only") only = args.at(i + 1);
    if (args.at(i) == "--pace-ms") paceMs = args.at(i + 1).toInt();
    if (args.at(i) == "--shift-jobs") shiftJobs = args.at(i + 1).toInt();
  }
  kestrel::testing::LineServer server;
  QString why;
  if (!server.Start(&why, true)) {
    std::fprintf(stderr, "kestrel-bench-line: %s\n", why.toLocal8Bit().constData());
    return 1;
  }
  const QString name = server.NewDatabase();
  const QString uri = server.Uri(name);
  const QString host = QStringLiteral("127.0.0.1:%1").arg(server.port());
  LineDatabase admin;
  admin.Configure(uri, QString());
  if (!admin.Init().ok()) {
    std::fprintf(stderr, "kestrel-bench-line: init failed\n");
    return 1;
  }
  std::printf("server: PostgreSQL on 127.0.0.1:%d, fsync on, synchronous_commit on\n", server.port());
  QTemporaryDir dir;
  const auto [floor50, floor99] = SyncFloor(dir.path());
  std::printf("disk floor, append+fdatasync: p50 %.2f ms  p99 %.2f ms\n", floor50, floor99);
  std::uint64_t base = 10000000000000ULL;
  const bool reserve = only.isEmpty() || only == "reserve";
  for (const int stations : {1, 10, 50}) {
    if (!reserve) break;
    const int n = rounds > 0 ? rounds : std::max(40, 1000 / stations);
    const std::vector<double> t = RoundTrips(admin, host, name, stations, n, base);
    base += 10000000ULL;
    if (t.size() != static_cast<std::size_t>(stations * n)) return 1;
    std::printf("reserve+confirm, %2d stations back to back, %5zu phones: p50 %6.2f ms  p99 %6.2f ms\n",
                stations, t.size(), Percentile(t, 0.50), Percentile(t, 0.99));
    std::fflush(stdout);
  }
  // Stations at a station's pace: each starts a phone every second.
  for (const auto& [stations, summaries] : {std::pair{10, false}, {50, false}, {50, true}}) {
    if (!reserve || paceMs <= 0) break;
    const int n = rounds > 0 ? rounds : 40;
    const std::vector<double> t =
        RoundTrips(admin, host, name, stations, n, base, paceMs, summaries);
    base += 10000000ULL;
    if (t.size() != static_cast<std::size_t>(stations * n)) return 1;
    std::printf("reserve+confirm, %2d stations, a phone every %d ms each%s, %5zu phones: p50 %6.2f "
                "ms  p99 %6.2f ms%s\n",
                stations, paceMs, summaries ? ", summaries too" : "", t.size(),
                Percentile(t, 0.50), Percentile(t, 0.99),
                stations == 50 ? "  (target p99 < 20 ms)" : "");
    std::fflush(stdout);
  }
  if (only == "page") return PageTimes(admin, host, name, shiftJobs) ? 0 : 1;
  if (only == "reserve") return 0;

  const QString path = dir.filePath("IMEI.txt");
  {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) return 1;
    QByteArray chunk;
    for (qint64 i = 0; i < lines; ++i) {
      const std::uint64_t body = 50000000000000ULL + static_cast<std::uint64_t>(i) * 2;
      chunk += "2026-12-07-09-05-03, IMEI:" + kestrel::identity::FullImei(body).toLatin1() +
               ", IMEI2:" + kestrel::identity::FullImei(body + 1).toLatin1() + ", WIFI:" +
               QByteArray::number(static_cast<qulonglong>(0x00037f000000ULL + i), 16).rightJustified(12, '0') +
               ", BT:" +
               QByteArray::number(static_cast<qulonglong>(0xa00000000000ULL + i), 16) + "\r\n";
      if (chunk.size() > (1 << 20)) {
        f.write(chunk);
        chunk.clear();
      }
    }
    f.write(chunk);
  }
  LineDatabase importer;
  importer.Configure(uri, "import");
  kestrel::line::LineImportCounts counts;
  const auto start = Clock::now();
  const kestrel::line::LineResult r = kestrel::line::ImportResultFile(importer, path, &counts, batch);
  const double s = std::chrono::duration<double>(Clock::now() - start).count();
  if (!r.ok()) {
    std::fprintf(stderr, "import failed: %s\n", r.message.toLocal8Bit().constData());
    return 1;
  }
  std::printf("import of %lld IMEI.txt lines: %.1f s, imported %lld, skipped %lld  (target < 60 s)\n",
              static_cast<long long>(lines), s, static_cast<long long>(counts.imported),
              static_cast<long long>(counts.skipped));
  if (only.isEmpty() && !PageTimes(admin, host, name, shiftJobs)) return 1;
  return 0;
}
