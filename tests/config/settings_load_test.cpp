#include "config/settings_load.h"

#include "config/ini_file.h"
#include "config/message_sink.h"
#include "device/ampvane/ampvane.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QSysInfo>

#include <cstring>

using kestrel::config::IniFile;
using kestrel::config::LoadSettings;
using kestrel::config::ParseHexAddress;
using kestrel::config::SaveSettings;
using kestrel::config::SettingsLoadContext;
using kestrel::config::StationSettings;
using kestrel::testing::StationDir;
namespace ampvane = kestrel::device::ampvane;

namespace {

class RecordingSink : public kestrel::config::MessageSink {
 public:
  void ShowMessage(const QString& text) override { messages << text; }
  QStringList messages;
};

class FakeSource final : public ampvane::PowerSource {
 public:
  int32_t Identify(char* buffer, int32_t size) override {
    if (size > 0) buffer[0] = '\0';
    return 0;
  }
  int32_t Open(int32_t b, int32_t a) override {
    board = b;
    address = a;
    return openResult;
  }
  int32_t Close() override { return 0; }
  void Release() override { ++released; }
  int32_t SetOutput(float, int32_t) override { return 0; }

  int32_t openResult = 0;
  int board = -100;
  int address = -100;
  int released = 0;
};

class FakeFactory final : public ampvane::PowerSourceFactory {
 public:
  int32_t Version() override { return 1; }
  int32_t Create(ampvane::PowerSource** out, int32_t k) override {
    ++creates;
    kind = k;
    *out = giveSource ? &source : nullptr;
    return giveSource ? 0 : 1;
  }
  void Release() override {}

  FakeSource source;
  bool giveSource = true;
  int creates = 0;
  int kind = -100;
};

StationSettings Load(const StationDir& dir, const QByteArray& ini, RecordingSink* sink = nullptr) {
  SettingsLoadContext context;
  context.messages = sink;
  return LoadSettings(dir.Write("Kestrel.ini", ini), context);
}

}  // namespace

TEST(LoadSettings, AbsentAndEmptyFilesGiveTheDefaults) {
  StationDir dir;
  for (const bool present : {false, true}) {
    SCOPED_TRACE(present);
    RecordingSink sink;
    SettingsLoadContext context;
    context.messages = &sink;
    if (present) dir.Write("Kestrel.ini", "");
    const StationSettings s = LoadSettings(dir.File("Kestrel.ini"), context);
    EXPECT_EQ(s.WriteKey, 13);
    EXPECT_EQ(s.ReadKey, 32);
    EXPECT_EQ(s.Port, 1);
    EXPECT_EQ(s.LastComPort, 1);
    EXPECT_EQ(s.AutoPort, 0);
    EXPECT_EQ(s.Timeout, 40000);
    EXPECT_EQ(s.WriteTime, 10000);
    EXPECT_EQ(s.EntrerModeWait, 100);
    EXPECT_EQ(s.PhaseIndex, 1);
    EXPECT_EQ(s.TestCounts, 1);
    EXPECT_EQ(s.DefaultIMEI, "12345678901235");
    EXPECT_EQ(s.ForeWIFI, "00037F");
    EXPECT_EQ(s.InitialAddrForBT, "010203040506");
    EXPECT_EQ(s.EndAddrForBT, "010203040508");
    EXPECT_EQ(s.InitialBTValue, 0x010203040506ULL);
    EXPECT_EQ(s.EndBTValue, 0xFFFFFFFFFFFFULL);
    EXPECT_EQ(s.InitialWIFIValue, 0x00037F000000ULL);
    EXPECT_EQ(s.EndWIFIValue, 0x00037FFFFFFFULL);
    EXPECT_EQ(s.SNLength, 14);
    EXPECT_EQ(s.RebootDUT, 1);
    EXPECT_EQ(s.ReadBack, 1);
    EXPECT_EQ(s.DUTPort, -1);
    EXPECT_FLOAT_EQ(s.Voltage, 4.0F);
    EXPECT_EQ(s.WaitForAPTime, 7);
    EXPECT_EQ(s.VerLengthLowerLimit, 1);
    EXPECT_EQ(s.Version, "1.0");
    EXPECT_EQ(s.CurrentStationName, "IMEI");
    EXPECT_EQ(s.CheckStationName, "NULL");
    EXPECT_EQ(s.DisplayLabFontSize1, 20);
    EXPECT_EQ(s.DisplayLabFontSize2, 20);
    EXPECT_TRUE(s.WATCmdList.isEmpty());
    EXPECT_TRUE(sink.messages.isEmpty());
  }
}

TEST(LoadSettings, ScannerKeysNeverCoincide) {
  StationDir dir;
  struct Case {
    const char* ini;
    int write;
    int read;
  };
  for (const Case& c : {Case{"[SCANNER]\nOnWrite=1\nOnRead=1\n", 32, 13},
                        Case{"[SCANNER]\nOnWrite=0\nOnRead=0\n", 13, 32},
                        Case{"[SCANNER]\nOnWrite=5\nOnRead=0\n", 32, 13},
                        Case{"[SCANNER]\nOnWrite=0\nOnRead=-1\n", 13, 32}}) {
    SCOPED_TRACE(c.ini);
    const StationSettings s = Load(dir, c.ini);
    EXPECT_EQ(s.WriteKey, c.write);
    EXPECT_EQ(s.ReadKey, c.read);
  }
}

TEST(LoadSettings, PortModeAndAutoPortWithTheirSaveRule) {
  StationDir dir;
  StationSettings s = Load(dir, "[General]\nPort=-1\nOperation Mode=0\n");
  EXPECT_EQ(s.AutoPort, 1);
  EXPECT_EQ(s.LastComPort, -1);
  s.Port = 7;  // the port selector may change Port while AutoPort stays set
  ASSERT_TRUE(SaveSettings(s, dir.File("Kestrel.ini"), 1));
  EXPECT_EQ(IniFile(dir.File("Kestrel.ini")).ReadInt("General", "Port", 0), -1);

  s = Load(dir, "[General]\nPort=-1\nOperation Mode=1\n");
  EXPECT_EQ(s.AutoPort, 0);
  EXPECT_EQ(s.OperationMode, 1);
  ASSERT_TRUE(SaveSettings(s, dir.File("Kestrel.ini"), 1));
  EXPECT_EQ(IniFile(dir.File("Kestrel.ini")).ReadInt("General", "Port", 0), -1);

  s = Load(dir, "[General]\nPort=-1\nOperation Mode=2\n");
  EXPECT_EQ(s.OperationMode, 0);  // a flag is on only at exactly 1
  EXPECT_EQ(s.AutoPort, 1);

  s = Load(dir, "[General]\nPort=4\nOperation Mode=0\n");
  EXPECT_EQ(s.AutoPort, 0);
  ASSERT_TRUE(SaveSettings(s, dir.File("Kestrel.ini"), 1));
  EXPECT_EQ(IniFile(dir.File("Kestrel.ini")).ReadInt("General", "Port", 0), 4);
}

TEST(LoadSettings, ForcedRulesAreAppliedAndSavedAsForced) {
  StationDir dir;
  StationSettings s = Load(dir,
                           "[General]\nIMEI1=0\nIMEI2=1\nIMEI3=1\nIMEI4=1\nAutoCreateIMEI=1\n"
                           "UseSameIMEI=1\nStagemark=1\nBT_ADDR=0\nAutoGenerateBT_ADDR=1\n"
                           "WIFI_ADDR=0\nAutoWIFI_ADDR=1\n[Control]\nTavixNew=0\n");
  EXPECT_EQ(s.IMEI2Enabled, 0);
  EXPECT_EQ(s.IMEI3Enabled, 0);
  EXPECT_EQ(s.IMEI4Enabled, 0);
  EXPECT_EQ(s.AutoCreateIMEI, 0);
  EXPECT_EQ(s.UseSameIMEI, 0);
  EXPECT_EQ(s.Stagemark, 0);
  EXPECT_EQ(s.AutoGenerateBT_ADDR, 0);
  EXPECT_EQ(s.AutoWIFI_ADDR, 1);  // not forced by WIFI_ADDR
  ASSERT_TRUE(SaveSettings(s, dir.File("Kestrel.ini"), 1));
  const IniFile ini(dir.File("Kestrel.ini"));
  EXPECT_EQ(ini.ReadInt("General", "IMEI2", -1), 0);
  EXPECT_EQ(ini.ReadInt("General", "UseSameIMEI", -1), 0);

  s = Load(dir,
           "[General]\nIMEI1=2\nIMEI2=1\nUseSameIMEI=1\nStagemark=1\nBT_ADDR=1\n"
           "AutoGenerateBT_ADDR=1\n[Control]\nTavixNew=1\n");
  EXPECT_EQ(s.IMEI2Enabled, 1);  // IMEI1 is an integer switch: 2 is on
  EXPECT_EQ(s.UseSameIMEI, 1);
  EXPECT_EQ(s.Stagemark, 1);
  EXPECT_EQ(s.AutoGenerateBT_ADDR, 1);
}

TEST(LoadSettings, SerialNumberKeysOnlyWithWriteSN) {
  StationDir dir;
  struct Case {
    const char* length;
    int expected;
  };
  for (const Case& c : {Case{"5", 8}, Case{"8", 8}, Case{"23", 23}, Case{"24", 24}, Case{"30", 24},
                        Case{"x", 8}, Case{"-3", 8}}) {
    SCOPED_TRACE(c.length);
    const StationSettings s =
        Load(dir, QByteArray("[General]\nWriteSN=1\nSN1=1\nSN Length=") + c.length + "\n");
    EXPECT_EQ(s.SNLength, c.expected);
    EXPECT_EQ(s.SN1Enabled, 1);
  }
  StationSettings s = Load(dir, "[General]\nWriteSN=1\n");
  EXPECT_EQ(s.SNLength, 8);  // the key's default once it is read
  s = Load(dir, "[General]\nWriteSN=0\nSN1=1\nAutoCreateSN2=1\nSN Length=20\n");
  EXPECT_EQ(s.SNLength, 14);
  EXPECT_EQ(s.SN1Enabled, 0);
  EXPECT_EQ(s.AutoCreateSN2, 0);
}

TEST(LoadSettings, VersionLengthRuleShowsMessage163) {
  StationDir dir;
  RecordingSink sink;
  StationSettings s =
      Load(dir, "[PHONE]\nCheckVer=1\nVersion=1.0\nVer Length LowerLimit=3\n", &sink);
  EXPECT_EQ(s.CheckVer, 0);
  EXPECT_EQ(sink.messages, QStringList{"The length of version must be > 3 !"});
  ASSERT_TRUE(SaveSettings(s, dir.File("Kestrel.ini"), 1));
  EXPECT_EQ(IniFile(dir.File("Kestrel.ini")).ReadInt("PHONE", "CheckVer", -1), 0);

  sink.messages.clear();
  s = Load(dir, "[PHONE]\nCheckVer=1\nVersion=1.0\nVer Length LowerLimit=2\n", &sink);
  EXPECT_EQ(s.CheckVer, 1);
  EXPECT_TRUE(sink.messages.isEmpty());

  s = Load(dir, "[PHONE]\nCheckVer=0\nVersion=1\nVer Length LowerLimit=9\n", &sink);
  EXPECT_TRUE(sink.messages.isEmpty());
}

TEST(LoadSettings, CutsLowerCasingAndAddressValues) {
  StationDir dir;
  StationSettings s = Load(dir,
                           "[General]\nDefaultIMEI=1234567890123456\nForeWIFI=00037F99\n"
                           "InitialAddrForBT=0A0B0C0D0E0F11\nEndAddrForBT=0A0B0C0D0EFF\n"
                           "AutoGenerateBTAddrType=1\nAutoGenerateWifiMacType=1\n"
                           "InitialAddrForWIFI=AABBCCDDEEFF\nEndAddrForWIFI=zz\n"
                           "BT   Addr. Format=0123456789ABCDEF\nWIFI Addr. Format=00:11\n");
  EXPECT_EQ(s.DefaultIMEI, "12345678901234");
  EXPECT_EQ(s.ForeWIFI, "00037F");
  EXPECT_EQ(s.InitialAddrForBT, "0a0b0c0d0e0f");
  EXPECT_EQ(s.InitialBTValue, 0x0A0B0C0D0E0FULL);
  EXPECT_EQ(s.EndBTValue, 0x0A0B0C0D0EFFULL);  // range mode: from the text
  EXPECT_EQ(s.InitialAddrForWIFI, "aabbccddeeff");
  EXPECT_EQ(s.InitialWIFIValue, 0xAABBCCDDEEFFULL);
  EXPECT_EQ(s.EndAddrForWIFI, "zz");
  EXPECT_EQ(s.EndWIFIValue, 0U);
  EXPECT_EQ(s.BTAddrFormat, "0123456789AB");
  EXPECT_EQ(s.WIFIAddrFormat, "00:11");

  // Time mode: the ranges come from ForeWIFI and the full Bluetooth span; texts stay.
  s = Load(dir, "[General]\nForeWIFI=A0B1C2\nEndAddrForBT=000000000010\nEndAddrForWIFI=1\n");
  EXPECT_EQ(s.InitialWIFIValue, 0xA0B1C2000000ULL);
  EXPECT_EQ(s.EndWIFIValue, 0xA0B1C2FFFFFFULL);
  EXPECT_EQ(s.EndBTValue, 0xFFFFFFFFFFFFULL);
  EXPECT_EQ(s.EndAddrForBT, "000000000010");
  EXPECT_EQ(s.EndAddrForWIFI, "1");

  // Only the key with three blanks after BT is the format key.
  s = Load(dir, "[General]\nBT Addr. Format=12\n");
  EXPECT_EQ(s.BTAddrFormat, "");
}

TEST(LoadSettings, AtCommandsPortsAndLaterKeys) {
  StationDir dir;
  StationSettings s = Load(dir, "[Control]\nWATCmd=AT+A|AT+B\nDUTPort=0\n");
  EXPECT_EQ(s.WATCmdList, QStringList{"AT+A"});
  EXPECT_EQ(s.WATCmd, "AT+A|AT+B");
  EXPECT_EQ(s.DUTPort, -1);
  s = Load(dir, "[Control]\nWATCmd=AT+A||AT+B|\nDUTPort=5\n");
  EXPECT_EQ(s.WATCmdList, (QStringList{"AT+A", "", "AT+B"}));
  EXPECT_EQ(s.DUTPort, 5);
  s = Load(dir, "[Control]\nWATCmd=|\nDUTPort=-4\n");
  EXPECT_EQ(s.WATCmdList, QStringList{""});
  EXPECT_EQ(s.DUTPort, -1);

  s = Load(dir, "[General]\nCheckAPVersion=0\nAPVersion=AP1\n");
  EXPECT_EQ(s.APVersion, "");
  s = Load(dir,
           "[General]\nCheckAPVersion=1\nAPVersion=AP1\nReadBack=0\nWaitForAPTime=3\n"
           "[Control]\nRebootDUT=2\n");
  EXPECT_EQ(s.APVersion, "AP1");
  EXPECT_EQ(s.ReadBack, 0);
  EXPECT_EQ(s.WaitForAPTime, 3);
  EXPECT_EQ(s.RebootDUT, 0);
}

TEST(LoadSettings, RealsAndEightBitTexts) {
  StationDir dir;
  struct Case {
    const char* text;
    float expected;
  };
  for (const Case& c : {Case{"4.5V", 4.5F}, Case{"abc", 0.0F}, Case{"-3.25", -3.25F},
                        Case{"1234567890123", 123456789.0F}, Case{"5e1", 50.0F}, Case{"1e99", 4.0F},
                        Case{"2,5", 2.0F}}) {
    SCOPED_TRACE(c.text);
    const StationSettings s = Load(dir, QByteArray("[AMPVANE]\nVoltage=") + c.text + "\n");
    EXPECT_FLOAT_EQ(s.Voltage, c.expected);
  }
  const QString longName = QString(198, QLatin1Char('a')) + QStringLiteral("é") + "tail";
  const StationSettings s =
      Load(dir, "[General]\nCurrentStationName=" + longName.toUtf8() + "\nCheckStationName=\n");
  EXPECT_EQ(s.CurrentStationName, QByteArray(198, 'a'));  // the 2-byte é does not fit whole
  EXPECT_EQ(s.CheckStationName, "");
}

TEST(LoadSettings, PowerSourceStep) {
  StationDir dir;
  const QString path = dir.Write(
      "Kestrel.ini", "[AMPVANE]\nUseAMV=1\nDCType=3\nDCGpibNo=2\nDCGpibAddr=9\n[General]\n");
  const QString notFound = QStringLiteral("找不到电源，关闭电源控制!");
  {  // No factory: no source is found.
    RecordingSink sink;
    SettingsLoadContext c;
    c.messages = &sink;
    FakeSource stale;
    ampvane::PowerSource* opened = &stale;
    const StationSettings s = LoadSettings(path, c, &opened);
    EXPECT_EQ(s.UseAMV, 0);
    EXPECT_EQ(opened, nullptr);
    EXPECT_EQ(sink.messages, QStringList{notFound});
  }
  {  // The source opens at (DCGpibNo, DCGpibAddr) and is handed over.
    RecordingSink sink;
    FakeFactory factory;
    SettingsLoadContext c;
    c.messages = &sink;
    c.powerFactory = &factory;
    ampvane::PowerSource* opened = nullptr;
    const StationSettings s = LoadSettings(path, c, &opened);
    EXPECT_EQ(s.UseAMV, 1);
    EXPECT_EQ(opened, &factory.source);
    EXPECT_EQ(factory.kind, 3);
    EXPECT_EQ(factory.source.board, 2);
    EXPECT_EQ(factory.source.address, 9);
    EXPECT_EQ(factory.source.released, 0);
    EXPECT_TRUE(sink.messages.isEmpty());
  }
  {  // A source that does not answer is released, and the load says so.
    RecordingSink sink;
    FakeFactory factory;
    factory.source.openResult = 5;
    SettingsLoadContext c;
    c.messages = &sink;
    c.powerFactory = &factory;
    ampvane::PowerSource* opened = nullptr;
    const StationSettings s = LoadSettings(path, c, &opened);
    EXPECT_EQ(s.UseAMV, 0);
    EXPECT_EQ(opened, nullptr);
    EXPECT_EQ(factory.source.released, 1);
    EXPECT_EQ(sink.messages, QStringList{notFound});
  }
  {  // Unknown kind: no source.
    RecordingSink sink;
    FakeFactory factory;
    factory.giveSource = false;
    SettingsLoadContext c;
    c.messages = &sink;
    c.powerFactory = &factory;
    EXPECT_EQ(LoadSettings(path, c).UseAMV, 0);
    EXPECT_EQ(sink.messages, QStringList{notFound});
  }
  {  // Normal mode never asks for a source.
    RecordingSink sink;
    FakeFactory factory;
    SettingsLoadContext c;
    c.messages = &sink;
    c.powerFactory = &factory;
    const StationSettings s = LoadSettings(
        dir.Write("Normal.ini", "[AMPVANE]\nUseAMV=1\n[General]\nOperation Mode=1\n"), c);
    EXPECT_EQ(s.UseAMV, 1);
    EXPECT_EQ(factory.creates, 0);
    EXPECT_TRUE(sink.messages.isEmpty());
  }
  {  // A caller that does not take the source gets it released after the check.
    FakeFactory factory;
    SettingsLoadContext c;
    c.powerFactory = &factory;
    EXPECT_EQ(LoadSettings(path, c).UseAMV, 1);
    EXPECT_EQ(factory.source.released, 1);
  }
}

TEST(LoadSettings, AddressFileHookRunsOnlyWhenFileAssignmentIsOn) {
  StationDir dir;
  struct Case {
    const char* ini;
    bool runs;
  };
  for (const Case& c :
       {Case{"[General]\nBT_ADDR=1\n[CUSTOMIZATION]\nManual Assign BT Addr=1\n"
             "BT Addr File Path=/x/bt.ini\n",
             true},
        Case{"[General]\nBT_ADDR=0\nWIFI_ADDR=1\n[CUSTOMIZATION]\nManual Assign BT Addr=1\n"
             "Manual Assign WIFI Addr=1\n",
             true},
        Case{"[General]\nBT_ADDR=1\n[CUSTOMIZATION]\nManual Assign BT Addr=2\n", false},
        Case{"[General]\nBT_ADDR=0\nWIFI_ADDR=0\n[CUSTOMIZATION]\nManual Assign BT Addr=1\n"
             "Manual Assign WIFI Addr=1\n",
             false}}) {
    SCOPED_TRACE(c.ini);
    int calls = 0;
    QString seenPath;
    SettingsLoadContext context;
    context.loadAddressFiles = [&](StationSettings& s) {
      ++calls;
      seenPath = s.BTAddrFilePath;
      EXPECT_EQ(s.APVersion, "");  // runs before the later keys are read
    };
    LoadSettings(
        dir.Write("Kestrel.ini", QByteArray(c.ini) + "[General]\nCheckAPVersion=1\nAPVersion=v\n"),
        context);
    EXPECT_EQ(calls, c.runs ? 1 : 0);
    if (c.runs && calls == 1 && std::strstr(c.ini, "bt.ini") != nullptr) {
      EXPECT_EQ(seenPath, "/x/bt.ini");
    }
  }
}

TEST(ParseHexAddressTest, Rule) {
  EXPECT_EQ(ParseHexAddress("0A0B0C0D0E0F11", 12), 0x0A0B0C0D0E0FULL);
  EXPECT_EQ(ParseHexAddress("FFFFFFFFFFFF", 12), 0xFFFFFFFFFFFFULL);
  EXPECT_EQ(ParseHexAddress("ff", 12), 0xFFULL);
  EXPECT_EQ(ParseHexAddress("", 12), 0ULL);
  EXPECT_EQ(ParseHexAddress("12g4", 12), 0x12ULL);
  // Each half stops at its first non-hexadecimal character.
  EXPECT_EQ(ParseHexAddress("1g2345678901", 12), (0x1ULL << 32) | 0x45678901ULL);
  EXPECT_EQ(ParseHexAddress("1234x6789abc", 12), (0x1234ULL << 32) | 0x0ULL);
  EXPECT_EQ(ParseHexAddress("0x1234567890", 12), 0x0ULL << 32 | 0x34567890ULL);
  // The digit limit is at most 16.
  EXPECT_EQ(ParseHexAddress("0123456789abcdef01", 20), 0x0123456789ABCDEFULL);
  EXPECT_EQ(ParseHexAddress("123456789", 4), 0x1234ULL);
  EXPECT_EQ(ParseHexAddress("123", -1), 0ULL);
}

TEST(SaveSettings, WritesItsKeysInOrderAndKeepsEverythingElse) {
  StationDir dir;
  const QString path = dir.Write("Kestrel.ini",
                                 "; kept\n[General]\nTimeout=123\nOperation Mode=1\n"
                                 "[AMPVANE]\nUseAMV=1\n");
  StationSettings s = LoadSettings(path, {});
  s.RebootDUT = 1;
  s.SendATCmd = 1;
  ASSERT_TRUE(SaveSettings(s, path, 42));
  EXPECT_EQ(dir.Read("Kestrel.ini").toStdString(),
            "; kept\n[General]\nTimeout=123\nOperation Mode=1\n"
            "Disable AutoUSB=0\nPort=1\nIMEI1=0\nIMEI2=0\nIMEI3=0\nIMEI4=0\nBT_ADDR=0\n"
            "AutoGenerateBT_ADDR=0\nWIFI_ADDR=0\nAutoWIFI_ADDR=0\nAutoCreateIMEI=0\n"
            "UseSameIMEI=0\nStagemark=0\nDefaultIMEI=00000000000042\nSaveIMEI=0\nSaveToTxt=0\n"
            "CheckValid=0\nCheckRepeat=0\nIMEI1GenMode=0\nIMEI2GenMode=0\nIMEI3GenMode=0\n"
            "IMEI4GenMode=0\nAutoGenerateBTAddrType=0\nInitialAddrForBT=010203040506\n"
            "EndAddrForBT=010203040508\nAutoGenerateWifiMacType=0\n"
            "InitialAddrForWIFI=010203040506\nEndAddrForWIFI=010203040508\nWriteSN=0\nSN1=0\n"
            "AutoCreateSN1=0\nSN2=0\nAutoCreateSN2=0\nCheckAPVersion=0\nAPVersion=\n"
            "SecureBoot=0\nEnableSecure=0\nQuarl=0\nPower Off=0\nAP Mode=0\n"
            "[AMPVANE]\nUseAMV=1\n"
            "[PHONE]\nVersion=1.0\nCheckVer=0\nVer Length LowerLimit=1\n"
            "[CUSTOMIZATION]\nBT Addr File Path=\nWIFI Addr File Path=\n"
            "[Control]\nRebootDUT=1\nSendATCmd=0\n");

  s.RebootDUT = 0;
  ASSERT_TRUE(SaveSettings(s, path, 35123456000001ULL));
  const IniFile ini(path);
  EXPECT_EQ(ini.ReadInt("Control", "SendATCmd", -1), 1);
  EXPECT_EQ(ini.ReadString("General", "DefaultIMEI", ""), "35123456000001");
}

TEST(LoadSettings, LineSectionWithItsDefaultsAndLimits) {
  StationDir dir;
  const QString host = QSysInfo::machineHostName();
  struct Case {
    const char* ini;
    const char* database;
    QString station;
    int block;
    int addressBlock;
    int offline;
  } cases[] = {
      {"", "", "IMEI@" + host, 20, 20, -1},
      {"[General]\nCurrentStationName=ST3\n[line]\nDatabase= postgresql://h/db \n", "postgresql://h/db",
       "ST3@" + host, 20, 20, -1},
      {"[LINE]\nStation=Line2-07\nImeiBlock=100\nAddressBlock=7\nOfflinePhones=40\n", "",
       "Line2-07", 100, 7, 40},
      {"[LINE]\nStation=\nImeiBlock=2\nAddressBlock=0\nOfflinePhones=0\n", "", "IMEI@" + host, 4,
       1, 0},
      {"[LINE]\nImeiBlock=9999999\nAddressBlock=9999999\nOfflinePhones=-7\n", "", "IMEI@" + host,
       100000, 100000, -1},
      {"[LINE]\nImeiBlock=x\n", "", "IMEI@" + host, 4, 20, -1},
  };
  for (const Case& c : cases) {
    const StationSettings s = Load(dir, c.ini);
    EXPECT_EQ(s.LineDatabase, QString::fromLatin1(c.database)) << c.ini;
    EXPECT_EQ(s.LineStation, c.station) << c.ini;
    EXPECT_EQ(s.LineImeiBlock, c.block) << c.ini;
    EXPECT_EQ(s.LineAddressBlock, c.addressBlock) << c.ini;
    EXPECT_EQ(s.LineOfflinePhones, c.offline) << c.ini;
  }
}

TEST(LoadSettings, OperatorAndLabelSectionsWithTheirDefaultsAndLimits) {
  StationDir dir;
  struct Case {
    const char* ini;
    int sound, volume, print;
    const char* printer;
    const char* labelTemplate;
    int copies;
  } cases[] = {
      {"", 1, 100, 0, "", "", 1},
      {"[operator]\nSound=0\nSoundVolume=40\n[Label]\nPrint=1\nPrinter= Zebra-1 \n"
       "Template=labels/box.txt\nCopies=2\n",
       0, 40, 1, "Zebra-1", "labels/box.txt", 2},
      {"[OPERATOR]\nSound=2\nSoundVolume=250\n[LABEL]\nPrint=yes\nCopies=0\n", 0, 100, 0, "", "",
       1},
      {"[OPERATOR]\nSoundVolume=-5\n[LABEL]\nCopies=1000\n", 1, 0, 0, "", "", 99},
  };
  for (const Case& c : cases) {
    const StationSettings s = Load(dir, c.ini);
    EXPECT_EQ(s.Sound, c.sound) << c.ini;
    EXPECT_EQ(s.SoundVolume, c.volume) << c.ini;
    EXPECT_EQ(s.LabelPrint, c.print) << c.ini;
    EXPECT_EQ(s.LabelPrinter, QString::fromLatin1(c.printer)) << c.ini;
    EXPECT_EQ(s.LabelTemplate, QString::fromLatin1(c.labelTemplate)) << c.ini;
    EXPECT_EQ(s.LabelCopies, c.copies) << c.ini;
  }
  // The save leaves both sections as they are.
  const QByteArray sections = "[OPERATOR]\nSound=0\n[LABEL]\nPrint=1\nCopies=3\n";
  const QString path = dir.Write("Kestrel.ini", "[General]\nIMEI1=1\n" + sections);
  StationSettings s = LoadSettings(path, {});
  s.Sound = 1;
  s.LabelCopies = 1;
  ASSERT_TRUE(SaveSettings(s, path, 1));
  EXPECT_TRUE(dir.Read("Kestrel.ini").contains(sections)) << dir.Read("Kestrel.ini").toStdString();
}

TEST(SaveSettings, KeepsTheLineSectionUntouched) {
  StationDir dir;
  const QByteArray line =
      "[LINE]\n; the line's database\nDatabase=postgresql://u:p@h:5432/line\nImeiBlock=7\n";
  const QString path = dir.Write("Kestrel.ini", "[General]\nIMEI1=1\n" + line);
  StationSettings s = LoadSettings(path, {});
  s.LineDatabase.clear();
  s.LineStation = QStringLiteral("changed");
  s.LineImeiBlock = 99;
  ASSERT_TRUE(SaveSettings(s, path, 1));
  const QByteArray after = dir.Read("Kestrel.ini");
  EXPECT_TRUE(after.contains(line)) << after.toStdString();
  EXPECT_FALSE(after.contains("changed"));
}

TEST(SaveSettings, InterruptedSaveLeavesTheOldFileWhole) {
  StationDir dir;
  const QByteArray before = "[General]\nDefaultIMEI=35123456000001\nIMEI1=1\nSaveIMEI=1\n";
  const QString path = dir.Write("Kestrel.ini", before);
  StationSettings s = LoadSettings(path, {});
  s.SaveIMEI = 0;
  IniFile::SetInterruptHookForTesting([](const QString&) { return false; });
  const bool saved = SaveSettings(s, path, 1);
  IniFile::SetInterruptHookForTesting({});
  EXPECT_FALSE(saved);
  EXPECT_EQ(dir.Read("Kestrel.ini").toStdString(), before.toStdString());
}

TEST(SaveSettings, RoundTripChangesNothingTheSaveWrites) {
  StationDir dir;
  const QString path = dir.Write(
      "Kestrel.ini",
      "[General]\nOperation Mode=0\nDisable AutoUSB=1\nPort=-1\nIMEI1=1\nIMEI2=1\nIMEI3=0\n"
      "IMEI4=1\nIMEI1GenMode=1\nIMEI2GenMode=2\nIMEI4GenMode=1\nAutoCreateIMEI=1\n"
      "Stagemark=1\nBT_ADDR=1\nAutoGenerateBT_ADDR=1\nWIFI_ADDR=1\nAutoWIFI_ADDR=1\n"
      "DefaultIMEI=00000000000123\nSaveIMEI=1\nSaveToTxt=1\nCheckValid=1\nCheckRepeat=1\n"
      "AutoGenerateBTAddrType=1\nInitialAddrForBT=A0A0A0A0A0A0\nEndAddrForBT=A0A0A0A0A0FF\n"
      "AutoGenerateWifiMacType=1\nInitialAddrForWIFI=0200000000aa\nEndAddrForWIFI=0200000000ff\n"
      "WriteSN=1\nSN1=1\nAutoCreateSN1=1\nSN2=1\nAutoCreateSN2=0\nSN Length=16\n"
      "CheckAPVersion=1\nAPVersion=AP_1.2 \"x\"\nSecureBoot=1\nEnableSecure=1\nQuarl=1\n"
      "Power Off=1\nAP Mode=1\n"
      "[PHONE]\nVersion=V1.0.7\nCheckVer=1\nVer Length LowerLimit=3\n"
      "[CUSTOMIZATION]\nBT Addr File Path=/data/bt addr.ini\nWIFI Addr File Path=C:\\w.ini\n"
      "[Control]\nRebootDUT=0\nSendATCmd=1\nTavixNew=1\n");
  const StationSettings first = LoadSettings(path, {});
  ASSERT_TRUE(SaveSettings(first, path, first.DefaultIMEI.toULongLong()));
  const QByteArray afterFirstSave = dir.Read("Kestrel.ini");
  const StationSettings second = LoadSettings(path, {});
  ASSERT_TRUE(SaveSettings(second, path, second.DefaultIMEI.toULongLong()));
  EXPECT_EQ(dir.Read("Kestrel.ini").toStdString(), afterFirstSave.toStdString());

#define SAME(field) EXPECT_EQ(first.field, second.field) << #field
  SAME(OperationMode);
  SAME(DisableAutoUSB);
  SAME(Port);
  SAME(AutoPort);
  SAME(IMEI1Enabled);
  SAME(IMEI2Enabled);
  SAME(IMEI3Enabled);
  SAME(IMEI4Enabled);
  SAME(BT_ADDR);
  SAME(AutoGenerateBT_ADDR);
  SAME(WIFI_ADDR);
  SAME(AutoWIFI_ADDR);
  SAME(AutoCreateIMEI);
  SAME(UseSameIMEI);
  SAME(Stagemark);
  SAME(DefaultIMEI);
  SAME(SaveIMEI);
  SAME(SaveToTxt);
  SAME(CheckValid);
  SAME(CheckRepeat);
  SAME(Version);
  SAME(CheckVer);
  SAME(VerLengthLowerLimit);
  SAME(IMEI1GenMode);
  SAME(IMEI2GenMode);
  SAME(IMEI3GenMode);
  SAME(IMEI4GenMode);
  SAME(AutoGenerateBTAddrType);
  SAME(InitialAddrForBT);
  SAME(EndAddrForBT);
  SAME(AutoGenerateWifiMacType);
  SAME(InitialAddrForWIFI);
  SAME(EndAddrForWIFI);
  SAME(InitialBTValue);
  SAME(EndBTValue);
  SAME(InitialWIFIValue);
  SAME(EndWIFIValue);
  SAME(WriteSN);
  SAME(SN1Enabled);
  SAME(AutoCreateSN1);
  SAME(SN2Enabled);
  SAME(AutoCreateSN2);
  SAME(SNLength);
  SAME(BTAddrFilePath);
  SAME(WIFIAddrFilePath);
  SAME(CheckAPVersion);
  SAME(APVersion);
  SAME(RebootDUT);
  SAME(SendATCmd);
  SAME(SecureBoot);
  SAME(EnableSecure);
  SAME(Quarl);
  SAME(PowerOff);
  SAME(APMode);
#undef SAME
  EXPECT_EQ(second.APVersion, "AP_1.2 \"x\"");
  EXPECT_EQ(second.BTAddrFilePath, "/data/bt addr.ini");
  EXPECT_EQ(second.InitialAddrForBT, "a0a0a0a0a0a0");
  EXPECT_EQ(second.DefaultIMEI, "00000000000123");
  EXPECT_EQ(second.Port, -1);
  EXPECT_EQ(second.SendATCmd, 1);
}
