// The identities a job reserves and confirms in the line database: slot name and value pairs.
//
// Slots IMEI1-IMEI4, BT, WIFI, SN1, SN2. Kinds: the four IMEI slots share the kind IMEI (an IMEI
// is used once whichever slot it went to), SN1 and SN2 share SN, BT and WIFI are kinds of their
// own. Address values are kept lower-case, so 0A0B... and 0a0b... are one address.
#pragma once

#include "config/station_settings.h"

#include <QString>

#include <vector>

namespace kestrel::line {

struct LineItem {
  QString slot;   // IMEI1 ... SN2
  QString value;  // as the station holds it
};
using LineItems = std::vector<LineItem>;

// The kind of a slot ("IMEI", "BT", "WIFI", "SN"); empty for an unknown slot name.
QString LineKindOfSlot(const QString& slot);

// The value as the line keeps it: addresses lower-cased, the others unchanged.
QString LineValueOf(const QString& slot, const QString& value);

// Whether the value has its slot's form: an IMEI 15 decimal digits, an address 12 hexadecimal
// digits, a serial number 1-64 printable ASCII characters. False with a reason otherwise.
bool ValidLineItem(const LineItem& item, QString* why = nullptr);

// Parses "SLOT=VALUE" (the slot name without regard to case); false for an unknown slot or a
// missing '='.
bool ParseLineItem(const QString& text, LineItem* item);

}  // namespace kestrel::line
