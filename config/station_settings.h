// The station's settings record: every value of Kestrel.ini the station uses, plus the
// values derived from them at load. Fields are named after their ini keys (blanks and dots
// dropped); the IMEI and SN slot switches carry "Enabled".
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace kestrel::config {

// Virtual-key codes of the scanner's terminating keys.
constexpr int kKeyEnter = 13;
constexpr int kKeySpace = 32;

struct StationSettings {
  // General, Control and AMPVANE keys, in the order the load reads them.
  int OperationMode = 0;  // 1 normal mode, 0 calibration mode
  int DisableAutoUSB = 0;
  int Port = -1;
  int PreReadImeiCount = 0;
  int IMEI1Enabled = 0;
  int IMEI2Enabled = 0;
  int IMEI3Enabled = 0;
  int IMEI4Enabled = 0;
  int IMEI1GenMode = 0;  // 0 typed, 1 from the base IMEI, 2 previous IMEI + 1
  int IMEI2GenMode = 0;
  int IMEI3GenMode = 0;
  int IMEI4GenMode = 0;
  int AutoCreateIMEI = 0;
  int UseSameIMEI = 0;
  int Stagemark = 0;
  int BT_ADDR = 0;
  int AutoGenerateBT_ADDR = 0;
  int WIFI_ADDR = 0;
  int AutoWIFI_ADDR = 0;
  int EntrerModeWait = 0;  // ms
  int Timeout = 0;         // ms
  int WriteTime = 0;       // ms
  int WriteTimeCheck = 0;
  int PhaseIndex = 0;
  int UserPrivilege = 0;
  int TESTMODE = 0;
  int CheckValid = 0;
  int SaveIMEI = 0;
  int SaveToTxt = 0;
  int CheckRepeat = 0;
  int TavixNew = 0;
  int UseAMV = 0;
  int TestCounts = 0;
  float Voltage = 4.0F;
  QByteArray CurrentStationName;  // 8-bit, at most 199 bytes
  QByteArray CheckStationName;    // 8-bit, at most 199 bytes
  int CheckVer = 0;
  int VerLengthLowerLimit = 0;
  QString Version;
  QString DefaultIMEI;  // 14-digit body of the next generated IMEI, as read
  QString ForeWIFI;     // required first 6 hex digits of a Wi-Fi address
  int AutoGenerateBTAddrType = 0;
  QString InitialAddrForBT;
  int AutoGenerateWifiMacType = 0;
  QString InitialAddrForWIFI;
  QString EndAddrForBT;
  QString EndAddrForWIFI;
  int WriteSN = 0;
  int SN1Enabled = 0;
  int SN2Enabled = 0;
  int AutoCreateSN1 = 0;
  int AutoCreateSN2 = 0;
  int SNLength = 14;
  int DisplayLabFontSize1 = 0;
  int DisplayLabFontSize2 = 0;
  int CheckIMEIAfterRead = 0;
  int CheckBTValid = 0;
  QString BTAddrFormat;
  int CheckWIFIValid = 0;
  QString WIFIAddrFormat;
  int ManualAssignBTAddr = 0;
  QString BTAddrFilePath;
  int ManualAssignWIFIAddr = 0;
  QString WIFIAddrFilePath;
  int CheckAPVersion = 0;
  QString APVersion;
  int RebootDUT = 1;
  int DUTPort = -1;
  int OperateCURef = 0;
  QString WATCmd;
  int SendATCmd = 0;
  int WaitForAPTime = 7;  // s
  int SecureBoot = 0;
  int EnableSecure = 0;
  int Quarl = 0;
  int PowerOff = 0;
  int APMode = 0;
  int ReadBack = 0;

  // [LINE]: the line database, one record for every station of a line (line/).
  QString LineDatabase;  // Database: libpq connection URI; empty = no line database
  QString LineStation;   // Station: this station's name in the line (default CurrentStationName@host)
  int LineImeiBlock = 20;  // ImeiBlock: IMEI bodies claimed from the line's range at a time
  int LineAddressBlock = 20;  // AddressBlock: addresses of a kind claimed at a time
  // OfflinePhones: jobs written while the line does not answer, before the station refuses;
  // -1 (the default) as many as its blocks hold, 0 none.
  int LineOfflinePhones = -1;

  // [OPERATOR]: what the operator hears.
  int Sound = 1;          // Sound: a pass and a fail sound on every verdict (1) or none (0)
  int SoundVolume = 100;  // SoundVolume: 0..100

  // [LABEL]: the IMEI label printed when a phone passes (label/).
  int LabelPrint = 0;     // Print: 1 prints a label for every passed write job
  QString LabelPrinter;   // Printer: a CUPS queue; empty: the default printer
  QString LabelTemplate;  // Template: a file in the station folder; empty: the shipped default
  int LabelCopies = 1;    // Copies: 1..99

  // Not in the file: set by the Settings dialog.
  int QuarlVariant = 0;

  // Derived at load.
  int WriteKey = kKeyEnter;
  int ReadKey = kKeySpace;
  int LastComPort = -1;
  int AutoPort = 0;
  std::uint64_t InitialBTValue = 0;
  std::uint64_t EndBTValue = 0;
  std::uint64_t InitialWIFIValue = 0;
  std::uint64_t EndWIFIValue = 0;
  QStringList WATCmdList;

  // IMEI slot 1..4 (any other slot: IMEI1).
  int ImeiSlotEnabled(int slot) const {
    const int v[] = {IMEI1Enabled, IMEI2Enabled, IMEI3Enabled, IMEI4Enabled};
    return v[slot >= 1 && slot <= 4 ? slot - 1 : 0];
  }
  int ImeiSlotGenMode(int slot) const {
    const int v[] = {IMEI1GenMode, IMEI2GenMode, IMEI3GenMode, IMEI4GenMode};
    return v[slot >= 1 && slot <= 4 ? slot - 1 : 0];
  }
  bool AnyImeiEnabled() const {
    return IMEI1Enabled || IMEI2Enabled || IMEI3Enabled || IMEI4Enabled;
  }
  // Any identity of the identity record (IMEIs, Bluetooth, Wi-Fi) is written or read.
  bool AnyRecordItemEnabled() const { return AnyImeiEnabled() || BT_ADDR || WIFI_ADDR; }

  bool operator==(const StationSettings&) const = default;
};

}  // namespace kestrel::config
