// RecordOutcome: what a failure empties and what it keeps, counting from a job thread, and
// the IMEI.log record of the power-supply repeat run.
#include "tests/station/station_fixture.h"

#include "resources/string_table.h"

#include <QLabel>

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <thread>

namespace kestrel::station::testing {
namespace {

TEST_F(StationWindowTest, AFailureKeepsGeneratedValuesAndEmptiesScannedOnes) {
  Open(
      "[General]\nIMEI1=1\nIMEI1GenMode=1\nIMEI2=1\nIMEI2GenMode=1\nAutoCreateIMEI=1\n"
      "DefaultIMEI=35678901234567\nBT_ADDR=1\nWIFI_ADDR=1\nAutoWIFI_ADDR=1\n"
      "WriteSN=1\nSN1=1\nSN2=1\nAutoCreateSN2=1\nSN Length=8\n");
  EXPECT_EQ(Focus(), EditOf(ids::kBluetooth));
  Scan(QStringLiteral("0011223344FF"));
  Scan(QStringLiteral("AB123456"));
  const QString wifi = EditOf(ids::kWifi)->text();
  const QString sn2 = EditOf(ids::kSn2)->text();
  ASSERT_EQ(wifi.size(), 12);
  ASSERT_EQ(sn2.size(), 8);

  W().RecordOutcome(true);  // a pass leaves every field
  EXPECT_EQ(EditOf(ids::kBluetooth)->text(), QStringLiteral("0011223344FF"));

  W().RecordOutcome(false);
  EXPECT_EQ(EditOf(ids::kImei1)->text(), QStringLiteral("356789012345672"));
  EXPECT_EQ(EditOf(ids::kImei2)->text(), QStringLiteral("356789012345680"));
  EXPECT_EQ(EditOf(ids::kWifi)->text(), wifi);
  EXPECT_EQ(EditOf(ids::kSn2)->text(), sn2);
  EXPECT_EQ(EditOf(ids::kBluetooth)->text(), QString());
  EXPECT_EQ(EditOf(ids::kSn1)->text(), QString());
  // The emptied texts reached the identities through the fields' own change handling.
  EXPECT_EQ(W().Identities().BT, QString());
  EXPECT_EQ(W().Identities().SN1, QString());
  EXPECT_EQ(W().PassCount(), 1U);
  EXPECT_EQ(W().FailCount(), 1U);
}

TEST_F(StationWindowTest, AFailureCountedOnAJobThreadEmptiesTheFieldsOnTheWindowThread) {
  Open("[General]\nIMEI1=1\n");
  Scan(QStringLiteral("356789012345672"));
  std::thread job([this] { W().RecordOutcome(false); });
  job.join();
  EXPECT_EQ(W().FailCount(), 1U);
  QApplication::processEvents();
  EXPECT_EQ(EditOf(ids::kImei1)->text(), QString());
  EXPECT_EQ(static_cast<QLabel*>(W().Control(ids::kFailCount))->text(), QStringLiteral("נכשל :1"));
}

QByteArray ReadImeiLog(const kestrel::testing::StationDir& dir) {
  QFile f(QDir(dir.path()).filePath(QStringLiteral("Log/IMEI.log")));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST_F(StationWindowTest, TheRepeatRunInCalibrationModeWritesOneImeiLogRecordPerJob) {
  Open("[General]\nOperation Mode=0\nIMEI1=1\n");
  W().RecordOutcome(true);
  EXPECT_TRUE(ReadImeiLog(dir_).isEmpty());  // UseAMV off: no record

  // The power source is on for this run (the load clears UseAMV when no source answers).
  W().MutableSettings().UseAMV = 1;
  W().RecordOutcome(true);
  W().SetResultText(resources::LoadString(103));
  W().ShowResult(ResultState::Fail);
  W().RecordOutcome(false);
  const QByteArray log = ReadImeiLog(dir_);
  const QRegularExpression record(
      QStringLiteral(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3}\] 0,PASS\n\r\n)"
                     R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3}\] 0,.+\nIMEI1:\n\n\r\n$)"));
  EXPECT_TRUE(record.match(QString::fromLocal8Bit(log)).hasMatch()) << log.constData();

  W().MutableSettings().OperationMode = 1;  // normal mode: no record
  W().RecordOutcome(true);
  EXPECT_EQ(ReadImeiLog(dir_), log);
}

}  // namespace
}  // namespace kestrel::station::testing
