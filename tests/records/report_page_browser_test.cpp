// The shift report's page as a real browser draws it: headless Chromium, where one is
// installed, takes a screenshot of the page made from the fixed record files. The picture is
// kept in the build folder (report_page.png) for a person to look at; the test checks that the
// charts' lines and the tables were drawn.
#include "records/job_report.h"
#include "records/job_report_format.h"
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QImage>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#include <cstdlib>

namespace kestrel::records {
namespace {

QString Browser() {
  for (const char* name : {"chromium", "chromium-browser", "google-chrome"}) {
    const QString path = QStandardPaths::findExecutable(QLatin1String(name));
    if (!path.isEmpty()) return path;
  }
  return {};
}

TEST(ReportPageInABrowser, ChartsAndTablesAreDrawn) {
  const QString browser = Browser();
  if (browser.isEmpty()) GTEST_SKIP() << "no Chromium installed";
  QTemporaryDir work;
  const QString log = kestrel::testing::SourceDir() + QStringLiteral("/tests/records/job_records");
  const QString page = work.filePath(QStringLiteral("report.html"));
  {
    QFile f(page);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(FormatReportHtml(BuildShiftReport(log, {}, {}), QStringLiteral("Fixed records")));
  }
  const QString shot = QStringLiteral(KESTREL_TEST_OUTPUT_DIR "/report_page.png");
  QFile::remove(shot);
  const kestrel::testing::ChildRun p = kestrel::testing::RunChild(
      browser,
      {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
       QStringLiteral("--disable-gpu"), QStringLiteral("--disable-background-networking"),
       QStringLiteral("--no-first-run"), QStringLiteral("--disable-component-update"),
       QStringLiteral("--disable-sync"),
       QStringLiteral("--user-data-dir=") + work.filePath(QStringLiteral("profile")),
       QStringLiteral("--window-size=900,1400"), QStringLiteral("--screenshot=") + shot,
       QUrl::fromLocalFile(page).toString()},
      {}, 90000);
  ASSERT_TRUE(p.finished) << "the browser did not finish";
  QImage image(shot);
  ASSERT_FALSE(image.isNull()) << "no screenshot: " << p.err.toStdString();
  EXPECT_EQ(image.size(), QSize(900, 1400));
  // The charts' series colour (#1f6fb2) in the upper part, dark table text further down.
  int series = 0;
  int text = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (y < 600 && std::abs(c.red() - 0x1f) < 30 && std::abs(c.green() - 0x6f) < 30 &&
          std::abs(c.blue() - 0xb2) < 30) {
        ++series;
      }
      if (y >= 600 && c.lightness() < 80) ++text;
    }
  }
  EXPECT_GT(series, 1000);
  EXPECT_GT(text, 2000);
}

}  // namespace
}  // namespace kestrel::records
