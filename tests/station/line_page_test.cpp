// Three station windows writing phones against one line database, one of them with a phone
// whose IMEI write fails: every job's summary reaches the line, `kestrel-cli line report` counts
// what the three stations' own job records count, and the line page, served by
// `kestrel-cli line serve` and loaded in headless Chromium (where one is installed), shows three
// tiles with the failing station's yield and its failure message. The page's picture is kept
// in the build folder (line_page.png).
#include "line/line_database.h"
#include "station/job_audit.h"
#include "records/job_report.h"
#include "resources/message_format.h"
#include "tests/line/line_test_support.h"
#include "tests/station/line_stations.h"
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <QImage>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <map>

namespace kestrel::station::testing {
namespace {

using kestrel::testing::ChildProcess;

QString Browser() {
  for (const char* name : {"chromium", "chromium-browser", "google-chrome"}) {
    const QString path = QStandardPaths::findExecutable(QLatin1String(name));
    if (!path.isEmpty()) return path;
  }
  return {};
}

// Headless Chromium on `url` with `command` (--dump-dom, --screenshot=FILE); its output.
kestrel::testing::ChildRun RunBrowser(const QString& url, const QString& command) {
  QTemporaryDir profile;
  return kestrel::testing::RunChild(
      Browser(),
      {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--user-data-dir=" + profile.path(), "--window-size=1000,520", command, url},
      {}, 90000);
}

struct Counts {
  int phones = 0, passed = 0, failed = 0;
  bool operator==(const Counts&) const = default;
};

// The row of `label` in a report text's table that starts at `heading` (its first cells after
// the label: phones, passed, failed).
Counts RowOf(const QString& text, const QString& heading, const QString& label, int skip = 0) {
  const qsizetype at = text.indexOf(heading);
  if (at < 0) return {};
  for (const QString& line : text.mid(at).split('\n')) {
    QStringList cells = line.split(' ', Qt::SkipEmptyParts);
    cells = cells.mid(skip);
    if (cells.size() > 3 && cells[0] == label) {
      return {cells[1].toInt(), cells[2].toInt(), cells[3].toInt()};
    }
  }
  return {};
}

class LinePageTest : public kestrel::testing::LineDatabaseFixture {
 protected:
  void SetUp() override {
    qputenv("KESTREL_SYSTEM_PORTS", "0");
    qputenv("KESTREL_OXBIND_REPLY_TIMEOUT_MS",
            QByteArray::number(kestrel::testing::ReplyTimeoutMs(250)));
    qputenv("KESTREL_OXBIND_ATTEMPTS", "2");
    LineDatabaseFixture::SetUp();
    if (Unready()) return;
    line::LineDatabase admin;
    admin.Configure(uri_, QString());
    ASSERT_TRUE(admin.Init().ok());
    ASSERT_TRUE(admin.AddRange(line::LineRangeKind::Imei, 35000000000000ULL, 35000000000999ULL).ok());
  }
  void TearDown() override { stations_.Clear(); }

  LineStations stations_;
};

TEST_F(LinePageTest, ThreeStationsTheReportCountsTheirOwnRecordsAndTheBrowserShowsTheirTiles) {
  const QString uri = server_->Uri(name_);
  LineStation& a = stations_.Open("L1-A", 3, uri);
  LineStation& b = stations_.Open("L1-B", 4, uri);
  LineStation& c = stations_.Open("L1-C", 5, uri, {}, {}, {"--fail", "KV_FastWriteNvInfo=34"});
  constexpr int kRounds = 3;
  for (int round = 0; round < kRounds; ++round) stations_.Write({&a, &b, &c});
  const QString failure = resources::FormatString(106, {std::int64_t{34}}).trimmed();
  ASSERT_EQ(c.Message().trimmed(), failure) << c.window->ResultText().toStdString();

  // Every record written, every summary in the line.
  std::map<QString, Counts> own;
  Counts all;
  for (LineStation* s : {&a, &b, &c}) {
    s->window->Audit()->Writer().WaitIdle();
    const records::ShiftReport r = records::BuildShiftReport(s->dir.File("Log"), {}, {});
    EXPECT_EQ(r.records, kRounds);
    const Counts counts{r.total.phones, r.total.passed, r.total.failed};
    own[s == &a ? "L1-A" : s == &b ? "L1-B" : "L1-C"] = counts;
    all.phones += counts.phones;
    all.passed += counts.passed;
    all.failed += counts.failed;
  }
  EXPECT_EQ(own["L1-C"], (Counts{kRounds, 0, kRounds}));
  ASSERT_TRUE(LineStations::Wait([&] { return Sql("SELECT count(*) FROM line_job") == "9"; }, 15000))
      << Sql("SELECT count(*) FROM line_job").toStdString();

  // The line's report: the line and each station as their own records count them.
  const kestrel::testing::ChildRun report = kestrel::testing::RunChild(
      kestrel::testing::BinPath("kestrel-cli"), {"line", "--database", uri, "report"});
  ASSERT_TRUE(report.finished && report.exitCode == 0) << report.err.toStdString();
  const QString text = QString::fromUtf8(report.out);
  EXPECT_EQ(RowOf(text, "\nthe line\n", "total"), all) << text.toStdString();
  for (const auto& [station, counts] : own) {
    EXPECT_EQ(RowOf(text, "stations by yield", station, 1), counts) << station.toStdString();
    EXPECT_EQ(RowOf(text, "\nstation " + station + "\n", "total"), counts) << station.toStdString();
  }
  EXPECT_TRUE(text.contains(QStringLiteral("\n1     L1-C ")) && text.contains(failure))
      << "the failing station ranks first, with its failure";

  // The line page in a browser.
  if (Browser().isEmpty()) GTEST_SKIP() << "no Chromium installed: the page was not loaded";
  ChildProcess serve;
  ASSERT_TRUE(serve.Start(kestrel::testing::BinPath("kestrel-cli"),
                          {"line", "--database", uri, "serve", "--listen", "127.0.0.1:0"}));
  QByteArray said;
  ASSERT_TRUE(serve.ReadLine(&said, 20000) && said.startsWith("line page http://")) << said.constData();
  const QString url = QString::fromLatin1(said.mid(10).split(' ').front());
  const kestrel::testing::ChildRun dom = RunBrowser(url, "--dump-dom");
  ASSERT_TRUE(dom.finished) << "the browser did not finish";
  const QString page = QString::fromUtf8(dom.out);
  EXPECT_EQ(page.count("<section class=\"tile "), 3) << page.toStdString();
  const qsizetype tile = page.indexOf("data-station=\"L1-C\"");
  ASSERT_GT(tile, 0) << page.toStdString();
  const QString failing = page.mid(tile, page.indexOf("</section>", tile) - tile);
  EXPECT_TRUE(failing.contains("<p class=\"yield\">0.0 %</p>")) << failing.toStdString();
  EXPECT_TRUE(failing.contains("0 of 3 phones passed in the last hour"));
  EXPECT_TRUE(failing.contains(failure.toHtmlEscaped())) << failing.toStdString();
  EXPECT_TRUE(page.contains("<section class=\"tile good\" data-station=\"L1-A\">"));

  const QString shot = QStringLiteral(KESTREL_TEST_OUTPUT_DIR "/line_page.png");
  QFile::remove(shot);
  const kestrel::testing::ChildRun picture = RunBrowser(url, "--screenshot=" + shot);
  ASSERT_TRUE(picture.finished);
  const QImage image(shot);
  ASSERT_FALSE(image.isNull()) << picture.err.toStdString();
  // The tiles' colours: two good stations' green, the failing one's red.
  int green = 0, red = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor p = image.pixelColor(x, y);
      if (p == QColor(0x2e, 0x9d, 0x3a)) ++green;
      if (p == QColor(0xd3, 0x3c, 0x2c)) ++red;
    }
  }
  EXPECT_GT(green, 2 * 1000);
  EXPECT_GT(red, 1000);
  ::kill(serve.pid(), SIGTERM);
  EXPECT_TRUE(serve.WaitFinished(20000) && serve.exitCode() == 0);
}

}  // namespace
}  // namespace kestrel::station::testing
