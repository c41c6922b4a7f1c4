// Serial numbers generated from the local date and time.
#pragma once

#include "config/station_settings.h"
#include "identity/identity_clock.h"
#include "identity/identity_set.h"

#include <QString>

namespace kestrel::identity {

// The serial number of `length` characters at the local time `at`: the 14 digits
// YYYYMMDDhhmmss; for a length below 14 their last `length` digits, otherwise followed by
// the digits 0, 1, 2, ... up to the length (length 24 ends in 0123456789). A length of 0 or
// less gives an empty text.
QString TimeSerial(int length, const LocalDateTime& at);

// The same at the clock's current local time.
QString TimeSerial(int length, const IdentityClock& clock = SystemClock());

// Fills the generated serial numbers of the next phone (called when WriteSN is on): SN1 when
// SN1Enabled and AutoCreateSN1; SN2 when SN2Enabled and AutoCreateSN2, as SN1 plus one when
// SN1 is generated too, else as a time serial. Typed serial numbers are left unchanged.
void NextSerialNumbers(const config::StationSettings& settings, IdentitySet& identities,
                       const IdentityClock& clock = SystemClock());

}  // namespace kestrel::identity
