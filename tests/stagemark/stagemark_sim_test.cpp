// The station-record library end to end: the phone library talking to kestrel-phone-sim over
// a pseudo-terminal, in process and through kestrel-cli phone stagemark-*.
#include "device/oxbind/oxbind.h"
#include "device/ports/port_map.h"
#include "device/stagemark/stagemark.h"
#include "device/stagemark/station_record.h"
#include "tests/device/phone_sim_process.h"
#include "tests/support/child_process.h"
#include "tests/support/linked_phone_api.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <memory>
#include <string>

namespace kestrel::device::stagemark {
namespace {

using testing::BinPath;
using testing::StationDir;

constexpr int kCom = 7;

// One simulated phone on COM7 of the station folder, its state in phone.json; stopped (and
// its state saved) in the destructor.
class PhoneSim {
 public:
  explicit PhoneSim(const StationDir& dir)
      : dir_(dir),
        process_(dir.File(QStringLiteral("ports")), kCom, StatePath(),
                 dir.File(QStringLiteral("phone.log"))) {}
  PhoneSim(const PhoneSim&) = delete;
  PhoneSim& operator=(const PhoneSim&) = delete;

  bool Start(const QStringList& extra = {}) { return process_.Start(extra); }
  void Stop() { process_.Stop(); }

  QString StatePath() const { return dir_.File(QStringLiteral("phone.json")); }

  // The station-record block in the phone's state file (read after Stop).
  QByteArray StoredBlock() const {
    QFile f(StatePath());
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QJsonObject state = QJsonDocument::fromJson(f.readAll()).object();
    return QByteArray::fromBase64(
        state.value(QStringLiteral("station_record")).toString().toLatin1());
  }

  // Puts a raw block into the phone before it starts.
  void PresetBlock(const QByteArray& block) const {
    QJsonObject state;
    state.insert(QStringLiteral("station_record"), QString::fromLatin1(block.toBase64()));
    dir_.Write(QStringLiteral("phone.json"), QJsonDocument(state).toJson());
  }

 private:
  const StationDir& dir_;
  testing::PhoneSimProcess process_;
};

struct Cli {
  int exitCode = -1;
  QString out;
};

Cli RunCli(const StationDir& dir, const QStringList& args) {
  const testing::ChildRun run =
      testing::RunChild(BinPath(QStringLiteral("kestrel-cli")),
                        QStringList{QStringLiteral("phone"), QStringLiteral("--station-dir"),
                                    dir.path(), QStringLiteral("--port"), QString::number(kCom)} +
                            args,
                        {{QStringLiteral("KESTREL_SYSTEM_PORTS"), QStringLiteral("0")}});
  Cli r;
  if (!run.finished) return r;
  r.exitCode = run.exitCode;
  r.out = QString::fromUtf8(run.out);
  return r;
}

// The phone library in this process, on the simulator's port.
class StagemarkSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("KESTREL_SYSTEM_PORTS", "0");
    ports::SetStationFolder(dir_.path());
    kestrel::device::stagemark::UsePhoneLibrary(&kestrel::testing::LinkedPhoneApi());
    h_ = KV_CreatePhone(0);
    ASSERT_NE(h_, KV_INVALID_HANDLE);
  }
  void TearDown() override {
    KV_EndPhoneTest(h_);
    KV_ReleasePhone(h_);
    ports::SetStationFolder(QString());
  }
  int32_t Begin() {
    const PortChannel c{KV_CHANNEL_COM, kCom, 115200};
    return KV_BeginPhoneTest(h_, &c);
  }

  StationDir dir_;
  PhoneHandle h_ = KV_INVALID_HANDLE;
};

// What the write job does at one station: check, (write identities), record, release.
int32_t RunStation(PhoneHandle h, const char* current, const char* check, bool writeOk,
                   int32_t* checkResult) {
  StagemarkObject* object = CreateStagemarkObject(h);
  if (object == nullptr) return -1;
  *checkResult = CheckPhase(object, current, check);
  int32_t phase = -1;
  if (*checkResult == STAGEMARK_PASS) {
    phase = writeOk ? UpdatePhase(object, current, 1, nullptr, 0, 0)
                    : UpdatePhase(object, current, 0, "Write Fail", 0, 0);
  }
  ReleaseStagemarkObject(object);
  return phase;
}

TEST_F(StagemarkSimTest, RecordWrittenAtOneStationIsCheckedAtTheNext) {
  const int64_t before = QDateTime::currentSecsSinceEpoch();
  {
    PhoneSim sim(dir_);
    ASSERT_TRUE(sim.Start());
    ASSERT_EQ(Begin(), KV_OK);
    int32_t check = -1;
    EXPECT_EQ(RunStation(h_, "BOARD", "NULL", true, &check), STAGEMARK_PASS);
    EXPECT_EQ(check, STAGEMARK_PASS);
    KV_EndPhoneTest(h_);
  }
  // The phone leaves the first station carrying its record.
  StationRecord record;
  {
    PhoneSim sim(dir_);
    ASSERT_EQ(DecodeStationRecord(sim.StoredBlock(), &record), STAGEMARK_PASS);
  }
  ASSERT_EQ(record.stations.size(), 1u);
  EXPECT_EQ(record.format, RecordFormat::kV9);
  EXPECT_EQ(record.stations[0].name, QByteArray("BOARD"));
  EXPECT_TRUE(record.stations[0].tested && record.stations[0].passed);
  EXPECT_GE(record.stations[0].time, before);
  EXPECT_LE(record.stations[0].time, QDateTime::currentSecsSinceEpoch());

  // The next station, a new session with the same phone: it requires BOARD and fails the write.
  PhoneSim sim(dir_);
  ASSERT_TRUE(sim.Start());
  ASSERT_EQ(Begin(), KV_OK);
  int32_t check = -1;
  EXPECT_EQ(RunStation(h_, "IMEI", "BOARD", false, &check), STAGEMARK_PASS);
  EXPECT_EQ(check, STAGEMARK_PASS);
  // The one after it sees the failure; BOARD still counts as passed.
  StagemarkObject* object = CreateStagemarkObject(h_);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(CheckPhase(object, "MMI", "IMEI"), STAGEMARK_CHECK_FAILED);
  EXPECT_EQ(CheckPhase(object, "MMI", "BOARD"), STAGEMARK_PASS);
  // A retest at IMEI that passes clears the way.
  EXPECT_EQ(CheckPhase(object, "IMEI", "BOARD"), STAGEMARK_PASS);
  EXPECT_EQ(UpdatePhase(object, "IMEI", 1, nullptr, 0, 0), STAGEMARK_PASS);
  EXPECT_EQ(CheckPhase(object, "MMI", "IMEI"), STAGEMARK_PASS);
  ReleaseStagemarkObject(object);
  KV_EndPhoneTest(h_);
  sim.Stop();

  ASSERT_EQ(DecodeStationRecord(sim.StoredBlock(), &record), STAGEMARK_PASS);
  ASSERT_EQ(record.stations.size(), 3u);
  EXPECT_EQ(record.stations[1].name, QByteArray("IMEI"));
  EXPECT_TRUE(record.stations[1].passed);
  EXPECT_TRUE(record.stations[1].failureText.isEmpty());
  EXPECT_EQ(record.stations[2], (StationEntry{"MMI", false, false, {}, 0}));
}

TEST_F(StagemarkSimTest, ObjectsAreCheckedAndWriteFailuresReported) {
  PhoneSim sim(dir_);
  ASSERT_TRUE(sim.Start({QStringLiteral("--station-passed"), QStringLiteral("BOARD"),
                         QStringLiteral("--fail"), QStringLiteral("WriteStationRecord=5")}));
  ASSERT_EQ(Begin(), KV_OK);
  EXPECT_EQ(CreateStagemarkObject(KV_INVALID_HANDLE), nullptr);
  EXPECT_EQ(CheckPhase(nullptr, "IMEI", "BOARD"), STAGEMARK_INVALID_OBJECT);
  StagemarkObject* object = CreateStagemarkObject(h_);
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(CheckPhase(object, nullptr, "BOARD"), STAGEMARK_FAIL);
  // The check passes, but entering IMEI in the record cannot be written.
  EXPECT_EQ(CheckPhase(object, "IMEI", "BOARD"), STAGEMARK_WRITE_FAILED);
  // The result of a station already in the record cannot be written either.
  EXPECT_EQ(CheckPhase(object, "BOARD", "NULL"), STAGEMARK_PASS);
  EXPECT_EQ(UpdatePhase(object, "BOARD", 1, nullptr, 0, 0), STAGEMARK_WRITE_FAILED);
  ReleaseStagemarkObject(object);
  EXPECT_EQ(UpdatePhase(object, "BOARD", 1, nullptr, 0, 0), STAGEMARK_INVALID_OBJECT);
  ReleaseStagemarkObject(object);  // twice: ignored
  KV_EndPhoneTest(h_);
  // Without a phone test the record cannot be read.
  object = CreateStagemarkObject(h_);
  EXPECT_EQ(CheckPhase(object, "BOARD", "NULL"), STAGEMARK_READ_FAILED);
  ReleaseStagemarkObject(object);
  // A phone library without the station-record calls (or none at all) gives no object.
  kestrel::device::oxbind::PhoneApi without = kestrel::testing::LinkedPhoneApi();
  without.WriteStationRecord = nullptr;
  kestrel::device::stagemark::UsePhoneLibrary(&without);
  EXPECT_EQ(CreateStagemarkObject(h_), nullptr);
  kestrel::device::stagemark::UsePhoneLibrary(nullptr);
  EXPECT_EQ(CreateStagemarkObject(h_), nullptr);
  EXPECT_EQ(kestrel::device::stagemark::LiveStagemarkObjects(), 0);
}

// Each code of the table through kestrel-cli and the simulator. Exit code = the call's code.
struct CodeCase {
  const char* what;
  QStringList simArgs;
  QByteArray block;   // preset raw block when not null
  QStringList steps;  // a command run first, which must succeed
  QStringList command;
  int code;
  const char* message;  // expected MESSAGE= text, or null
};

TEST(StagemarkCliTest, EveryResultCodeThroughTheSimulator) {
  StationRecord good;
  good.stations.push_back(StationEntry{"BOARD", true, true, {}, 0});
  QByteArray goodBlock;
  ASSERT_EQ(EncodeStationRecord(good, &goodBlock), STAGEMARK_PASS);
  QByteArray damaged = goodBlock;
  damaged[12] = 'X';  // checksum no longer matches

  const QStringList passedBoard{QStringLiteral("--station-passed"), QStringLiteral("BOARD")};
  const QString longName(200, u'N');
  const CodeCase cases[] = {
      {"passed", passedBoard, {}, {}, {"stagemark-check", "IMEI", "BOARD"}, 0, "Stagemark pass!"},
      {"empty name", passedBoard, {}, {}, {"stagemark-check", "", "BOARD"}, 1, "Stagemark fail!"},
      {"broken record",
       {},
       damaged,
       {},
       {"stagemark-check", "IMEI", "NULL"},
       3,
       "Invalid porduction info. data structure."},
      {"current unknown",
       passedBoard,
       {},
       {},
       {"stagemark-update", "IMEI", "pass"},
       4,
       "Station is not exist!"},
      {"check unknown",
       passedBoard,
       {},
       {},
       {"stagemark-check", "IMEI", "RF"},
       5,
       "Station is not exist!"},
      {"check failed",
       {"--station-failed", "RF"},
       {},
       {},
       {"stagemark-check", "IMEI", "RF"},
       6,
       "PRE0STATION RF is not passed!"},
      {"check untested",
       {},
       {},
       {"stagemark-check", "CAL", "NULL"},
       {"stagemark-check", "IMEI", "CAL"},
       7,
       "Station CAL has not been tested yet."},
      {"write fails",
       passedBoard + QStringList{"--fail", "WriteStationRecord=5"},
       {},
       {},
       {"stagemark-update", "BOARD", "fail", "Write Fail"},
       9,
       "Write Stagemark information fail!"},
      {"unreadable",
       passedBoard + QStringList{"--record-unreadable"},
       {},
       {},
       {"stagemark-check", "IMEI", "BOARD"},
       10,
       "Read Stagemark information fail!"},
      {"name too long",
       passedBoard,
       {},
       {},
       {"stagemark-check", longName, "BOARD"},
       11,
       "The size of input buffer is tool small."},
      {"no magic",
       {},
       QByteArray("KV"),
       {},
       {"stagemark-check", "IMEI", "NULL"},
       12,
       "Read magic number of Stagemark fail!"},
      {"bad magic",
       passedBoard + QStringList{"--record-bad-magic"},
       {},
       {},
       {"stagemark-check", "IMEI", "BOARD"},
       13,
       "Invalid magic number(not KV05 or KV09)."},
  };
  for (const CodeCase& c : cases) {
    SCOPED_TRACE(c.what);
    StationDir dir;
    PhoneSim sim(dir);
    if (!c.block.isNull()) sim.PresetBlock(c.block);
    ASSERT_TRUE(sim.Start(c.simArgs));
    if (!c.steps.isEmpty()) {
      ASSERT_EQ(RunCli(dir, c.steps).exitCode, 0);
    }
    const Cli r = RunCli(dir, c.command);
    EXPECT_EQ(r.exitCode, c.code) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(QStringLiteral("STAGEMARK=%1\n").arg(c.code)))
        << r.out.toStdString();
    if (c.message != nullptr) {
      EXPECT_TRUE(r.out.contains(QStringLiteral("MESSAGE=") + QString::fromUtf8(c.message)))
          << r.out.toStdString();
    }
  }
}

TEST(StagemarkCliTest, UpdateAndShow) {
  StationDir dir;
  PhoneSim sim(dir);
  ASSERT_TRUE(sim.Start({QStringLiteral("--station-passed"), QStringLiteral("BOARD"),
                         QStringLiteral("--station-failed"), QStringLiteral("RF")}));
  EXPECT_EQ(RunCli(dir, {"stagemark-check", "IMEI", "BOARD"}).exitCode, 0);
  EXPECT_EQ(RunCli(dir, {"stagemark-update", "IMEI", "fail", "no\nIMEI"}).exitCode, 0);
  const Cli shown = RunCli(dir, {"stagemark-show"});
  EXPECT_EQ(shown.exitCode, 0);
  const QStringList lines = shown.out.split(u'\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 12) << shown.out.toStdString();
  EXPECT_EQ(lines.mid(0, 10),
            (QStringList{"BYTES=75", "MAGIC=KV09", "STATIONS=3", "STATION1=BOARD",
                         "STATION1_RESULT=passed", "STATION2=RF", "STATION2_RESULT=failed",
                         "STATION2_TEXT=Write Fail", "STATION3=IMEI", "STATION3_RESULT=failed"}));
  EXPECT_TRUE(lines.at(10).startsWith(QStringLiteral("STATION3_TIME=20")))
      << lines.at(10).toStdString();
  EXPECT_EQ(lines.at(11), QStringLiteral("STATION3_TEXT=no\\x0aIMEI"));

  // Usage errors are refused before the phone is touched.
  EXPECT_EQ(RunCli(dir, {"stagemark-update", "IMEI", "maybe"}).exitCode, 2);
  EXPECT_EQ(RunCli(dir, {"stagemark-check", "IMEI"}).exitCode, 2);
  EXPECT_EQ(RunCli(dir, {"stagemark-show", "x"}).exitCode, 2);
}

}  // namespace
}  // namespace kestrel::device::stagemark
