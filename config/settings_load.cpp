#include "config/settings_load.h"

#include "config/ini_file.h"
#include "config/message_sink.h"
#include "device/ampvane/ampvane.h"
#include "resources/message_format.h"

#include <QStringEncoder>
#include <QSysInfo>

#include <algorithm>
#include <cmath>
#include <vector>

namespace kestrel::config {
namespace {

const QString kGeneral = QStringLiteral("General");
const QString kControl = QStringLiteral("Control");
const QString kScanner = QStringLiteral("SCANNER");
const QString kPhone = QStringLiteral("PHONE");
const QString kOther = QStringLiteral("OTHER");
const QString kCustomization = QStringLiteral("CUSTOMIZATION");
const QString kAmpvane = QStringLiteral("AMPVANE");
const QString kLine = QStringLiteral("LINE");
const QString kOperator = QStringLiteral("OPERATOR");
const QString kLabel = QStringLiteral("LABEL");

constexpr int kMessageVersionLength = 163;

// Reading limits of the text keys, in characters.
constexpr int kStationNameChars = 199;
constexpr int kStationNameBytes = 199;
constexpr int kShortTextChars = 99;
constexpr int kPathChars = 519;
constexpr int kApVersionChars = 511;
constexpr int kAtCommandChars = 4095;
constexpr int kRealChars = 19;
constexpr int kRealBytes = 9;
constexpr int kFormatChars = 12;
constexpr int kAddressChars = 12;
constexpr int kImeiBodyChars = 14;
constexpr int kForeWifiChars = 6;
constexpr int kLineDatabaseChars = 1023;
constexpr int kLineStationChars = 199;
// A phone takes up to four consecutive bodies, so a block holds at least four.
constexpr int kLineImeiBlockMin = 4;
constexpr int kLineImeiBlockMax = 100000;
constexpr int kLabelCopiesMax = 99;

int OtherKey(int key) {
  return key == kKeyEnter ? kKeySpace : kKeyEnter;
}

void Show(const SettingsLoadContext& context, const QString& text) {
  if (context.messages != nullptr) context.messages->ShowMessage(text);
}

// Lower-cased, at most 12 characters.
QString AddressText(const IniFile& ini, const QString& key, const QString& fallback) {
  return ini.ReadString(kGeneral, key, fallback, kShortTextChars).toLower().left(kAddressChars);
}

std::uint32_t ReadHex32(QStringView digits) {
  std::uint32_t value = 0;
  for (const QChar c : digits) {
    const char16_t u = c.unicode();
    std::uint32_t d = 0;
    if (u >= u'0' && u <= u'9') {
      d = static_cast<std::uint32_t>(u - u'0');
    } else if (u >= u'a' && u <= u'f') {
      d = static_cast<std::uint32_t>(u - u'a' + 10);
    } else {
      break;
    }
    value = (value << 4) | d;
  }
  return value;
}

// Opens the power source; true when it answers. On success *opened holds it.
bool OpenPowerSource(const SettingsLoadContext& context, int kind, int board, int address,
                     device::ampvane::PowerSource** opened) {
  device::ampvane::PowerSourceFactory* factory = context.powerFactory;
  if (factory == nullptr) return false;
  device::ampvane::PowerSource* source = nullptr;
  const int32_t created = factory->Create(&source, kind);
  if (source == nullptr) return false;
  if (created != 0 || source->Open(board, address) != 0) {
    source->Release();
    return false;
  }
  *opened = source;
  return true;
}

}  // namespace

bool ReadFlag(const IniFile& ini, const QString& section, const QString& key, int fallback) {
  return ini.ReadInt(section, key, fallback) == 1;
}

std::uint64_t ParseHexAddress(const QString& text, int maxDigits) {
  const int n = std::clamp(maxDigits, 0, 16);
  const QString t = text.left(n).toLower();
  const qsizetype split = std::max<qsizetype>(0, t.size() - 8);
  const std::uint64_t high = ReadHex32(QStringView(t).left(split));
  const std::uint64_t low = ReadHex32(QStringView(t).mid(split));
  return (high << 32) | low;
}

QByteArray ToLocal8BitLimited(const QString& text, int maxBytes) {
  QStringEncoder enc(QStringEncoder::System);
  QByteArray out;
  for (qsizetype i = 0; i < text.size();) {
    const qsizetype len = (text.at(i).isHighSurrogate() && i + 1 < text.size()) ? 2 : 1;
    const QByteArray piece = enc.encode(QStringView(text).mid(i, len));
    if (out.size() + piece.size() > maxBytes) break;
    out += piece;
    i += len;
  }
  return out;
}

float ParseRealPrefix(const QByteArray& text, float fallback) {
  qsizetype i = 0;
  const qsizetype n = text.size();
  auto isDigit = [&](qsizetype k) { return k < n && text[k] >= '0' && text[k] <= '9'; };
  while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
  const qsizetype start = i;
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  qsizetype digits = 0;
  while (isDigit(i)) ++i, ++digits;
  if (i < n && text[i] == '.') {
    ++i;
    while (isDigit(i)) ++i, ++digits;
  }
  if (digits == 0) return 0.0F;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    qsizetype j = i + 1;
    if (j < n && (text[j] == '+' || text[j] == '-')) ++j;
    if (isDigit(j)) {
      while (isDigit(j)) ++j;
      i = j;
    }
  }
  bool ok = false;
  const double value = text.mid(start, i - start).toDouble(&ok);  // C locale
  if (!ok || !std::isfinite(value) || std::fabs(value) > 3.4028234663852886e38) return fallback;
  return static_cast<float>(value);
}

QStringList SplitAtCommands(const QString& text) {
  QStringList list;
  QString rest = text;
  for (qsizetype bar = rest.indexOf(QLatin1Char('|')); bar >= 0;
       bar = rest.indexOf(QLatin1Char('|'))) {
    list << rest.left(bar);
    rest.remove(0, bar + 1);
  }
  return list;
}

StationSettings LoadSettings(const QString& path, const SettingsLoadContext& context,
                             device::ampvane::PowerSource** powerSource) {
  if (powerSource != nullptr) *powerSource = nullptr;
  const IniFile ini(path);
  StationSettings s;

  // 1. The scanner's terminating keys.
  s.WriteKey = ini.ReadInt(kScanner, QStringLiteral("OnWrite"), 0) != 0 ? kKeySpace : kKeyEnter;
  s.ReadKey = ini.ReadInt(kScanner, QStringLiteral("OnRead"), 0) != 0 ? kKeySpace : kKeyEnter;
  if (s.ReadKey == s.WriteKey) s.ReadKey = OtherKey(s.ReadKey);

  // 2. Keys 3-44 in table order.
  s.OperationMode = ReadFlag(ini, kGeneral, QStringLiteral("Operation Mode"), 0) ? 1 : 0;
  s.DisableAutoUSB = ReadFlag(ini, kGeneral, QStringLiteral("Disable AutoUSB"), 0) ? 1 : 0;
  s.Port = ini.ReadInt(kGeneral, QStringLiteral("Port"), 1);
  s.LastComPort = s.Port;
  s.AutoPort = (s.OperationMode == 0 && s.Port == -1) ? 1 : 0;
  s.PreReadImeiCount = ini.ReadInt(kGeneral, QStringLiteral("PreReadImeiCount"), 0);
  s.IMEI1Enabled = ini.ReadInt(kGeneral, QStringLiteral("IMEI1"), 0);
  s.IMEI2Enabled = ini.ReadInt(kGeneral, QStringLiteral("IMEI2"), 0);
  s.IMEI3Enabled = ini.ReadInt(kGeneral, QStringLiteral("IMEI3"), 0);
  s.IMEI4Enabled = ini.ReadInt(kGeneral, QStringLiteral("IMEI4"), 0);
  s.IMEI1GenMode = ini.ReadInt(kGeneral, QStringLiteral("IMEI1GenMode"), 0);
  s.IMEI2GenMode = ini.ReadInt(kGeneral, QStringLiteral("IMEI2GenMode"), 0);
  s.IMEI3GenMode = ini.ReadInt(kGeneral, QStringLiteral("IMEI3GenMode"), 0);
  s.IMEI4GenMode = ini.ReadInt(kGeneral, QStringLiteral("IMEI4GenMode"), 0);
  s.AutoCreateIMEI = ini.ReadInt(kGeneral, QStringLiteral("AutoCreateIMEI"), 0);
  s.UseSameIMEI = ini.ReadInt(kGeneral, QStringLiteral("UseSameIMEI"), 0);
  s.Stagemark = ini.ReadInt(kGeneral, QStringLiteral("Stagemark"), 0);
  s.BT_ADDR = ini.ReadInt(kGeneral, QStringLiteral("BT_ADDR"), 0);
  s.AutoGenerateBT_ADDR = ini.ReadInt(kGeneral, QStringLiteral("AutoGenerateBT_ADDR"), 0);
  s.WIFI_ADDR = ini.ReadInt(kGeneral, QStringLiteral("WIFI_ADDR"), 0);
  s.AutoWIFI_ADDR = ini.ReadInt(kGeneral, QStringLiteral("AutoWIFI_ADDR"), 0);
  s.EntrerModeWait = ini.ReadInt(kGeneral, QStringLiteral("EntrerModeWait"), 100);
  s.Timeout = ini.ReadInt(kGeneral, QStringLiteral("Timeout"), 40000);
  s.WriteTime = ini.ReadInt(kGeneral, QStringLiteral("WriteTime"), 10000);
  s.WriteTimeCheck = ini.ReadInt(kGeneral, QStringLiteral("WriteTimeCheck"), 0);
  s.PhaseIndex = ini.ReadInt(kGeneral, QStringLiteral("PhaseIndex"), 1);
  s.UserPrivilege = ini.ReadInt(kControl, QStringLiteral("User Privilege"), 0);
  s.TESTMODE = ini.ReadInt(kControl, QStringLiteral("TESTMODE"), 0);
  s.CheckValid = ini.ReadInt(kGeneral, QStringLiteral("CheckValid"), 0);
  s.SaveIMEI = ini.ReadInt(kGeneral, QStringLiteral("SaveIMEI"), 0);
  s.SaveToTxt = ini.ReadInt(kGeneral, QStringLiteral("SaveToTxt"), 0);
  s.CheckRepeat = ini.ReadInt(kGeneral, QStringLiteral("CheckRepeat"), 0);
  s.TavixNew = ini.ReadInt(kControl, QStringLiteral("TavixNew"), 0);
  s.UseAMV = ini.ReadInt(kAmpvane, QStringLiteral("UseAMV"), 0);
  const int dcType = ini.ReadInt(kAmpvane, QStringLiteral("DCType"), 1);
  const int dcGpibNo = ini.ReadInt(kAmpvane, QStringLiteral("DCGpibNo"), 0);
  const int dcGpibAddr = ini.ReadInt(kAmpvane, QStringLiteral("DCGpibAddr"), 5);
  s.TestCounts = ini.ReadInt(kAmpvane, QStringLiteral("TestCounts"), 1);
  const QString voltage =
      ini.ReadString(kAmpvane, QStringLiteral("Voltage"), QStringLiteral("4.0"), kRealChars);
  s.Voltage = ParseRealPrefix(ToLocal8BitLimited(voltage, kRealBytes), 4.0F);
  s.CurrentStationName =
      ToLocal8BitLimited(ini.ReadString(kGeneral, QStringLiteral("CurrentStationName"),
                                        QStringLiteral("IMEI"), kStationNameChars),
                         kStationNameBytes);
  s.CheckStationName =
      ToLocal8BitLimited(ini.ReadString(kGeneral, QStringLiteral("CheckStationName"),
                                        QStringLiteral("NULL"), kStationNameChars),
                         kStationNameBytes);
  s.CheckVer = ini.ReadInt(kPhone, QStringLiteral("CheckVer"), 0);
  s.VerLengthLowerLimit = ini.ReadInt(kPhone, QStringLiteral("Ver Length LowerLimit"), 1);
  s.Version =
      ini.ReadString(kPhone, QStringLiteral("Version"), QStringLiteral("1.0"), kShortTextChars);

  // 3. The expected version must be longer than its lower limit.
  if (s.CheckVer != 0 && s.VerLengthLowerLimit >= s.Version.size()) {
    Show(context, resources::FormatString(kMessageVersionLength, {s.VerLengthLowerLimit}));
    s.CheckVer = 0;
  }

  // 4. Forced rules.
  if (s.IMEI1Enabled == 0) {
    s.IMEI2Enabled = 0;
    s.IMEI3Enabled = 0;
    s.IMEI4Enabled = 0;
    s.AutoCreateIMEI = 0;
    s.UseSameIMEI = 0;
  }
  if (s.BT_ADDR == 0) s.AutoGenerateBT_ADDR = 0;
  if (s.TavixNew == 0) s.Stagemark = 0;

  // 5. Base IMEI and Wi-Fi prefix.
  s.DefaultIMEI = ini.ReadString(kGeneral, QStringLiteral("DefaultIMEI"),
                                 QStringLiteral("12345678901235"), kShortTextChars)
                      .left(kImeiBodyChars);
  s.ForeWIFI = ini.ReadString(kGeneral, QStringLiteral("ForeWIFI"), QStringLiteral("00037F"),
                              kShortTextChars)
                   .left(kForeWifiChars);

  // 6. Address ranges.
  const QString defaultStart = QStringLiteral("010203040506");
  const QString defaultEnd = QStringLiteral("010203040508");
  s.AutoGenerateBTAddrType = ini.ReadInt(kGeneral, QStringLiteral("AutoGenerateBTAddrType"), 0);
  s.InitialAddrForBT = AddressText(ini, QStringLiteral("InitialAddrForBT"), defaultStart);
  s.InitialBTValue = ParseHexAddress(s.InitialAddrForBT, 12);
  s.AutoGenerateWifiMacType = ini.ReadInt(kGeneral, QStringLiteral("AutoGenerateWifiMacType"), 0);
  s.InitialAddrForWIFI = AddressText(ini, QStringLiteral("InitialAddrForWIFI"), defaultStart);
  s.InitialWIFIValue = ParseHexAddress(s.InitialAddrForWIFI, 12);
  s.EndAddrForBT = AddressText(ini, QStringLiteral("EndAddrForBT"), defaultEnd);
  s.EndBTValue = ParseHexAddress(s.EndAddrForBT, 12);
  s.EndAddrForWIFI = AddressText(ini, QStringLiteral("EndAddrForWIFI"), defaultEnd);
  s.EndWIFIValue = ParseHexAddress(s.EndAddrForWIFI, 12);

  // 7. Time-mode ranges (the texts stay as read).
  if (s.AutoGenerateWifiMacType == 0) {
    s.InitialWIFIValue = ParseHexAddress(s.ForeWIFI + QStringLiteral("000000"), 12);
    s.EndWIFIValue = ParseHexAddress(s.ForeWIFI + QStringLiteral("FFFFFF"), 12);
  }
  if (s.AutoGenerateBTAddrType == 0)
    s.EndBTValue = ParseHexAddress(QStringLiteral("FFFFFFFFFFFF"), 12);

  // 8. Serial numbers.
  s.WriteSN = ini.ReadInt(kGeneral, QStringLiteral("WriteSN"), 0);
  if (s.WriteSN != 0) {
    s.SN1Enabled = ini.ReadInt(kGeneral, QStringLiteral("SN1"), 0);
    s.SN2Enabled = ini.ReadInt(kGeneral, QStringLiteral("SN2"), 0);
    s.AutoCreateSN1 = ini.ReadInt(kGeneral, QStringLiteral("AutoCreateSN1"), 0);
    s.AutoCreateSN2 = ini.ReadInt(kGeneral, QStringLiteral("AutoCreateSN2"), 0);
    s.SNLength = std::clamp(ini.ReadInt(kGeneral, QStringLiteral("SN Length"), 8), 8, 24);
  }

  // 9. Display.
  s.DisplayLabFontSize1 = ini.ReadInt(kOther, QStringLiteral("DisplayLab font size1"), 20);
  s.DisplayLabFontSize2 = ini.ReadInt(kOther, QStringLiteral("DisplayLab font size2"), 20);
  s.CheckIMEIAfterRead = ini.ReadInt(kGeneral, QStringLiteral("CheckIMEIAfterRead"), 0);

  // 10. Power source.
  if (s.UseAMV != 0 && s.OperationMode == 0) {
    device::ampvane::PowerSource* source = nullptr;
    if (OpenPowerSource(context, dcType, dcGpibNo, dcGpibAddr, &source)) {
      if (powerSource != nullptr) {
        *powerSource = source;
      } else {
        source->Release();
      }
    } else {
      Show(context, QStringLiteral("找不到电源，关闭电源控制!"));
      s.UseAMV = 0;
    }
  }

  // 11. Typed-address formats, address files.
  s.CheckBTValid = ReadFlag(ini, kGeneral, QStringLiteral("Check BT Valid"), 0) ? 1 : 0;
  s.BTAddrFormat =
      ini.ReadString(kGeneral, QStringLiteral("BT   Addr. Format"), QString(), kFormatChars);
  s.CheckWIFIValid = ReadFlag(ini, kGeneral, QStringLiteral("Check WIFI Valid"), 0) ? 1 : 0;
  s.WIFIAddrFormat =
      ini.ReadString(kGeneral, QStringLiteral("WIFI Addr. Format"), QString(), kFormatChars);
  s.ManualAssignBTAddr =
      ReadFlag(ini, kCustomization, QStringLiteral("Manual Assign BT Addr"), 0) ? 1 : 0;
  s.BTAddrFilePath =
      ini.ReadString(kCustomization, QStringLiteral("BT Addr File Path"), QString(), kPathChars);
  s.ManualAssignWIFIAddr =
      ReadFlag(ini, kCustomization, QStringLiteral("Manual Assign WIFI Addr"), 0) ? 1 : 0;
  s.WIFIAddrFilePath =
      ini.ReadString(kCustomization, QStringLiteral("WIFI Addr File Path"), QString(), kPathChars);
  if (((s.BT_ADDR != 0 && s.ManualAssignBTAddr != 0) ||
       (s.WIFI_ADDR != 0 && s.ManualAssignWIFIAddr != 0)) &&
      context.loadAddressFiles) {
    context.loadAddressFiles(s);
  }

  // 12. Application-processor version.
  s.CheckAPVersion = ReadFlag(ini, kGeneral, QStringLiteral("CheckAPVersion"), 0) ? 1 : 0;
  if (s.CheckAPVersion != 0) {
    s.APVersion = ini.ReadString(kGeneral, QStringLiteral("APVersion"), QString(), kApVersionChars);
  }

  // 13. Mode switching.
  s.RebootDUT = ReadFlag(ini, kControl, QStringLiteral("RebootDUT"), 1) ? 1 : 0;
  s.DUTPort = ini.ReadInt(kControl, QStringLiteral("DUTPort"), 0);
  if (s.DUTPort < 1) s.DUTPort = -1;
  s.OperateCURef = ReadFlag(ini, kControl, QStringLiteral("Operate CURef"), 0) ? 1 : 0;

  // 14. AT commands.
  s.WATCmd = ini.ReadString(kControl, QStringLiteral("WATCmd"), QString(), kAtCommandChars);
  s.WATCmdList = SplitAtCommands(s.WATCmd);

  // 15. The rest.
  s.SendATCmd = ReadFlag(ini, kControl, QStringLiteral("SendATCmd"), 0) ? 1 : 0;
  s.WaitForAPTime = ini.ReadInt(kGeneral, QStringLiteral("WaitForAPTime"), 7);
  s.SecureBoot = ReadFlag(ini, kGeneral, QStringLiteral("SecureBoot"), 0) ? 1 : 0;
  s.EnableSecure = ReadFlag(ini, kGeneral, QStringLiteral("EnableSecure"), 0) ? 1 : 0;
  s.Quarl = ReadFlag(ini, kGeneral, QStringLiteral("Quarl"), 0) ? 1 : 0;
  s.PowerOff = ReadFlag(ini, kGeneral, QStringLiteral("Power Off"), 0) ? 1 : 0;
  s.APMode = ReadFlag(ini, kGeneral, QStringLiteral("AP Mode"), 0) ? 1 : 0;
  s.ReadBack = ReadFlag(ini, kGeneral, QStringLiteral("ReadBack"), 1) ? 1 : 0;

  // 16. The line database (never written by the save).
  s.LineDatabase =
      ini.ReadString(kLine, QStringLiteral("Database"), QString(), kLineDatabaseChars).trimmed();
  s.LineStation =
      ini.ReadString(kLine, QStringLiteral("Station"), QString(), kLineStationChars).trimmed();
  if (s.LineStation.isEmpty()) {
    s.LineStation = QString::fromLocal8Bit(s.CurrentStationName) + QLatin1Char('@') +
                    QSysInfo::machineHostName();
  }
  s.LineImeiBlock = std::clamp(ini.ReadInt(kLine, QStringLiteral("ImeiBlock"), 20),
                               kLineImeiBlockMin, kLineImeiBlockMax);
  s.LineAddressBlock = std::clamp(ini.ReadInt(kLine, QStringLiteral("AddressBlock"), 20), 1,
                                  kLineImeiBlockMax);
  s.LineOfflinePhones = ini.ReadInt(kLine, QStringLiteral("OfflinePhones"), -1);
  if (s.LineOfflinePhones < 0) s.LineOfflinePhones = -1;

  // 17. What the operator hears, and the label (never written by the save).
  s.Sound = ReadFlag(ini, kOperator, QStringLiteral("Sound"), 1) ? 1 : 0;
  s.SoundVolume = std::clamp(ini.ReadInt(kOperator, QStringLiteral("SoundVolume"), 100), 0, 100);
  s.LabelPrint = ReadFlag(ini, kLabel, QStringLiteral("Print"), 0) ? 1 : 0;
  s.LabelPrinter =
      ini.ReadString(kLabel, QStringLiteral("Printer"), QString(), kShortTextChars).trimmed();
  s.LabelTemplate =
      ini.ReadString(kLabel, QStringLiteral("Template"), QString(), kPathChars).trimmed();
  s.LabelCopies = std::clamp(ini.ReadInt(kLabel, QStringLiteral("Copies"), 1), 1, kLabelCopiesMax);
  return s;
}

bool SaveSettings(const StationSettings& s, const QString& path, std::uint64_t imeiBase,
                  QString* error) {
  std::vector<IniFile::Entry> e;
  auto put = [&e](const QString& section, const char* key, const QString& value) {
    e.push_back({section, QString::fromLatin1(key), value});
  };
  auto num = [&put](const QString& section, const char* key, int value) {
    put(section, key, QString::number(value));
  };

  const int port = s.OperationMode != 0 ? s.Port : (s.AutoPort != 0 ? -1 : s.Port);
  num(kGeneral, "Operation Mode", s.OperationMode);
  num(kGeneral, "Disable AutoUSB", s.DisableAutoUSB);
  num(kGeneral, "Port", port);
  num(kGeneral, "IMEI1", s.IMEI1Enabled);
  num(kGeneral, "IMEI2", s.IMEI2Enabled);
  num(kGeneral, "IMEI3", s.IMEI3Enabled);
  num(kGeneral, "IMEI4", s.IMEI4Enabled);
  num(kGeneral, "BT_ADDR", s.BT_ADDR);
  num(kGeneral, "AutoGenerateBT_ADDR", s.AutoGenerateBT_ADDR);
  num(kGeneral, "WIFI_ADDR", s.WIFI_ADDR);
  num(kGeneral, "AutoWIFI_ADDR", s.AutoWIFI_ADDR);
  num(kGeneral, "AutoCreateIMEI", s.AutoCreateIMEI);
  num(kGeneral, "UseSameIMEI", s.UseSameIMEI);
  num(kGeneral, "Stagemark", s.Stagemark);
  put(kGeneral, "DefaultIMEI",
      QStringLiteral("%1").arg(static_cast<qulonglong>(imeiBase), 14, 10, QLatin1Char('0')));
  num(kGeneral, "SaveIMEI", s.SaveIMEI);
  num(kGeneral, "SaveToTxt", s.SaveToTxt);
  num(kGeneral, "CheckValid", s.CheckValid);
  num(kGeneral, "CheckRepeat", s.CheckRepeat);
  put(kPhone, "Version", s.Version);
  num(kPhone, "CheckVer", s.CheckVer);
  num(kPhone, "Ver Length LowerLimit", s.VerLengthLowerLimit);
  num(kGeneral, "IMEI1GenMode", s.IMEI1GenMode);
  num(kGeneral, "IMEI2GenMode", s.IMEI2GenMode);
  num(kGeneral, "IMEI3GenMode", s.IMEI3GenMode);
  num(kGeneral, "IMEI4GenMode", s.IMEI4GenMode);
  num(kGeneral, "AutoGenerateBTAddrType", s.AutoGenerateBTAddrType);
  put(kGeneral, "InitialAddrForBT", s.InitialAddrForBT);
  put(kGeneral, "EndAddrForBT", s.EndAddrForBT);
  num(kGeneral, "AutoGenerateWifiMacType", s.AutoGenerateWifiMacType);
  put(kGeneral, "InitialAddrForWIFI", s.InitialAddrForWIFI);
  put(kGeneral, "EndAddrForWIFI", s.EndAddrForWIFI);
  num(kGeneral, "WriteSN", s.WriteSN);
  num(kGeneral, "SN1", s.SN1Enabled);
  num(kGeneral, "AutoCreateSN1", s.AutoCreateSN1);
  num(kGeneral, "SN2", s.SN2Enabled);
  num(kGeneral, "AutoCreateSN2", s.AutoCreateSN2);
  put(kCustomization, "BT Addr File Path", s.BTAddrFilePath);
  put(kCustomization, "WIFI Addr File Path", s.WIFIAddrFilePath);
  num(kGeneral, "CheckAPVersion", s.CheckAPVersion);
  put(kGeneral, "APVersion", s.APVersion);
  num(kControl, "RebootDUT", s.RebootDUT);
  num(kControl, "SendATCmd", s.RebootDUT != 0 ? 0 : s.SendATCmd);
  num(kGeneral, "SecureBoot", s.SecureBoot);
  num(kGeneral, "EnableSecure", s.EnableSecure);
  num(kGeneral, "Quarl", s.Quarl);
  num(kGeneral, "Power Off", s.PowerOff);
  num(kGeneral, "AP Mode", s.APMode);

  IniFile ini(path);
  const bool written = ini.WriteStrings(e);
  if (!written && error != nullptr) {
    *error = ini.LastError().isEmpty() ? QStringLiteral("a value would break the file's lines")
                                       : ini.LastError();
  }
  return written;
}

}  // namespace kestrel::config
