// kestrel-cli records, run as an engineer runs it on a station folder.
#include "records/imei_database.h"
#include "records/result_store.h"
#include "tests/records/records_fakes.h"
#include "tests/support/cli_run.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QDateTime>
#include <QFileInfo>
#include <QStringList>
#include <QTime>

namespace kestrel::records {
namespace {

using kestrel::testing::StationDir;

using kestrel::testing::CliRun;

CliRun Cli(const StationDir& dir, const QStringList& args) {
  return kestrel::testing::RunStationCli(QStringLiteral("records"), dir, args);
}

const QString kUsedTail = QStringLiteral(
    "  \u05DB\u05D1\u05E8 \u05D4\u05D9\u05D4 \u05D1\u05E9\u05D9\u05DE\u05D5\u05E9\n");

TEST(KestrelCliRecords, TextStoreCheckAndFind) {
  StationDir dir;
  dir.Write(QStringLiteral("Kestrel.ini"),
            "[General]\r\nSaveIMEI=1\r\nSaveToTxt=1\r\nCheckRepeat=1\r\nIMEI1=1\r\n");
  dir.Write(QStringLiteral("IMEI.txt"),
            "2026-12-07-09-05-03, IMEI:351234567890124, IMEI2:490154203237518\r\n"
            "2026-12-07-09-05-04, IMEI:351234567890132, IMEI2:490154203237518\r\n");
  CliRun r = Cli(dir, {"check", "351234567890124", "--index", "2"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, QStringLiteral("IMEI2") + kUsedTail);
  r = Cli(dir, {"check", "351234567890140"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, QStringLiteral("free\n"));
  r = Cli(dir, {"find", "490154203237518"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out,
            QStringLiteral("2026-12-07-09-05-03, IMEI:351234567890124, IMEI2:490154203237518\n"
                           "2026-12-07-09-05-04, IMEI:351234567890132, IMEI2:490154203237518\n"));
  EXPECT_EQ(Cli(dir, {"find", "351234567890140"}).exitCode, 1);
  EXPECT_EQ(Cli(dir, {"check", "351234567890124", "--index", "5"}).exitCode, 2);
  EXPECT_EQ(Cli(dir, {"check"}).exitCode, 2);
  EXPECT_EQ(Cli(dir, {"erase"}).exitCode, 2);

  QFile::remove(dir.File(QStringLiteral("IMEI.txt")));
  r = Cli(dir, {"check", "351234567890124"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, QStringLiteral("Open saving IMEI log file fail!\n"));
}

TEST(KestrelCliRecords, DatabaseStoreFromCreateDbToFind) {
  StationDir dir;
  dir.Write(QStringLiteral("Kestrel.ini"),
            "[General]\r\nSaveIMEI=1\r\nSaveToTxt=0\r\nCheckRepeat=1\r\nIMEI1=1\r\nIMEI2=1\r\n");
  // Without IMEI.mdb the station shows 134 and refuses.
  CliRun r = Cli(dir, {"check", "351234567890124"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, QStringLiteral("Open saving IMEI log file fail!\n"));
  EXPECT_TRUE(r.err.contains(QStringLiteral("message: Open saving IMEI log file fail!")));
  EXPECT_FALSE(QFileInfo::exists(dir.File(QStringLiteral("IMEI.mdb"))));

  r = Cli(dir, {"create-db"});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(Cli(dir, {"check", "351234567890124"}).out, QStringLiteral("free\n"));

  {
    ResultStore store(dir.path());
    testing::FakeSink sink;
    testing::FakeReport report;
    store.OpenImeiDatabase(sink);
    config::StationSettings s = testing::DatabaseStation();
    s.WIFI_ADDR = 0;
    ASSERT_TRUE(store.SaveResultAt(s, testing::Phone(QStringLiteral("351234567890124")), report,
                                   QDateTime(QDate(2026, 12, 7), QTime(9, 5, 3))));
  }
  r = Cli(dir, {"check", "351234567890124"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, QStringLiteral("IMEI1") + kUsedTail);
  // The database compares against the column IMEI only.
  EXPECT_EQ(Cli(dir, {"check", "490154203237518", "--index", "2"}).out, QStringLiteral("free\n"));
  r = Cli(dir, {"find", "490154203237518"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, QStringLiteral("IMEI=351234567890124, IMEI2=490154203237518, IMEI3=, IMEI4=, "
                                  "BLUETOOTH ADDR=0c1d2e3f4a5b, WIFI MAC ADDR=, SN1=, SN2=, "
                                  "Time=2026-12-07-09-05-03\n"));
  // create-db again keeps the rows.
  ASSERT_EQ(Cli(dir, {"create-db"}).exitCode, 0);
  EXPECT_EQ(Cli(dir, {"check", "351234567890124"}).exitCode, 1);
}

TEST(KestrelCliRecords, CreateDbRefusesAForeignFile) {
  StationDir dir;
  dir.Write(QStringLiteral("IMEI.mdb"), QByteArray(1024, 'x'));
  const CliRun r = Cli(dir, {"create-db"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_FALSE(r.err.isEmpty());
  EXPECT_EQ(dir.Read(QStringLiteral("IMEI.mdb")), QByteArray(1024, 'x'));
}

}  // namespace
}  // namespace kestrel::records
