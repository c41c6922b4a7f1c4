// kestrel-cli settings [--station-dir DIR] [--save]: Kestrel.ini of the station folder as the
// station loads it, one "Field=value" line per StationSettings field in the order of the key
// table, then the derived fields. Messages the load would show in boxes go to standard error
// as "message: TEXT". --save then writes the file back as the station does at close.
//
// The load runs with what the station gives it: the power-source factory (so with UseAMV on
// in calibration mode the instrument of the station folder's map is opened, and released
// again) and the address-file check. The save writes the IMEI base that a station closing
// right after its start would write.
#include "config/message_sink.h"
#include "config/settings_load.h"
#include "config/station_folder.h"
#include "device/ampvane/ampvane.h"
#include "identity/address_allocation.h"
#include "identity/identity_set.h"
#include "identity/imei.h"
#include "line/line_uri.h"
#include "tools/cli/cli_commands.h"
#include "tools/cli/cli_support.h"

#include <QDir>

#include <cstdint>
#include <cstdio>

namespace kestrel::cli {
namespace {

void Line(const char* field, const QByteArray& value) {
  std::fputs(field, stdout);
  std::fputc('=', stdout);
  std::fwrite(value.constData(), 1, static_cast<std::size_t>(value.size()), stdout);
  std::fputc('\n', stdout);
}
void Line(const char* field, int value) {
  Line(field, QByteArray::number(value));
}
void Line(const char* field, const QString& value) {
  Line(field, value.toLocal8Bit());
}
void Address(const char* field, std::uint64_t value) {
  Line(field,
       QByteArray::number(static_cast<qulonglong>(value), 16).toUpper().rightJustified(12, '0'));
}

void Print(const config::StationSettings& s) {
#define FIELD(name) Line(#name, s.name)
  FIELD(OperationMode);
  FIELD(DisableAutoUSB);
  FIELD(Port);
  FIELD(PreReadImeiCount);
  FIELD(IMEI1Enabled);
  FIELD(IMEI2Enabled);
  FIELD(IMEI3Enabled);
  FIELD(IMEI4Enabled);
  FIELD(IMEI1GenMode);
  FIELD(IMEI2GenMode);
  FIELD(IMEI3GenMode);
  FIELD(IMEI4GenMode);
  FIELD(AutoCreateIMEI);
  FIELD(UseSameIMEI);
  FIELD(Stagemark);
  FIELD(BT_ADDR);
  FIELD(AutoGenerateBT_ADDR);
  FIELD(WIFI_ADDR);
  FIELD(AutoWIFI_ADDR);
  FIELD(EntrerModeWait);
  FIELD(Timeout);
  FIELD(WriteTime);
  FIELD(WriteTimeCheck);
  FIELD(PhaseIndex);
  FIELD(UserPrivilege);
  FIELD(TESTMODE);
  FIELD(CheckValid);
  FIELD(SaveIMEI);
  FIELD(SaveToTxt);
  FIELD(CheckRepeat);
  FIELD(TavixNew);
  FIELD(UseAMV);
  FIELD(TestCounts);
  char real[64];
  std::snprintf(real, sizeof real, "%g", static_cast<double>(s.Voltage));
  Line("Voltage", QByteArray(real));
  FIELD(CurrentStationName);
  FIELD(CheckStationName);
  FIELD(CheckVer);
  FIELD(VerLengthLowerLimit);
  FIELD(Version);
  FIELD(DefaultIMEI);
  FIELD(ForeWIFI);
  FIELD(AutoGenerateBTAddrType);
  FIELD(InitialAddrForBT);
  FIELD(AutoGenerateWifiMacType);
  FIELD(InitialAddrForWIFI);
  FIELD(EndAddrForBT);
  FIELD(EndAddrForWIFI);
  FIELD(WriteSN);
  FIELD(SN1Enabled);
  FIELD(SN2Enabled);
  FIELD(AutoCreateSN1);
  FIELD(AutoCreateSN2);
  FIELD(SNLength);
  FIELD(DisplayLabFontSize1);
  FIELD(DisplayLabFontSize2);
  FIELD(CheckIMEIAfterRead);
  FIELD(CheckBTValid);
  FIELD(BTAddrFormat);
  FIELD(CheckWIFIValid);
  FIELD(WIFIAddrFormat);
  FIELD(ManualAssignBTAddr);
  FIELD(BTAddrFilePath);
  FIELD(ManualAssignWIFIAddr);
  FIELD(WIFIAddrFilePath);
  FIELD(CheckAPVersion);
  FIELD(APVersion);
  FIELD(RebootDUT);
  FIELD(DUTPort);
  FIELD(OperateCURef);
  FIELD(WATCmd);
  FIELD(SendATCmd);
  FIELD(WaitForAPTime);
  FIELD(SecureBoot);
  FIELD(EnableSecure);
  FIELD(Quarl);
  FIELD(PowerOff);
  FIELD(APMode);
  FIELD(ReadBack);
  Line("LineDatabase", line::LineUriForDisplay(s.LineDatabase));
  FIELD(LineStation);
  FIELD(LineImeiBlock);
  FIELD(LineAddressBlock);
  FIELD(LineOfflinePhones);
  FIELD(Sound);
  FIELD(SoundVolume);
  FIELD(LabelPrint);
  FIELD(LabelPrinter);
  FIELD(LabelTemplate);
  FIELD(LabelCopies);
  FIELD(QuarlVariant);
  // Derived at load.
  FIELD(WriteKey);
  FIELD(ReadKey);
  FIELD(LastComPort);
  FIELD(AutoPort);
#undef FIELD
  Address("InitialBTValue", s.InitialBTValue);
  Address("EndBTValue", s.EndBTValue);
  Address("InitialWIFIValue", s.InitialWIFIValue);
  Address("EndWIFIValue", s.EndWIFIValue);
  for (qsizetype i = 0; i < s.WATCmdList.size(); ++i) {
    Line(QStringLiteral("WATCmdList[%1]").arg(i).toLatin1().constData(), s.WATCmdList.at(i));
  }
}

// The IMEI base a station writes when it closes right after its start: the base of the
// first preparation, stepped back as at close.
std::uint64_t BaseAtClose(const config::StationSettings& settings) {
  identity::IdentitySet identities;
  std::uint64_t base = 0;
  identity::PrepareImeis(settings, identities, base);
  return identity::ImeiBaseForSave(settings, base);
}

int Usage() {
  std::fputs("usage: kestrel-cli settings [--station-dir DIR] [--save]\n", stderr);
  return 2;
}

}  // namespace

int RunSettingsCommand(const QStringList& args) {
  bool save = false;
  for (const QString& a : config::WithoutStationDirArgument(args)) {
    if (a == QLatin1String("--save")) {
      save = true;
    } else {
      return Usage();
    }
  }
  if (args.contains(QLatin1String("--station-dir")) &&
      args.indexOf(QLatin1String("--station-dir")) == args.size() - 1) {
    return Usage();  // the option without its folder
  }
  const QString folder = config::ResolveStationFolder(args);
  const QString path = QDir(folder).filePath(QStringLiteral("Kestrel.ini"));
  StderrSink sink;
  device::ampvane::SetStationFolder(folder);
  device::ampvane::PowerSourceFactory* factory = nullptr;
  if (CreateAmpvaneFactory(&factory) != 0) factory = nullptr;
  identity::AddressFileState addressState;
  config::SettingsLoadContext context;
  context.messages = &sink;
  context.powerFactory = factory;
  context.loadAddressFiles = [&addressState, &sink](config::StationSettings& s) {
    identity::LoadAddressFiles(s, addressState, sink);
  };
  device::ampvane::PowerSource* source = nullptr;
  const config::StationSettings settings = config::LoadSettings(path, context, &source);
  if (source != nullptr) source->Release();
  if (factory != nullptr) factory->Release();
  Print(settings);
  std::fflush(stdout);
  if (save && !config::SaveSettings(settings, path, BaseAtClose(settings))) {
    std::fprintf(stderr, "kestrel-cli: could not write %s\n", path.toLocal8Bit().constData());
    return 1;
  }
  return 0;
}

}  // namespace kestrel::cli
