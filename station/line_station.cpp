// The line database's part in the station (Kestrel.ini [LINE] Database; nothing here acts
// while it is empty): the generated IMEIs and the initial-mode addresses of the next phone
// come from this station's blocks of the line's ranges, and a write job reserves every
// identity it writes before the phone is touched. The confirmation goes with SaveResult
// (records/result_store). A database that does not answer refuses the job; the next
// preparation and the next job connect again.
#include "station/station_controller.h"

#include "identity/imei.h"
#include "records/result_store.h"

namespace kestrel::station {

void StationController::TakeLineIdentities() {
  lineError_.clear();
  config::StationSettings& s = settings_;
  if (!resultStore_ || !resultStore_->UsesLine(s)) return;
  // The generated IMEIs: DefaultIMEI mirrors the next body of this station's block.
  const int count = identity::GeneratedImeiCount(s);
  if (count > 0) {
    std::uint64_t body = 0;
    if (!resultStore_->NextLineRun(s, line::LineRangeKind::Imei, count, &body, &lineError_)) {
      return;
    }
    s.DefaultIMEI = QStringLiteral("%1").arg(static_cast<qulonglong>(body), 14, 10, QLatin1Char('0'));
  }
  // Addresses counted up from an initial address come from the line's address ranges.
  auto address = [&](line::LineRangeKind kind, QString* text, std::uint64_t* value) {
    std::uint64_t next = 0;
    if (!resultStore_->NextLineRun(s, kind, 1, &next, &lineError_)) return false;
    *text = QStringLiteral("%1").arg(static_cast<qulonglong>(next), 12, 16, QLatin1Char('0'));
    *value = next;
    return true;
  };
  if (s.BT_ADDR != 0 && s.AutoGenerateBT_ADDR != 0 && s.AutoGenerateBTAddrType != 0 &&
      s.ManualAssignBTAddr == 0 &&
      !address(line::LineRangeKind::Bluetooth, &s.InitialAddrForBT, &s.InitialBTValue)) {
    return;
  }
  if (s.WIFI_ADDR != 0 && s.AutoWIFI_ADDR != 0 && s.AutoGenerateWifiMacType != 0 &&
      s.ManualAssignWIFIAddr == 0) {
    address(line::LineRangeKind::Wifi, &s.InitialAddrForWIFI, &s.InitialWIFIValue);
  }
}

bool StationController::ReserveLineIdentities() {
  if (!resultStore_ || !resultStore_->UsesLine(settings_)) return true;
  if (!lineError_.isEmpty()) {
    // The shown values are not the line's; the refusal's preparation asks it again.
    SetResultText(lineError_);
    return false;
  }
  const identity::IdentitySet ids = Identities();
  return resultStore_->ReserveForJob(
      settings_, {ids.IMEI1, ids.IMEI2, ids.IMEI3, ids.IMEI4, ids.BT, ids.WIFI, ids.SN1, ids.SN2},
      *this);
}

}  // namespace kestrel::station
