// kestrel-bench-line [--lines N] [--rounds N] [--batch N] [--import-only 1] [--pace-ms N]
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
// 2. Import of an IMEI.txt of N lines (default 1,000,000; IMEI1, IMEI2, WIFI, BT per line).
//    Target: under 60 s.
#include "identity/imei.h"
#include "line/line_database.h"
#include "line/line_import.h"
#include "tests/support/line_server.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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
std::vector<double> RoundTrips(LineDatabase& admin, const QString& host, const QString& database,
                               int stations, int rounds, std::uint64_t base, int paceMs = 0) {
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

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  qint64 lines = 1000000;
  int rounds = 0;
  int batch = 5000;
  bool importOnly = false;
  int paceMs = 1000;
  const QStringList args = QCoreApplication::arguments();
  for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
    if (args.at(i) == "--lines") lines = args.at(i + 1).toLongLong();
    if (args.at(i) == "--rounds") rounds = args.at(i + 1).toInt();
    if (args.at(i) == "--batch") batch = args.at(i + 1).toInt();
    if (args.at(i) == "--import-only") importOnly = args.at(i + 1) == "1";
    if (args.at(i) == "--pace-ms") paceMs = args.at(i + 1).toInt();
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
  for (const int stations : {1, 10, 50}) {
    if (importOnly) break;
    const int n = rounds > 0 ? rounds : std::max(40, 1000 / stations);
    const std::vector<double> t = RoundTrips(admin, host, name, stations, n, base);
    base += 10000000ULL;
    if (t.size() != static_cast<std::size_t>(stations * n)) return 1;
    std::printf("reserve+confirm, %2d stations back to back, %5zu phones: p50 %6.2f ms  p99 %6.2f ms\n",
                stations, t.size(), Percentile(t, 0.50), Percentile(t, 0.99));
    std::fflush(stdout);
  }
  // Stations at a station's pace: each starts a phone every second.
  for (const int stations : {10, 50}) {
    if (importOnly || paceMs <= 0) break;
    const int n = rounds > 0 ? rounds : 40;
    const std::vector<double> t = RoundTrips(admin, host, name, stations, n, base, paceMs);
    base += 10000000ULL;
    if (t.size() != static_cast<std::size_t>(stations * n)) return 1;
    std::printf("reserve+confirm, %2d stations, a phone every %d ms each, %5zu phones: p50 %6.2f ms  "
                "p99 %6.2f ms%s\n",
                stations, paceMs, t.size(), Percentile(t, 0.50), Percentile(t, 0.99),
                stations == 50 ? "  (target p99 < 20 ms)" : "");
    std::fflush(stdout);
  }

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
  return 0;
}
