#include "identity/address_allocation.h"

#include "config/ini_file.h"
#include "config/settings_load.h"
#include "resources/string_table.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <deque>

namespace kestrel::identity {
namespace {

const QString kBtAboveEnd =
    QStringLiteral("当前蓝牙地址已大于设定的结束地址，点击确定将当前地址置为开始地址。");
const QString kBtBelowStart =
    QStringLiteral("当前蓝牙地址已小于设定的起始地址，点击确定将当前地址置为开始地址。");
const QString kWifiAboveEnd =
    QStringLiteral("当前WIFI地址已大于设定的结束地址，点击确定将当前地址置为开始地址。");
const QString kWifiBelowStart =
    QStringLiteral("当前WIFI地址已小于设定的起始地址，点击确定将当前地址置为开始地址。");
const QString kBtInvalid = QStringLiteral("当前蓝牙地址配置不正确，请重新选择正确的蓝牙地址文件!");
const QString kWifiInvalid =
    QStringLiteral("当前WIFI地址配置不正确，请重新选择正确的WIFI地址文件!");

class RecordingSink : public config::MessageSink {
 public:
  void ShowMessage(const QString& text) override { shown << text; }
  QStringList shown;
};

// Records the reports in the order they arrive.
class RecordingReporter : public OutcomeReporter {
 public:
  void SetResultText(const QString& text) override { events << QStringLiteral("text:") + text; }
  void ShowResult(ResultState state) override {
    events << QStringLiteral("show:%1").arg(static_cast<int>(state));
  }
  void RecordOutcome(bool passed) override {
    events << (passed ? QStringLiteral("outcome:pass") : QStringLiteral("outcome:fail"));
  }
  QStringList events;
};

// Hands out scripted numbers and remembers the seeds.
class ScriptedRandom : public RandomGenerator {
 public:
  explicit ScriptedRandom(std::deque<int> draws) : draws_(std::move(draws)) {}
  void Seed(unsigned seed) override { seeds.push_back(seed); }
  int Draw() override {
    const int v = draws_.front();
    draws_.pop_front();
    return v;
  }
  std::vector<unsigned> seeds;

 private:
  std::deque<int> draws_;
};

QByteArray AddressFile(const char* section, const char* start, const char* current,
                       const char* end) {
  return QByteArray("; range of line 3\n[") + section + "]\nStart Address=" + start +
         "\nCurrent Address=" + current + "\nEnd Address=" + end + "\n";
}

QString ReadCurrent(const QString& path, const char* section) {
  return config::IniFile(path).ReadString(QString::fromLatin1(section),
                                          QStringLiteral("Current Address"), QStringLiteral("?"));
}

TEST(TimeBluetoothAddress, RandomThenDayHourMinuteSecond) {
  const FixedClock clock({2014, 5, 12, 5, 39, 1}, 1399873141);
  ScriptedRandom random({123456});
  EXPECT_EQ(TimeBluetoothAddress(clock, random), QStringLiteral("345612053901"));
  EXPECT_EQ(random.seeds, std::vector<unsigned>{1399873141U});

  ScriptedRandom small({7});
  EXPECT_EQ(TimeBluetoothAddress(FixedClock({2014, 5, 2, 0, 0, 9}, 5), small),
            QStringLiteral("000702000009"));

  // Two preparations within one second give the same address.
  const QString first = TimeBluetoothAddress(clock, CRandom());
  EXPECT_EQ(TimeBluetoothAddress(clock, CRandom()), first);
  EXPECT_EQ(first.size(), 12);
}

TEST(RandomWifiAddress, PrefixThenDrawsAndTick) {
  const FixedClock clock({2014, 5, 12, 5, 39, 1}, 1399873141, 1000);
  // r1 = 17 -> 1, r2 = 30 -> e, r3 = 250 -> 52; t = 1000 -> 10.
  ScriptedRandom random({17, 30, 250});
  EXPECT_EQ(RandomWifiAddress(QStringLiteral("00037F"), clock, random),
            QStringLiteral("00037F5210e1"));
  EXPECT_EQ(random.seeds, std::vector<unsigned>{1399873141U});
}

config::StationSettings WifiTyped() {
  config::StationSettings s;
  s.WIFI_ADDR = 1;
  s.ForeWIFI = QStringLiteral("00037F");
  return s;
}

TEST(CheckWifiPrefix, FirstByteEvenAndForeWifiPrefix) {
  RecordingReporter reporter;
  const config::StationSettings s = WifiTyped();
  EXPECT_FALSE(CheckWifiPrefix(s, QStringLiteral("01037F123456"), reporter));
  EXPECT_FALSE(CheckWifiPrefix(s, QStringLiteral("00037E123456"), reporter));
  EXPECT_EQ(reporter.events, (QStringList{QStringLiteral("text:") + resources::LoadString(146),
                                          QStringLiteral("text:") + resources::LoadString(147)}));
  reporter.events.clear();
  EXPECT_TRUE(CheckWifiPrefix(s, QStringLiteral("00037f123456"), reporter));  // any case
  EXPECT_TRUE(reporter.events.isEmpty());

  // Random addresses under ForeWIFI always pass.
  config::StationSettings gen = s;
  gen.AutoWIFI_ADDR = 1;
  for (int second = 0; second < 200; ++second) {
    const QString wifi = RandomWifiAddress(
        gen.ForeWIFI, FixedClock({2014, 5, 12, 5, 39, second % 60}, 1399873141 + second,
                                 static_cast<std::uint32_t>(second * 7919)));
    ASSERT_EQ(wifi.size(), 12) << wifi.toStdString();
    ASSERT_TRUE(wifi.startsWith(QStringLiteral("00037F")));
    ASSERT_TRUE(CheckWifiPrefix(gen, wifi, reporter)) << wifi.toStdString();
  }
}

TEST(CheckWifiPrefix, AppliesOnlyWithoutFileAndFormatCheck) {
  RecordingReporter reporter;
  const QString odd = QStringLiteral("01037F123456");
  config::StationSettings fileMode = WifiTyped();
  fileMode.ManualAssignWIFIAddr = 1;
  EXPECT_TRUE(CheckWifiPrefix(fileMode, odd, reporter));
  config::StationSettings formatChecked = WifiTyped();
  formatChecked.CheckWIFIValid = 1;
  formatChecked.WIFIAddrFormat = QStringLiteral("0103");
  EXPECT_TRUE(CheckWifiPrefix(formatChecked, odd, reporter));
  formatChecked.AutoWIFI_ADDR = 1;  // generated addresses are held to the rule regardless
  EXPECT_FALSE(CheckWifiPrefix(formatChecked, odd, reporter));
  config::StationSettings off = WifiTyped();
  off.WIFI_ADDR = 0;
  EXPECT_TRUE(CheckWifiPrefix(off, odd, reporter));
}

class AddressFileTest : public ::testing::Test {
 protected:
  config::StationSettings BtFromFile(const QByteArray& content) {
    config::StationSettings s;
    s.BT_ADDR = 1;
    s.ManualAssignBTAddr = 1;
    s.BTAddrFilePath = dir.Write(QStringLiteral("bt.ini"), content);
    return s;
  }
  void AddWifiFile(config::StationSettings& s, const QByteArray& content) {
    s.WIFI_ADDR = 1;
    s.ManualAssignWIFIAddr = 1;
    s.WIFIAddrFilePath = dir.Write(QStringLiteral("wifi.ini"), content);
  }

  testing::StationDir dir;
  RecordingSink sink;
  RecordingReporter reporter;
  AddressFileState state;
};

TEST_F(AddressFileTest, HandsOutTheCurrentAddressAndAdvancesTheFile) {
  config::StationSettings s =
      BtFromFile(AddressFile("BT Address", "001122330000", "001122330005", "0011223300FF"));
  ASSERT_TRUE(LoadAddressFiles(s, state, sink));
  EXPECT_EQ(state.AddressConfigValid, 1);
  EXPECT_EQ(CurrentFileAddress(state, AddressKind::Bluetooth), QStringLiteral("001122330005"));
  EXPECT_TRUE(CheckAddressFilePositions(s, state, sink));

  ASSERT_TRUE(AdvanceAddresses(s, state, sink, reporter));
  EXPECT_EQ(ReadCurrent(s.BTAddrFilePath, "BT Address"), QStringLiteral("001122330006"));
  EXPECT_EQ(CurrentFileAddress(state, AddressKind::Bluetooth), QStringLiteral("001122330006"));
  EXPECT_TRUE(sink.shown.isEmpty());
  EXPECT_TRUE(reporter.events.isEmpty());
  // The rest of the file is kept.
  const QByteArray file = dir.Read(QStringLiteral("bt.ini"));
  EXPECT_TRUE(file.startsWith("; range of line 3\n[BT Address]\nStart Address=001122330000\n"));
  EXPECT_TRUE(file.contains("End Address=0011223300FF"));

  // Hexadecimal carry, written in upper case.
  state.BT.Current = QStringLiteral("0011223300af");
  ASSERT_TRUE(AdvanceAddresses(s, state, sink, reporter));
  EXPECT_EQ(ReadCurrent(s.BTAddrFilePath, "BT Address"), QStringLiteral("0011223300B0"));
}

TEST_F(AddressFileTest, CurrentAtEndRestartsAtStartWithTheBox) {
  config::StationSettings s =
      BtFromFile(AddressFile("BT Address", "001122330000", "0011223300FF", "0011223300FF"));
  AddWifiFile(s, AddressFile("WIFI Address", "00037F000000", "00037F0000FF", "00037F0000FF"));
  ASSERT_TRUE(LoadAddressFiles(s, state, sink));
  ASSERT_TRUE(AdvanceAddresses(s, state, sink, reporter));
  EXPECT_EQ(ReadCurrent(s.BTAddrFilePath, "BT Address"), QStringLiteral("001122330000"));
  EXPECT_EQ(ReadCurrent(s.WIFIAddrFilePath, "WIFI Address"), QStringLiteral("00037F000000"));
  EXPECT_EQ(sink.shown, (QStringList{kBtAboveEnd, kWifiAboveEnd}));
  EXPECT_TRUE(reporter.events.isEmpty());  // the job's own outcome stands

  // A position below the start (edited file) moves to the start without a box.
  sink.shown.clear();
  state.BT.Current = QStringLiteral("000000000001");
  ASSERT_TRUE(AdvanceAddresses(s, state, sink, reporter));
  EXPECT_EQ(state.BT.Current, QStringLiteral("001122330000"));
  EXPECT_EQ(sink.shown, QStringList{});
}

TEST_F(AddressFileTest, LoadRefusesBadRanges) {
  // Start must be below End.
  config::StationSettings s =
      BtFromFile(AddressFile("BT Address", "001122330000", "001122330000", "001122330000"));
  AddWifiFile(s, AddressFile("WIFI Address", "00037F000000", "00037F000001", "00037F0000FF"));
  EXPECT_FALSE(LoadAddressFiles(s, state, sink));
  EXPECT_EQ(state.AddressConfigValid, 0);
  EXPECT_EQ(sink.shown, QStringList{kBtInvalid});
  EXPECT_TRUE(state.WIFI.Current.isEmpty());  // Wi-Fi is not looked at

  // Current outside the range.
  sink.shown.clear();
  s.BTAddrFilePath =
      dir.Write(QStringLiteral("bt.ini"),
                AddressFile("BT Address", "001122330000", "001122330100", "0011223300FF"));
  EXPECT_FALSE(LoadAddressFiles(s, state, sink));
  EXPECT_EQ(sink.shown, QStringList{kBtInvalid});

  // A good Bluetooth file and a Wi-Fi file with the wrong section: all values read as 0.
  sink.shown.clear();
  s.BTAddrFilePath =
      dir.Write(QStringLiteral("bt.ini"),
                AddressFile("BT Address", "001122330000", "001122330001", "0011223300FF"));
  s.WIFIAddrFilePath =
      dir.Write(QStringLiteral("wifi.ini"),
                AddressFile("BT Address", "00037F000000", "00037F000001", "00037F0000FF"));
  EXPECT_FALSE(LoadAddressFiles(s, state, sink));
  EXPECT_EQ(sink.shown, QStringList{kWifiInvalid});
  EXPECT_EQ(state.AddressConfigValid, 0);

  // A missing file.
  sink.shown.clear();
  s.WIFIAddrFilePath = dir.File(QStringLiteral("absent.ini"));
  EXPECT_FALSE(LoadAddressFiles(s, state, sink));
  EXPECT_EQ(sink.shown, QStringList{kWifiInvalid});

  // A valid pair sets the flag again; texts are cut to twelve characters.
  sink.shown.clear();
  s.WIFIAddrFilePath =
      dir.Write(QStringLiteral("wifi.ini"),
                AddressFile("wifi address", "00037F000000", "00037F00000199", "00037F0000FF"));
  EXPECT_TRUE(LoadAddressFiles(s, state, sink));
  EXPECT_EQ(state.AddressConfigValid, 1);
  EXPECT_EQ(CurrentFileAddress(state, AddressKind::Wifi), QStringLiteral("00037F000001"));
  EXPECT_TRUE(sink.shown.isEmpty());
}

TEST_F(AddressFileTest, PositionCheckResetsToStartAndRefuses) {
  config::StationSettings s =
      BtFromFile(AddressFile("BT Address", "0011223300a0", "0011223300b0", "0011223300ff"));
  AddWifiFile(s, AddressFile("WIFI Address", "00037F000010", "00037F000020", "00037F0000FF"));
  ASSERT_TRUE(LoadAddressFiles(s, state, sink));

  state.BT.Current = QStringLiteral("001122330001");
  EXPECT_FALSE(CheckAddressFilePositions(s, state, sink));
  EXPECT_EQ(sink.shown, QStringList{kBtBelowStart});
  EXPECT_EQ(state.BT.Current, QStringLiteral("0011223300A0"));
  EXPECT_EQ(ReadCurrent(s.BTAddrFilePath, "BT Address"), QStringLiteral("0011223300A0"));

  sink.shown.clear();
  state.WIFI.Current = QStringLiteral("00037F000100");
  EXPECT_FALSE(CheckAddressFilePositions(s, state, sink));
  EXPECT_EQ(sink.shown, QStringList{kWifiAboveEnd});
  EXPECT_EQ(ReadCurrent(s.WIFIAddrFilePath, "WIFI Address"), QStringLiteral("00037F000010"));

  sink.shown.clear();
  state.WIFI.Current = QStringLiteral("00037F000001");
  EXPECT_FALSE(CheckAddressFilePositions(s, state, sink));
  EXPECT_EQ(sink.shown, QStringList{kWifiBelowStart});

  // Both in range now: accepted without a box.
  sink.shown.clear();
  EXPECT_TRUE(CheckAddressFilePositions(s, state, sink));
  EXPECT_TRUE(sink.shown.isEmpty());
}

TEST_F(AddressFileTest, InterruptedWriteKeepsTheOldFile) {
  config::StationSettings s =
      BtFromFile(AddressFile("BT Address", "001122330000", "001122330005", "0011223300FF"));
  ASSERT_TRUE(LoadAddressFiles(s, state, sink));
  const QByteArray before = dir.Read(QStringLiteral("bt.ini"));
  config::IniFile::SetInterruptHookForTesting([](const QString&) { return false; });
  AdvanceAddresses(s, state, sink, reporter);
  config::IniFile::SetInterruptHookForTesting({});
  EXPECT_EQ(dir.Read(QStringLiteral("bt.ini")), before);
}

TEST_F(AddressFileTest, SettingsLoadRunsTheCheckThroughItsHook) {
  const QString bt =
      dir.Write(QStringLiteral("bt.ini"),
                AddressFile("BT Address", "001122330000", "001122330005", "0011223300FF"));
  const QString ini = dir.Write(QStringLiteral("Kestrel.ini"),
                                "[General]\nBT_ADDR=1\n[CUSTOMIZATION]\nManual Assign BT Addr=1\n"
                                "BT Addr File Path=" +
                                    bt.toUtf8() + "\n");
  config::SettingsLoadContext context;
  context.messages = &sink;
  context.loadAddressFiles = [this](config::StationSettings& loaded) {
    LoadAddressFiles(loaded, state, sink);
  };
  state.AddressConfigValid = 0;
  const config::StationSettings s = config::LoadSettings(ini, context);
  EXPECT_EQ(state.AddressConfigValid, 1);
  EXPECT_EQ(CurrentFileAddress(state, AddressKind::Bluetooth), QStringLiteral("001122330005"));
  EXPECT_TRUE(BluetoothFromFile(s));
}

config::StationSettings BtCounter(const char* initial, const char* end) {
  config::StationSettings s;
  s.BT_ADDR = 1;
  s.AutoGenerateBT_ADDR = 1;
  s.AutoGenerateBTAddrType = 1;
  s.InitialAddrForBT = QString::fromLatin1(initial);
  s.EndAddrForBT = QString::fromLatin1(end);
  s.EndBTValue = config::ParseHexAddress(s.EndAddrForBT, 12);
  return s;
}

TEST(AdvanceAddresses, BluetoothCounterHandsOutOnePastTheEndThenFails) {
  RecordingSink sink;
  RecordingReporter reporter;
  AddressFileState state;
  config::StationSettings s = BtCounter("010203040508", "010203040508");
  s.WIFI_ADDR = 1;
  s.AutoWIFI_ADDR = 1;
  s.AutoGenerateWifiMacType = 1;
  s.InitialAddrForWIFI = QStringLiteral("00037f000000");
  s.EndWIFIValue = config::ParseHexAddress(QStringLiteral("00037f0000ff"), 12);

  EXPECT_TRUE(AdvanceAddresses(s, state, sink, reporter));
  EXPECT_EQ(s.InitialAddrForBT, QStringLiteral("010203040509"));
  EXPECT_EQ(s.InitialAddrForWIFI, QStringLiteral("00037f000001"));
  EXPECT_TRUE(reporter.events.isEmpty());

  // The phone that got 010203040509 is failed, and nothing moves any more.
  for (int job = 0; job < 2; ++job) {
    reporter.events.clear();
    EXPECT_FALSE(AdvanceAddresses(s, state, sink, reporter));
    EXPECT_EQ(reporter.events,
              (QStringList{QStringLiteral("text:") + resources::LoadString(177),
                           QStringLiteral("show:3"), QStringLiteral("outcome:fail")}));
    EXPECT_EQ(s.InitialAddrForBT, QStringLiteral("010203040509"));
    EXPECT_EQ(s.InitialAddrForWIFI, QStringLiteral("00037f000001"));  // not reached
  }
  EXPECT_TRUE(sink.shown.isEmpty());
}

TEST(AdvanceAddresses, WifiCounterFailsWith178OrRestartsInTimeMode) {
  RecordingSink sink;
  RecordingReporter reporter;
  AddressFileState state;
  config::StationSettings s;
  s.WIFI_ADDR = 1;
  s.AutoWIFI_ADDR = 1;
  s.AutoGenerateWifiMacType = 1;
  s.InitialAddrForWIFI = QStringLiteral("0a0b0c0d0e10");
  s.EndWIFIValue = config::ParseHexAddress(QStringLiteral("0a0b0c0d0e0f"), 12);
  EXPECT_FALSE(AdvanceAddresses(s, state, sink, reporter));
  EXPECT_EQ(reporter.events,
            (QStringList{QStringLiteral("text:") + resources::LoadString(178),
                         QStringLiteral("show:3"), QStringLiteral("outcome:fail")}));
  EXPECT_EQ(s.InitialAddrForWIFI, QStringLiteral("0a0b0c0d0e10"));

  // Time mode: the counter runs through ForeWIFI's range and restarts silently.
  reporter.events.clear();
  config::StationSettings t;
  t.WIFI_ADDR = 1;
  t.AutoWIFI_ADDR = 1;
  t.AutoGenerateWifiMacType = 0;
  t.ForeWIFI = QStringLiteral("00037F");
  t.InitialAddrForWIFI = QStringLiteral("010203040506");
  t.InitialWIFIValue = config::ParseHexAddress(t.ForeWIFI + QStringLiteral("000000"), 12);
  t.EndWIFIValue = config::ParseHexAddress(t.ForeWIFI + QStringLiteral("FFFFFF"), 12);
  EXPECT_TRUE(AdvanceAddresses(t, state, sink, reporter));
  EXPECT_EQ(t.InitialAddrForWIFI, QStringLiteral("00037f000000"));
  EXPECT_TRUE(AdvanceAddresses(t, state, sink, reporter));
  EXPECT_EQ(t.InitialAddrForWIFI, QStringLiteral("00037f000001"));
  t.InitialAddrForWIFI = QStringLiteral("00037fffffff");
  EXPECT_TRUE(AdvanceAddresses(t, state, sink, reporter));
  EXPECT_EQ(t.InitialAddrForWIFI, QStringLiteral("000380000000"));
  EXPECT_TRUE(AdvanceAddresses(t, state, sink, reporter));
  EXPECT_EQ(t.InitialAddrForWIFI, QStringLiteral("00037f000000"));
  EXPECT_TRUE(reporter.events.isEmpty());
  EXPECT_TRUE(sink.shown.isEmpty());
}

TEST(AdvanceAddresses, TimeModeAndTypedAddressesMoveNothing) {
  RecordingSink sink;
  RecordingReporter reporter;
  AddressFileState state;
  config::StationSettings s = BtCounter("010203040506", "010203040508");
  s.AutoGenerateBTAddrType = 0;  // Bluetooth from the clock
  s.WIFI_ADDR = 1;               // Wi-Fi typed
  s.InitialAddrForWIFI = QStringLiteral("010203040506");
  EXPECT_TRUE(AdvanceAddresses(s, state, sink, reporter));
  EXPECT_EQ(s.InitialAddrForBT, QStringLiteral("010203040506"));
  EXPECT_EQ(s.InitialAddrForWIFI, QStringLiteral("010203040506"));
}

}  // namespace
}  // namespace kestrel::identity
