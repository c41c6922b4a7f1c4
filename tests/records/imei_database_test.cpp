#include "records/imei_database.h"
#include "records/result_store.h"
#include "tests/records/records_fakes.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QDateTime>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTime>
#include <QVariant>

#include <atomic>
#include <thread>

namespace kestrel::records {
namespace {

using kestrel::testing::StationDir;
using testing::DatabaseStation;
using testing::FakeReport;
using testing::FakeSink;
using testing::Phone;

const QDateTime kWhen(QDate(2026, 12, 7), QTime(9, 5, 3));
const QString kStoreFailed = QStringLiteral("Open saving IMEI log file fail!");
const QString kUsedTail =
    QStringLiteral("  \u05DB\u05D1\u05E8 \u05D4\u05D9\u05D4 \u05D1\u05E9\u05D9\u05DE\u05D5\u05E9");

// A connection of the test's own thread to look at the file beside the station's.
class Inspector {
 public:
  explicit Inspector(const QString& path) : name_(QStringLiteral("inspect-%1").arg(++count_)) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name_);
    db.setDatabaseName(path);
    db.open();
  }
  ~Inspector() {
    QSqlDatabase::database(name_, false).close();
    QSqlDatabase::removeDatabase(name_);
  }
  bool Exec(const QString& sql) { return QSqlQuery(QSqlDatabase::database(name_)).exec(sql); }
  int Rows() { return Value(QStringLiteral("SELECT COUNT(*) FROM IMEI")).toInt(); }
  QVariant Value(const QString& sql) {
    QSqlQuery q(QSqlDatabase::database(name_));
    return q.exec(sql) && q.next() ? q.value(0) : QVariant();
  }

 private:
  static inline int count_ = 0;
  QString name_;
};

class ImeiDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CreateImeiDatabase(store_.databasePath()));
    store_.OpenImeiDatabase(sink_);
    ASSERT_TRUE(sink_.shown.isEmpty());
  }

  StationDir dir_;
  ResultStore store_{dir_.path()};
  FakeSink sink_;
  FakeReport report_;
};

TEST_F(ImeiDatabaseTest, FreshTableAcceptsAndEachPassAddsOneRow) {
  Inspector db(store_.databasePath());
  const config::StationSettings s = DatabaseStation();
  EXPECT_TRUE(store_.CheckImeiReuse(s, 1, QStringLiteral("351234567890124"), report_));
  EXPECT_TRUE(store_.SaveResultAt(s, Phone(QStringLiteral("351234567890124")), report_, kWhen));
  // Committed before SaveResult returned: another connection sees it at once.
  EXPECT_EQ(db.Rows(), 1);
  EXPECT_TRUE(store_.SaveResultAt(s, Phone(QStringLiteral("351234567890132")), report_, kWhen));
  EXPECT_EQ(db.Rows(), 2);
  EXPECT_EQ(report_.failShown(), 0);
  EXPECT_FALSE(QFileInfo::exists(store_.textPath()));
}

TEST_F(ImeiDatabaseTest, OnlyTheImeiColumnIsSearched) {
  const config::StationSettings s = DatabaseStation();
  ASSERT_TRUE(store_.SaveResultAt(
      s, Phone(QStringLiteral("351234567890124"), QStringLiteral("490154203237518")), report_,
      kWhen));
  EXPECT_FALSE(store_.CheckImeiReuse(s, 1, QStringLiteral("351234567890124"), report_));
  EXPECT_EQ(report_.text(), QStringLiteral("IMEI1") + kUsedTail);
  EXPECT_FALSE(store_.CheckImeiReuse(s, 2, QStringLiteral("351234567890124"), report_));
  EXPECT_EQ(report_.text(), QStringLiteral("IMEI2") + kUsedTail);
  report_.SetResultText(QString());
  // A stored IMEI2 is not looked at.
  EXPECT_TRUE(store_.CheckImeiReuse(s, 2, QStringLiteral("490154203237518"), report_));
  EXPECT_TRUE(report_.text().isEmpty());
}

TEST_F(ImeiDatabaseTest, RowCarriesEnabledColumnsAndLeavesTheRestAtDefault) {
  config::StationSettings s = DatabaseStation();
  s.BT_ADDR = 0;
  s.SN1Enabled = 1;  // WriteSN stays off: the row still carries SN1
  s.IMEI3Enabled = 1;
  ASSERT_TRUE(store_.SaveResultAt(s, Phone(QStringLiteral("351234567890124")), report_, kWhen));
  Inspector db(store_.databasePath());
  EXPECT_EQ(db.Value(QStringLiteral("SELECT \"IMEI\" FROM IMEI")).toString(),
            QStringLiteral("351234567890124"));
  EXPECT_EQ(db.Value(QStringLiteral("SELECT IMEI3 FROM IMEI")).toString(),
            QStringLiteral("356938035643809"));
  EXPECT_TRUE(db.Value(QStringLiteral("SELECT IMEI4 IS NULL FROM IMEI")).toBool());
  EXPECT_TRUE(db.Value(QStringLiteral("SELECT \"BLUETOOTH ADDR\" IS NULL FROM IMEI")).toBool());
  EXPECT_EQ(db.Value(QStringLiteral("SELECT \"WIFI MAC ADDR\" FROM IMEI")).toString(),
            QStringLiteral("a0b1c2d3e4f5"));
  EXPECT_EQ(db.Value(QStringLiteral("SELECT SN1 FROM IMEI")).toString(),
            QStringLiteral("SN20261207A"));
  EXPECT_TRUE(db.Value(QStringLiteral("SELECT SN2 IS NULL FROM IMEI")).toBool());
  EXPECT_EQ(db.Value(QStringLiteral("SELECT Time FROM IMEI")).toString(),
            QStringLiteral("2026-12-07-09-05-03"));
  EXPECT_EQ(db.Value(QStringLiteral("SELECT typeof(\"IMEI\") FROM IMEI")).toString(),
            QStringLiteral("text"));
}

TEST_F(ImeiDatabaseTest, ValuesAreBoundNotFormattedIntoSql) {
  const config::StationSettings s = DatabaseStation();
  ASSERT_TRUE(store_.SaveResultAt(s, Phone(QStringLiteral("351234567890124")), report_, kWhen));
  // Formatted into the query this would match every row.
  EXPECT_TRUE(store_.CheckImeiReuse(s, 1, QStringLiteral("x' OR '1'='1"), report_));
  const QString quoted = QStringLiteral("35'; DROP TABLE IMEI; --");
  ASSERT_TRUE(store_.SaveResultAt(s, Phone(quoted), report_, kWhen));
  EXPECT_FALSE(store_.CheckImeiReuse(s, 1, quoted, report_));
  Inspector db(store_.databasePath());
  EXPECT_EQ(db.Rows(), 2);
}

TEST_F(ImeiDatabaseTest, FailedSaveIsShownAndTheNextCheckWorks) {
  // A table prepared without the column IMEI2: a save with IMEI2 on fails.
  store_.CloseImeiDatabase();
  {
    Inspector db(store_.databasePath());
    ASSERT_TRUE(db.Exec(QStringLiteral("DROP TABLE IMEI")));
    ASSERT_TRUE(db.Exec(QStringLiteral("CREATE TABLE IMEI (\"IMEI\" TEXT, \"Time\" TEXT)")));
    ASSERT_TRUE(db.Exec(QStringLiteral("INSERT INTO IMEI VALUES ('351234567890124', 't')")));
  }
  store_.OpenImeiDatabase(sink_);
  ASSERT_TRUE(sink_.shown.isEmpty());
  config::StationSettings s = DatabaseStation();
  EXPECT_FALSE(store_.SaveResultAt(s, Phone(QStringLiteral("351234567890132")), report_, kWhen));
  EXPECT_EQ(report_.shownText(), kStoreFailed);
  EXPECT_EQ(report_.failShown(), 1);
  EXPECT_FALSE(store_.CheckImeiReuse(s, 1, QStringLiteral("351234567890124"), report_));
  EXPECT_EQ(report_.text(), QStringLiteral("IMEI1") + kUsedTail);
  EXPECT_TRUE(store_.CheckImeiReuse(s, 1, QStringLiteral("351234567890132"), report_));
  // The row that could be written goes in.
  s.IMEI2Enabled = s.BT_ADDR = s.WIFI_ADDR = 0;
  EXPECT_TRUE(store_.SaveResultAt(s, Phone(QStringLiteral("351234567890132")), report_, kWhen));
  EXPECT_FALSE(store_.CheckImeiReuse(s, 1, QStringLiteral("351234567890132"), report_));
}

TEST_F(ImeiDatabaseTest, ClosedDatabaseFailsWith134UntilReopened) {
  const config::StationSettings s = DatabaseStation();
  store_.CloseImeiDatabase();
  EXPECT_FALSE(store_.CheckImeiReuse(s, 1, QStringLiteral("351234567890124"), report_));
  EXPECT_EQ(report_.text(), kStoreFailed);
  EXPECT_FALSE(store_.SaveResultAt(s, Phone(QStringLiteral("351234567890124")), report_, kWhen));
  store_.OpenImeiDatabase(sink_);
  EXPECT_TRUE(store_.CheckImeiReuse(s, 1, QStringLiteral("351234567890124"), report_));
  EXPECT_TRUE(store_.SaveResultAt(s, Phone(QStringLiteral("351234567890124")), report_, kWhen));
}

TEST_F(ImeiDatabaseTest, InsertFromTheJobThreadCheckOnTheWindowThread) {
  const config::StationSettings s = DatabaseStation();
  constexpr int kRows = 40;
  std::atomic<int> saved{0};
  std::thread job([&] {
    FakeReport jobReport;
    for (int i = 0; i < kRows; ++i) {
      const QString imei = QStringLiteral("35000000000%1").arg(i, 4, 10, QLatin1Char('0'));
      if (store_.SaveResultAt(s, Phone(imei), jobReport, kWhen)) ++saved;
    }
  });
  // Meanwhile the window thread keeps checking.
  int checks = 0;
  while (saved.load() < kRows && checks < 100000) {
    store_.CheckImeiReuse(s, 1, QStringLiteral("350000000009999"), report_);
    ++checks;
  }
  job.join();
  EXPECT_EQ(saved.load(), kRows);
  for (int i = 0; i < kRows; ++i) {
    const QString imei = QStringLiteral("35000000000%1").arg(i, 4, 10, QLatin1Char('0'));
    EXPECT_FALSE(store_.CheckImeiReuse(s, 1, imei, report_)) << imei.toStdString();
  }
  EXPECT_TRUE(store_.CheckImeiReuse(s, 1, QStringLiteral("350000000009999"), report_));
  // Closed on the window thread, a save from another thread fails cleanly.
  store_.CloseImeiDatabase();
  bool late = true;
  std::thread after([&] {
    FakeReport r;
    late = store_.SaveResultAt(s, Phone(QStringLiteral("351234567890124")), r, kWhen);
  });
  after.join();
  EXPECT_FALSE(late);
}

TEST(ImeiDatabaseOpen, MissingOrForeignFilesFailWith134AndNothingCrashes) {
  StationDir dir;
  const config::StationSettings s = DatabaseStation();
  struct Case {
    const char* what;
    std::function<void(const QString& path)> prepare;
  };
  const Case cases[] = {
      {"missing", [](const QString&) {}},
      {"not a database",
       [&dir](const QString&) { dir.Write(QStringLiteral("IMEI.mdb"), QByteArray(4096, 'J')); }},
      {"empty file", [&dir](const QString&) { dir.Write(QStringLiteral("IMEI.mdb"), ""); }},
      {"no table IMEI",
       [](const QString& path) {
         Inspector db(path);
         db.Exec(QStringLiteral("CREATE TABLE Other (x TEXT)"));
       }},
      {"a folder", [&dir](const QString&) { QDir().mkpath(dir.File(QStringLiteral("IMEI.mdb"))); }},
  };
  for (const Case& c : cases) {
    QFile::remove(dir.File(QStringLiteral("IMEI.mdb")));
    QDir(dir.File(QStringLiteral("IMEI.mdb"))).removeRecursively();
    c.prepare(dir.File(QStringLiteral("IMEI.mdb")));
    const bool existed = QFileInfo::exists(dir.File(QStringLiteral("IMEI.mdb")));
    ResultStore store(dir.path());
    FakeSink sink;
    FakeReport report;
    store.OpenImeiDatabase(sink);
    EXPECT_EQ(sink.shown, QStringList{kStoreFailed}) << c.what;
    EXPECT_EQ(QFileInfo::exists(store.databasePath()), existed) << c.what;
    EXPECT_FALSE(store.CheckImeiReuse(s, 1, QStringLiteral("351234567890124"), report)) << c.what;
    EXPECT_EQ(report.text(), kStoreFailed) << c.what;
    EXPECT_FALSE(store.SaveResultAt(s, Phone(QStringLiteral("351234567890124")), report, kWhen))
        << c.what;
    EXPECT_EQ(report.failShown(), 1) << c.what;
    store.CloseImeiDatabase();
  }
}

TEST(ImeiDatabaseScript, CreatesTableAndIndexAndKeepsExistingData) {
  StationDir dir;
  const QString path = dir.File(QStringLiteral("IMEI.mdb"));
  ASSERT_TRUE(CreateImeiDatabase(path));
  {
    Inspector db(path);
    EXPECT_EQ(db.Value(QStringLiteral("SELECT COUNT(*) FROM pragma_index_list('IMEI')")).toInt(),
              1);
    EXPECT_EQ(db.Value(QStringLiteral("SELECT name FROM pragma_index_info("
                                      "(SELECT name FROM pragma_index_list('IMEI')))"))
                  .toString(),
              QStringLiteral("IMEI"));
    EXPECT_EQ(db.Value(QStringLiteral("PRAGMA journal_mode")).toString(), QStringLiteral("wal"));
    ASSERT_TRUE(db.Exec(QStringLiteral("INSERT INTO IMEI (\"IMEI\") VALUES ('1')")));
  }
  ASSERT_TRUE(CreateImeiDatabase(path));  // again: nothing lost
  {
    Inspector db(path);
    EXPECT_EQ(db.Rows(), 1);
  }
  const QString foreign = dir.Write(QStringLiteral("foreign.mdb"), QByteArray(2048, 'Z'));
  QString error;
  EXPECT_FALSE(CreateImeiDatabase(foreign, &error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_EQ(dir.Read(QStringLiteral("foreign.mdb")), QByteArray(2048, 'Z'));
  EXPECT_TRUE(ImeiDatabaseScript().contains(QStringLiteral("CREATE TABLE IF NOT EXISTS IMEI")));
}

TEST(ImeiDatabaseFind, RowsHoldingTheImeiInAnyImeiColumn) {
  StationDir dir;
  ResultStore store(dir.path());
  ASSERT_TRUE(CreateImeiDatabase(store.databasePath()));
  FakeSink sink;
  FakeReport report;
  store.OpenImeiDatabase(sink);
  config::StationSettings s = DatabaseStation();
  ASSERT_TRUE(store.SaveResultAt(s, Phone(QStringLiteral("351234567890124")), report, kWhen));
  ASSERT_TRUE(store.SaveResultAt(s, Phone(QStringLiteral("351234567890132")), report, kWhen));
  std::vector<ImeiRow> rows;
  ASSERT_TRUE(store.database().FindRows(QStringLiteral("490154203237518"), &rows));
  EXPECT_EQ(rows.size(), 2U);
  rows.clear();
  ASSERT_TRUE(store.database().FindRows(QStringLiteral("351234567890132"), &rows));
  ASSERT_EQ(rows.size(), 1U);
  EXPECT_EQ(rows[0].front(),
            std::make_pair(QStringLiteral("IMEI"), QStringLiteral("351234567890132")));
  EXPECT_EQ(rows[0].size(), ImeiColumns().size());
}

}  // namespace
}  // namespace kestrel::records
