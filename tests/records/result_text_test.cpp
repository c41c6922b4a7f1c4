#include "records/result_text.h"
#include "log/durable_file.h"
#include "records/result_store.h"
#include "resources/string_table.h"
#include "tests/records/records_fakes.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTime>

namespace kestrel::records {
namespace {

using kestrel::testing::StationDir;
using testing::FakeReport;
using testing::FakeSink;
using testing::Phone;
using testing::TextStation;

const QDateTime kWhen(QDate(2026, 12, 7), QTime(9, 5, 3));
const QString kUsed2 = QStringLiteral(
    "IMEI2  \u05DB\u05D1\u05E8 \u05D4\u05D9\u05D4 \u05D1\u05E9\u05D9\u05DE\u05D5\u05E9");

QString Used(int index) {
  return QStringLiteral("IMEI%1  ").arg(index) + kUsed2.mid(7);
}

QString StoreFailed() {
  return QStringLiteral("Open saving IMEI log file fail!");
}

TEST(ResultLine, PartsFollowTheSettingsWithWifiBeforeBt) {
  EXPECT_EQ(FormatSaveStamp(kWhen), QStringLiteral("2026-12-07-09-05-03"));
  config::StationSettings s = TextStation();
  const RecordIdentities ids = Phone(QStringLiteral("351234567890124"));
  EXPECT_EQ(ComposeResultLine(s, ids, FormatSaveStamp(kWhen)),
            QByteArray("2026-12-07-09-05-03, IMEI:351234567890124, IMEI2:490154203237518, "
                       "WIFI:a0b1c2d3e4f5, BT:0c1d2e3f4a5b\r\n"));

  // SN parts only with WriteSN; IMEI3 and IMEI4 by their switches.
  s.SN1Enabled = 1;
  s.SN2Enabled = 1;
  s.WIFI_ADDR = 0;
  EXPECT_EQ(ComposeResultLine(s, ids, QStringLiteral("T")),
            QByteArray("T, IMEI:351234567890124, IMEI2:490154203237518, BT:0c1d2e3f4a5b\r\n"));
  s.WriteSN = 1;
  s.SN2Enabled = 0;
  s.IMEI2Enabled = 0;
  s.IMEI3Enabled = 1;
  s.IMEI4Enabled = 1;
  s.BT_ADDR = 0;
  EXPECT_EQ(ComposeResultLine(s, ids, QStringLiteral("T")),
            QByteArray("T, IMEI:351234567890124, IMEI3:356938035643809, "
                       "IMEI4:353918050381110, SN1:SN20261207A\r\n"));

  // IMEI1 always stands in the line; nothing but ASCII is written.
  config::StationSettings none;
  RecordIdentities odd;
  odd.IMEI1 = QStringLiteral("12\u05D0\u00E934");
  EXPECT_EQ(ComposeResultLine(none, odd, QStringLiteral("T")), QByteArray("T, IMEI:12??34\r\n"));
}

TEST(ResultText, SaveFollowsTheStoreSelection) {
  StationDir dir;
  ResultStore store(dir.path());
  FakeReport report;
  const RecordIdentities ids = Phone(QStringLiteral("351234567890124"));
  config::StationSettings s = TextStation();

  for (const auto& [saveImei, saveToTxt] : {std::pair{0, 0}, std::pair{0, 1}}) {
    s.SaveIMEI = saveImei;
    s.SaveToTxt = saveToTxt;
    EXPECT_TRUE(store.SaveResultAt(s, ids, report, kWhen));
    EXPECT_FALSE(QFileInfo::exists(store.textPath()));
  }
  // Only IMEI4 (or no IMEI) enabled: nothing to keep, reported as saved.
  s = TextStation();
  s.IMEI1Enabled = s.IMEI2Enabled = 0;
  s.IMEI4Enabled = 1;
  EXPECT_TRUE(store.SaveResultAt(s, ids, report, kWhen));
  EXPECT_FALSE(QFileInfo::exists(store.textPath()));

  // Two saves within one second give two lines with the same stamp, appended.
  s = TextStation();
  EXPECT_TRUE(store.SaveResultAt(s, ids, report, kWhen));
  EXPECT_TRUE(store.SaveResultAt(s, Phone(QStringLiteral("351234567890132")), report, kWhen));
  EXPECT_EQ(dir.Read(QStringLiteral("IMEI.txt")),
            QByteArray("2026-12-07-09-05-03, IMEI:351234567890124, IMEI2:490154203237518, "
                       "WIFI:a0b1c2d3e4f5, BT:0c1d2e3f4a5b\r\n"
                       "2026-12-07-09-05-03, IMEI:351234567890132, IMEI2:490154203237518, "
                       "WIFI:a0b1c2d3e4f5, BT:0c1d2e3f4a5b\r\n"));
  EXPECT_EQ(report.failShown(), 0);
  EXPECT_TRUE(report.text().isEmpty());

  // The stamp of SaveResult is the local time now.
  EXPECT_TRUE(store.SaveResult(s, ids, report));
  const QByteArray last = dir.Read(QStringLiteral("IMEI.txt")).split('\n').at(2);
  EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^\d{4}(-\d\d){5}, IMEI:351234567890124, )"))
                  .match(QString::fromLatin1(last))
                  .hasMatch())
      << last.toStdString();
}

TEST(ResultText, UnwritableFileFailsTheSaveWith134Shown) {
  StationDir dir;
  ResultStore store(dir.path());
  QDir().mkpath(store.textPath());  // a folder where the file should be
  FakeReport report;
  EXPECT_FALSE(
      store.SaveResultAt(TextStation(), Phone(QStringLiteral("351234567890124")), report, kWhen));
  EXPECT_EQ(report.text(), StoreFailed());
  EXPECT_EQ(report.shownText(), StoreFailed());
  EXPECT_EQ(report.failShown(), 1);
}

TEST(ResultText, LineIsSyncedBeforeSaveReportsSuccess) {
  StationDir dir;
  ResultStore store(dir.path());
  FakeReport report;
  int syncs = 0;
  QByteArray onDiskAtSync;
  bool failSync = false;
  log::SetSyncHookForTesting([&](const QString& path) {
    ++syncs;
    QFile f(path);
    if (f.open(QIODevice::ReadOnly)) onDiskAtSync = f.readAll();
    return !failSync;
  });
  EXPECT_TRUE(
      store.SaveResultAt(TextStation(), Phone(QStringLiteral("351234567890124")), report, kWhen));
  EXPECT_EQ(syncs, 1);
  EXPECT_TRUE(onDiskAtSync.endsWith("BT:0c1d2e3f4a5b\r\n"));

  // A sync that fails is a failed save, never a pass.
  failSync = true;
  EXPECT_FALSE(
      store.SaveResultAt(TextStation(), Phone(QStringLiteral("351234567890132")), report, kWhen));
  EXPECT_EQ(report.shownText(), StoreFailed());
  log::SetSyncHookForTesting({});
}

TEST(ResultText, ReuseIsFoundInAnyLineWhateverTheSlot) {
  StationDir dir;
  ResultStore store(dir.path());
  FakeReport report;
  config::StationSettings s = TextStation();
  ASSERT_TRUE(store.SaveResultAt(s, Phone(QStringLiteral("351234567890124")), report, kWhen));

  EXPECT_TRUE(store.CheckImeiReuse(s, 1, QStringLiteral("351234567890132"), report));
  EXPECT_TRUE(report.text().isEmpty());
  // IMEI2 of a new phone equal to a stored IMEI1.
  EXPECT_FALSE(store.CheckImeiReuse(s, 2, QStringLiteral("351234567890124"), report));
  EXPECT_EQ(report.text(), kUsed2);
  // A stored IMEI2 counts for IMEI1 too.
  EXPECT_FALSE(store.CheckImeiReuse(s, 1, QStringLiteral("490154203237518"), report));
  EXPECT_EQ(report.text(), Used(1));
  // CheckImeiReuse only sets the message.
  EXPECT_EQ(report.failShown(), 0);

  // With SaveIMEI off the text file is still searched.
  s.SaveIMEI = 0;
  s.SaveToTxt = 0;
  EXPECT_FALSE(store.CheckImeiReuse(s, 3, QStringLiteral("351234567890124"), report));
  EXPECT_EQ(report.text(), Used(3));
}

TEST(ResultText, UnreadableFileRefusesEveryImeiWith134) {
  StationDir dir;
  ResultStore store(dir.path());
  FakeReport report;
  EXPECT_FALSE(store.CheckImeiReuse(TextStation(), 1, QStringLiteral("351234567890124"), report));
  EXPECT_EQ(report.text(), StoreFailed());
  QDir().mkpath(store.textPath());
  report.SetResultText(QString());
  EXPECT_FALSE(store.CheckImeiReuse(TextStation(), 1, QStringLiteral("351234567890124"), report));
  EXPECT_EQ(report.text(), StoreFailed());
}

TEST(ResultText, SearchSeesWholeLinesAcrossEveryPieceBorder) {
  StationDir dir;
  const QByteArray imei = "351234567890124";
  // A long line with the IMEI straddling character 253, another with it far behind.
  QByteArray text = QByteArray(245, 'x') + imei + QByteArray(40, 'y') + "\r\n";
  text += QByteArray(5000, 'z') + "\r\n";
  const QString path = dir.Write(QStringLiteral("IMEI.txt"), text);
  EXPECT_EQ(FindInResultText(path, QString::fromLatin1(imei)), TextLookup::Present);
  for (qint64 piece : {1, 2, 7, 14, 15, 16, 253, 4096}) {
    EXPECT_EQ(FindInResultTextInPieces(path, QString::fromLatin1(imei), piece), TextLookup::Present)
        << piece;
    EXPECT_EQ(FindInResultTextInPieces(path, QStringLiteral("351234567890125"), piece),
              TextLookup::Absent)
        << piece;
  }
  // Across the default 1 MiB piece.
  QByteArray big(1 << 20, '-');
  big.replace((1 << 20) - 7, imei.size(), imei);
  big += "\r\n";
  const QString bigPath = dir.Write(QStringLiteral("big.txt"), big);
  EXPECT_EQ(FindInResultText(bigPath, QString::fromLatin1(imei)), TextLookup::Present);
  EXPECT_EQ(FindInResultText(bigPath, QStringLiteral("351234567890125")), TextLookup::Absent);

  // A needle never spans two lines; an empty one stands in any non-empty file.
  EXPECT_FALSE(TextLinesContain("ab\r\ncd", "b\r\nc"));
  EXPECT_FALSE(TextLinesContain("ab\ncd", "bc"));
  EXPECT_TRUE(TextLinesContain("ab\ncd", "cd"));
  EXPECT_TRUE(TextLinesContain("a", ""));
  EXPECT_FALSE(TextLinesContain("", ""));
  EXPECT_EQ(FindInResultText(path, QString()), TextLookup::Present);
  EXPECT_EQ(FindInResultText(dir.Write(QStringLiteral("empty.txt"), ""), QString()),
            TextLookup::Absent);
  EXPECT_EQ(FindInResultText(path, QStringLiteral("35\u05D0")), TextLookup::Absent);
}

TEST(ResultText, EnsureCreatesTheFileOrShows134) {
  StationDir dir;
  FakeSink sink;
  ResultStore store(dir.path());
  store.EnsureResultText(sink);
  EXPECT_TRUE(QFileInfo(store.textPath()).isFile());
  EXPECT_EQ(QFileInfo(store.textPath()).size(), 0);
  dir.Write(QStringLiteral("IMEI.txt"), "kept\r\n");
  store.EnsureResultText(sink);
  EXPECT_EQ(dir.Read(QStringLiteral("IMEI.txt")), QByteArray("kept\r\n"));
  EXPECT_TRUE(sink.shown.isEmpty());

  ResultStore nowhere(dir.File(QStringLiteral("missing-folder")));
  nowhere.EnsureResultText(sink);
  EXPECT_EQ(sink.shown, QStringList{StoreFailed()});
  EXPECT_FALSE(QFileInfo::exists(nowhere.textPath()));
}

TEST(ResultText, StartUpStepFollowsTheSelection) {
  StationDir dir;
  FakeSink sink;
  ResultStore store(dir.path());
  config::StationSettings s;
  store.OpenForSettings(s, sink);  // SaveIMEI 0, SaveToTxt 0: nothing
  EXPECT_FALSE(QFileInfo::exists(store.textPath()));
  s.SaveToTxt = 1;
  store.OpenForSettings(s, sink);
  EXPECT_TRUE(QFileInfo::exists(store.textPath()));
  s.SaveIMEI = 1;
  s.SaveToTxt = 0;
  store.OpenForSettings(s, sink);  // the database, which is missing
  EXPECT_EQ(sink.shown, QStringList{StoreFailed()});
  EXPECT_FALSE(QFileInfo::exists(store.databasePath()));
}

TEST(ImeiLog, RecordIsOneTraceLineEndingInLfCrLf) {
  StationDir dir;
  ResultStore store(dir.path());
  store.WriteImeiLogRecord(3, QStringLiteral("PASS"));
  store.WriteImeiLogRecord(
      4, QStringLiteral("\u05EA\u05DD \u05D4\u05D6\u05DE\u05DF!\nIMEI1:351234567890124\n"));
  const QString stamp = QStringLiteral(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3}\] )");
  const QString content = QString::fromUtf8(dir.Read(QStringLiteral("Log/IMEI.log")));
  EXPECT_TRUE(QRegularExpression(
                  QStringLiteral("\\A") + stamp + "3,PASS\n\r\n" + stamp +
                  "4,\u05EA\u05DD \u05D4\u05D6\u05DE\u05DF!\nIMEI1:351234567890124\n\n\r\n\\z")
                  .match(content)
                  .hasMatch())
      << content.toStdString();

  // Best effort: a station folder where Log cannot be made loses the record quietly.
  dir.Write(QStringLiteral("blocked/Log"), "file");
  WriteImeiLogRecord(dir.File(QStringLiteral("blocked")), 1, QStringLiteral("PASS"));
  EXPECT_EQ(dir.Read(QStringLiteral("blocked/Log")), QByteArray("file"));
}

}  // namespace
}  // namespace kestrel::records
