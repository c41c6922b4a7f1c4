// kestrel-cli report, run on the fixed record files as an engineer runs it.
#include "tests/records/job_report_fixture.h"
#include "tests/support/cli_run.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QFile>

#include <map>

namespace kestrel::records {
namespace {

using kestrel::testing::StationDir;
using testing::CopyFixture;
using testing::ReadPage;
using testing::Svg;

using kestrel::testing::CliRun;

CliRun Report(const StationDir& dir, const QStringList& args) {
  return kestrel::testing::RunStationCli(QStringLiteral("report"), dir, args);
}

TEST(KestrelCliReport, PrintsTheHourTableAndTheRanking) {
  StationDir dir;
  CopyFixture(dir);
  const CliRun r = Report(dir, {});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  const QString want =
      "period: start to end\n"
      "13 records in 2 files, 2 lines skipped (cut or damaged)\n"
      "\n"
      "hour              phones  passed  failed   yield  units/h  median s  p95 s\n"
      "2026-12-08 08:00       5       3       2  60.0 %     66.7      50.0   70.0\n"
      "2026-12-08 09:00       4       1       3  25.0 %      8.0      20.0   55.0\n"
      "2026-12-09 00:00       2       1       1  50.0 %     80.0      30.0   40.0\n"
      "total                 11       5       6  45.5 %     18.2      40.0   70.0\n"
      "stopped: 1, shown without a verdict: 1\n"
      "\n"
      "failures by count\n"
      "count  step               message\n"
      "    3  KV_WriteSN         Write SN failed 5\n"
      "    1  -                  IMEI1 used\n"
      "    1  KV_BeginPhoneTest  Open port 3 failed !\n"
      "    1  PortArrivedWait    \u05ea\u05dd \u05d4\u05d6\u05de\u05df!\n";
  EXPECT_EQ(r.out.toStdString(), want.toStdString());
}

TEST(KestrelCliReport, HtmlPageAndBadArguments) {
  StationDir dir;
  CopyFixture(dir);
  const QString page = dir.File(QStringLiteral("report.html"));
  CliRun r = Report(dir, {"--from", "2026-12-09", "--html", page});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(r.out.contains(QStringLiteral("period: 2026-12-09 to end\n")));
  EXPECT_TRUE(r.out.contains(QStringLiteral("\ntotal  ")));
  QFile f(page);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  std::map<QString, Svg> charts;
  QString error;
  ASSERT_TRUE(ReadPage(f.readAll(), &charts, &error)) << error.toStdString();
  EXPECT_EQ(charts[QStringLiteral("yield-chart")].polylinePoints, 1);

  const QStringList bad[] = {{"--from"},
                             {"--from", "2026-13-01"},
                             {"--to", "yesterday"},
                             {"--from", "2026-12-09", "--to", "2026-12-08"},
                             {"--colour", "red"}};
  for (const QStringList& args : bad)
    EXPECT_EQ(Report(dir, args).exitCode, 2) << args.join(' ').toStdString();
  // A page that cannot be written.
  EXPECT_EQ(Report(dir, {"--html", dir.File(QStringLiteral("no/such/folder/r.html"))}).exitCode, 1);
}

}  // namespace
}  // namespace kestrel::records
