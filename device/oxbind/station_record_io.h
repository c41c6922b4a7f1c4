// Access to the block of station-record data that a phone keeps for the station-record
// library. The block is opaque to the phone library: it is read and written whole over the
// open phone channel (between KV_BeginPhoneTest and KV_EndPhoneTest).
#pragma once

#include "device/oxbind/oxbind.h"

#include <QByteArray>

namespace kestrel::device::oxbind {

// Largest block a phone keeps.
constexpr int kMaxStationRecordBytes = 4096;

// 0 on success with *data set to the stored block (empty when the phone holds none);
// otherwise the call's error code.
int32_t ReadStationRecord(PhoneHandle h, QByteArray* data);

// 0 on success; a block larger than kMaxStationRecordBytes is refused.
int32_t WriteStationRecord(PhoneHandle h, const QByteArray& data);

}  // namespace kestrel::device::oxbind
