// The station-record library: checks and updates the production record a phone keeps of the
// stations it has been through, over the open phone channel (between KV_BeginPhoneTest and
// KV_EndPhoneTest). FORMAT.md beside this file describes the record and what each call does.
//
// Station names and the failure text are 8-bit, NUL-terminated. Every call returns 0 or one
// of the codes below; the calls of one object come from one thread at a time.
#pragma once

#include "device/oxbind/oxbind.h"
#include "device/oxbind_loader/phone_api.h"

#include <cstdint>

// Opaque: one per job, tied to the phone handle it was created for.
struct StagemarkObject;

// Result codes.
#define STAGEMARK_PASS 0               // the required station has passed / recorded
#define STAGEMARK_FAIL 1               // a station name or argument is missing or empty
#define STAGEMARK_INVALID_OBJECT 2     // null, released or foreign object
#define STAGEMARK_INVALID_RECORD 3     // the record's structure or checksum is broken
#define STAGEMARK_CURRENT_UNKNOWN 4    // the current station is not in the record
#define STAGEMARK_CHECK_UNKNOWN 5      // the station to check is not in the record
#define STAGEMARK_CHECK_FAILED 6       // the station to check was tested and failed
#define STAGEMARK_CHECK_UNTESTED 7     // the station to check was never tested
#define STAGEMARK_BUFFER_FAILED 8      // the phone's block does not fit the library's buffer
#define STAGEMARK_WRITE_FAILED 9       // writing the record to the phone failed
#define STAGEMARK_READ_FAILED 10       // reading the record from the phone failed
#define STAGEMARK_INPUT_TOO_LARGE 11   // a name or text too long, or the record would be full
#define STAGEMARK_MAGIC_UNREADABLE 12  // the block is too short to hold a magic number
#define STAGEMARK_BAD_MAGIC 13         // the magic number is not "KV05" or "KV09"

extern "C" {

// A new object for the phone handle; null when the handle is -1, memory is short, or no phone
// library that offers the station record is in use (UsePhoneLibrary).
StagemarkObject* CreateStagemarkObject(PhoneHandle h);

// Reads the record and answers whether `checkStation` has passed ("NULL" requires nothing).
// On success the current station is entered in the record (untested) when it is not there
// yet, so that it is known when its result is recorded.
int32_t CheckPhase(StagemarkObject* object, const char* currentStation, const char* checkStation);

// Records the current station as tested, passed (`passed` nonzero) or failed with
// `failureText` (null: none), with the time, and writes the record back. `reserved1` and
// `reserved2` are passed as 0 and not used.
int32_t UpdatePhase(StagemarkObject* object, const char* currentStation, int32_t passed,
                    const char* failureText, int32_t reserved1, int32_t reserved2);

// Destroys the object; null and already released objects are ignored.
void ReleaseStagemarkObject(StagemarkObject* object);

}  // extern "C"

namespace kestrel::device::stagemark {

// The phone library through which the objects reach the phone's block: set once, before the
// first object is made (the station does it at start-up). An object keeps the library it was
// made with.
void UsePhoneLibrary(const oxbind::PhoneApi* kv);

// The string-table id of a result code's message (codes 0-13; 8, any other value and
// negative values give 131). Ids 127 and 139 take the checked station's name for their %s.
int StagemarkMessageId(int32_t code);

// How many objects are created and not yet released (diagnostics: a job leaves none).
int LiveStagemarkObjects();

}  // namespace kestrel::device::stagemark
