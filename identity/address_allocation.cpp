#include "identity/address_allocation.h"

#include "config/ini_file.h"
#include "config/settings_load.h"
#include "identity/number_text.h"
#include "resources/string_table.h"

#include <cstdint>

namespace kestrel::identity {

namespace {

constexpr int kAddressDigits = 12;

// Message-box texts of the address files.
const char16_t kBtConfigInvalid[] = u"当前蓝牙地址配置不正确，请重新选择正确的蓝牙地址文件!";
const char16_t kWifiConfigInvalid[] = u"当前WIFI地址配置不正确，请重新选择正确的WIFI地址文件!";
const char16_t kBtBelowStart[] =
    u"当前蓝牙地址已小于设定的起始地址，点击确定将当前地址置为开始地址。";
const char16_t kWifiBelowStart[] =
    u"当前WIFI地址已小于设定的起始地址，点击确定将当前地址置为开始地址。";
const char16_t kBtAboveEnd[] =
    u"当前蓝牙地址已大于设定的结束地址，点击确定将当前地址置为开始地址。";
const char16_t kWifiAboveEnd[] =
    u"当前WIFI地址已大于设定的结束地址，点击确定将当前地址置为开始地址。";

constexpr int kMsgWifiFirstByteOdd = 146;
constexpr int kMsgWifiPrefix = 147;
constexpr int kMsgBtExhausted = 177;
constexpr int kMsgWifiExhausted = 178;

// Everything that differs between the Bluetooth and the Wi-Fi file.
struct FileKind {
  QString section;
  QString path;
  AddressFileTexts* texts;
  const char16_t* configInvalid;
  const char16_t* belowStart;
  const char16_t* aboveEnd;
};

FileKind Bluetooth(const config::StationSettings& s, AddressFileState& state) {
  return {QStringLiteral("BT Address"),
          s.BTAddrFilePath,
          &state.BT,
          kBtConfigInvalid,
          kBtBelowStart,
          kBtAboveEnd};
}

FileKind Wifi(const config::StationSettings& s, AddressFileState& state) {
  return {QStringLiteral("WIFI Address"),
          s.WIFIAddrFilePath,
          &state.WIFI,
          kWifiConfigInvalid,
          kWifiBelowStart,
          kWifiAboveEnd};
}

const QString kStartKey = QStringLiteral("Start Address");
const QString kCurrentKey = QStringLiteral("Current Address");
const QString kEndKey = QStringLiteral("End Address");

std::uint64_t Value(const QString& text) {
  return config::ParseHexAddress(text, kAddressDigits);
}

QString Hex12(std::uint64_t value, bool upper) {
  QString text = QStringLiteral("%1").arg(static_cast<qulonglong>(value), kAddressDigits, 16,
                                          QLatin1Char('0'));
  return upper ? text.toUpper() : text.toLower();
}

void WriteCurrent(const FileKind& kind) {
  // A failed write leaves the old file whole; the position in memory is still the new one.
  config::IniFile(kind.path).WriteString(kind.section, kCurrentKey, kind.texts->Current);
}

// Reads one file into its texts; true when its range is valid.
bool LoadOne(const FileKind& kind) {
  const config::IniFile ini(kind.path);
  AddressFileTexts& t = *kind.texts;
  t.Start = ini.ReadString(kind.section, kStartKey, QString(), kAddressDigits);
  t.Current = ini.ReadString(kind.section, kCurrentKey, QString(), kAddressDigits);
  t.End = ini.ReadString(kind.section, kEndKey, QString(), kAddressDigits);
  const std::uint64_t s = Value(t.Start);
  const std::uint64_t c = Value(t.Current);
  const std::uint64_t e = Value(t.End);
  return s < e && s <= c && c <= e;
}

// The pre-job position check of one file; false when Current was reset to Start.
bool CheckOne(const FileKind& kind, config::MessageSink& messages) {
  AddressFileTexts& t = *kind.texts;
  const std::uint64_t s = Value(t.Start);
  const std::uint64_t c = Value(t.Current);
  const std::uint64_t e = Value(t.End);
  if (c >= s && c <= e) return true;
  messages.ShowMessage(QString::fromUtf16(c < s ? kind.belowStart : kind.aboveEnd));
  t.Current = Hex12(s, true);
  WriteCurrent(kind);
  return false;
}

// The file position after a job.
void AdvanceOne(const FileKind& kind, config::MessageSink& messages) {
  AddressFileTexts& t = *kind.texts;
  const std::uint64_t s = Value(t.Start);
  const std::uint64_t e = Value(t.End);
  std::uint64_t c = Value(t.Current) + 1U;
  if (c < s) {
    c = s;
  } else if (c > e) {
    c = s;
    messages.ShowMessage(QString::fromUtf16(kind.aboveEnd));
  }
  t.Current = Hex12(c, true);
  WriteCurrent(kind);
}

void FailExhausted(int messageId, OutcomeReporter& reporter) {
  reporter.SetResultText(resources::LoadString(messageId));
  reporter.ShowResult(ResultState::Fail);
  reporter.RecordOutcome(false);
}

bool IsHexDigit(char16_t u) {
  return (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
}

unsigned HexDigitValue(char16_t u) {
  if (u <= u'9') return static_cast<unsigned>(u - u'0');
  if (u <= u'F') return static_cast<unsigned>(u - u'A' + 10);
  return static_cast<unsigned>(u - u'a' + 10);
}

}  // namespace

bool BluetoothFromFile(const config::StationSettings& s) {
  return s.BT_ADDR != 0 && s.ManualAssignBTAddr != 0;
}

bool WifiFromFile(const config::StationSettings& s) {
  return s.WIFI_ADDR != 0 && s.ManualAssignWIFIAddr != 0;
}

bool AddressFilesAssigned(const config::StationSettings& s) {
  return BluetoothFromFile(s) || WifiFromFile(s);
}

QString TimeBluetoothAddress(const IdentityClock& clock, RandomGenerator& random) {
  random.Seed(static_cast<unsigned>(clock.SecondsSinceEpoch()));
  const unsigned r = static_cast<unsigned>(random.Draw());
  const LocalDateTime now = clock.LocalNow();
  auto two = [](int v) { return DecimalPadded(static_cast<std::uint64_t>(v < 0 ? 0 : v), 2); };
  return DecimalPadded(r % 10000U, 4) + two(now.day) + two(now.hour) + two(now.minute) +
         two(now.second);
}

QString RandomWifiAddress(const QString& foreWifi, const IdentityClock& clock,
                          RandomGenerator& random) {
  random.Seed(static_cast<unsigned>(clock.SecondsSinceEpoch()));
  const std::uint32_t t = clock.TickCountMs();
  const unsigned r1 = static_cast<unsigned>(random.Draw());
  const unsigned r2 = static_cast<unsigned>(random.Draw());
  const unsigned r3 = static_cast<unsigned>(random.Draw());
  return foreWifi + DecimalPadded(r3 % 99U, 2) + DecimalPadded(t % 99U, 2) +
         QString::number(r2 % 16U, 16) + QString::number(r1 % 16U, 16);
}

bool LoadAddressFiles(const config::StationSettings& settings, AddressFileState& state,
                      config::MessageSink& messages) {
  state.BT = AddressFileTexts{};
  state.WIFI = AddressFileTexts{};
  const FileKind kinds[] = {Bluetooth(settings, state), Wifi(settings, state)};
  const bool assigned[] = {BluetoothFromFile(settings), WifiFromFile(settings)};
  for (int i = 0; i < 2; ++i) {
    if (!assigned[i] || LoadOne(kinds[i])) continue;
    messages.ShowMessage(QString::fromUtf16(kinds[i].configInvalid));
    state.AddressConfigValid = 0;
    return false;
  }
  state.AddressConfigValid = 1;
  return true;
}

QString CurrentFileAddress(const AddressFileState& state, AddressKind kind) {
  return kind == AddressKind::Bluetooth ? state.BT.Current : state.WIFI.Current;
}

bool CheckWifiPrefix(const config::StationSettings& settings, const QString& wifiText,
                     OutcomeReporter& reporter) {
  const bool applies = settings.WIFI_ADDR != 0 && settings.ManualAssignWIFIAddr == 0 &&
                       (settings.AutoWIFI_ADDR != 0 || settings.CheckWIFIValid == 0 ||
                        settings.WIFIAddrFormat.isEmpty());
  if (!applies) return true;

  unsigned firstByte = 0;
  for (const QChar c : QStringView(wifiText).left(2)) {
    if (!IsHexDigit(c.unicode())) break;
    firstByte = firstByte * 16U + HexDigitValue(c.unicode());
  }
  if (firstByte % 2U != 0) {
    reporter.SetResultText(resources::LoadString(kMsgWifiFirstByteOdd));
    return false;
  }
  if (wifiText.left(6).compare(settings.ForeWIFI.left(6), Qt::CaseInsensitive) != 0) {
    reporter.SetResultText(resources::LoadString(kMsgWifiPrefix));
    return false;
  }
  return true;
}

bool CheckAddressFilePositions(const config::StationSettings& settings, AddressFileState& state,
                               config::MessageSink& messages) {
  if (BluetoothFromFile(settings) && !CheckOne(Bluetooth(settings, state), messages)) return false;
  if (WifiFromFile(settings) && !CheckOne(Wifi(settings, state), messages)) return false;
  return true;
}

bool AdvanceAddresses(config::StationSettings& settings, AddressFileState& state,
                      config::MessageSink& messages, OutcomeReporter& reporter) {
  if (BluetoothFromFile(settings)) {
    AdvanceOne(Bluetooth(settings, state), messages);
  } else if (settings.BT_ADDR != 0 && settings.AutoGenerateBT_ADDR != 0 &&
             settings.AutoGenerateBTAddrType != 0) {
    const std::uint64_t v = Value(settings.InitialAddrForBT);
    if (v > settings.EndBTValue) {
      FailExhausted(kMsgBtExhausted, reporter);
      return false;
    }
    settings.InitialAddrForBT = Hex12(v + 1U, false);
  }

  if (WifiFromFile(settings)) {
    AdvanceOne(Wifi(settings, state), messages);
  } else if (settings.WIFI_ADDR != 0 && settings.AutoWIFI_ADDR != 0) {
    std::uint64_t v = Value(settings.InitialAddrForWIFI);
    if (v <= settings.EndWIFIValue) {
      ++v;
    } else if (settings.AutoGenerateWifiMacType != 0) {
      FailExhausted(kMsgWifiExhausted, reporter);
      return false;
    } else {
      v = settings.InitialWIFIValue;
    }
    settings.InitialAddrForWIFI = Hex12(v, false);
  }
  return true;
}

}  // namespace kestrel::identity
