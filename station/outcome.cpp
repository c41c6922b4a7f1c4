// Counting a finished phone: RecordOutcome empties what must be entered again after a
// failure, counts the phone, and in the power-supply repeat run writes the IMEI.log record.
// The identity-reuse check against the result store sits here too.
#include "station/station_controller.h"

#include "identity/identity_set.h"
#include "records/record_identities.h"
#include "records/result_store.h"
#include "resources/string_table.h"

#include <QLineEdit>

namespace kestrel::station {

void StationController::RecordOutcome(bool passed) {
  const config::StationSettings& s = settings_;
  if (!passed) {
    // Only the fields' own texts are emptied; each one's change reaction then takes the empty
    // text into the identities, as a typed change would. Generated values stay for the next
    // phone.
    OnWindowThread([this] {
      const config::StationSettings& c = settings_;
      const bool keep[kIdentityFieldCount] = {
          c.IMEI1Enabled && c.AutoCreateIMEI, c.IMEI2Enabled && c.AutoCreateIMEI,
          c.IMEI3Enabled && c.AutoCreateIMEI, c.IMEI4Enabled && c.AutoCreateIMEI,
          c.BT_ADDR && c.AutoGenerateBT_ADDR, c.WIFI_ADDR && c.AutoWIFI_ADDR,
          c.SN1Enabled && c.AutoCreateSN1,    c.SN2Enabled && c.AutoCreateSN2};
      for (int i = 0; i < kIdentityFieldCount; ++i) {
        if (!keep[i]) controls_.identity[static_cast<std::size_t>(i)]->clear();
      }
    });
  }
  (passed ? passCount_ : failCount_).fetch_add(1);
  ShowCounters();
  if (s.UseAMV && s.OperationMode == 0 && resultStore_) {
    // A failed record carries the message that was shown, identity lines included.
    resultStore_->WriteImeiLogRecord(powerRepeatCount_.load(),
                                     passed ? QStringLiteral("PASS") : ResultText());
  }
}

bool StationController::CheckImeiReuse(int index, const QString& imei) {
  if (!resultStore_) {
    SetResultText(resources::LoadString(134));  // no store: nothing can be checked
    return false;
  }
  return resultStore_->CheckImeiReuse(settings_, index, imei, *this);
}

}  // namespace kestrel::station
