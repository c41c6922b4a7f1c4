// IMEI numbering: the check digit, the IMEIs generated for the next phone from the base
// counter, the IMEIs derived from a typed IMEI1, and the persistence of the base.
//
// An IMEI is 15 decimal digits: a 14-digit body and the Luhn check digit of the body. Numbers
// are unsigned 64-bit; texts are padded on the left with zeros (15 digits for an IMEI, 14 for
// a body). Decimal texts are read with the plain reading of number_text.h.
//
// Slot generation modes (IMEI1GenMode ... IMEI4GenMode): 0 typed by the operator, 1 the next
// body of the base counter, 2 the previous slot's body plus one.
#pragma once

#include "config/station_settings.h"
#include "identity/identity_set.h"

#include <QString>

#include <cstdint>

namespace kestrel::identity {

enum ImeiGenMode : int { kImeiManual = 0, kImeiFromBase = 1, kImeiIncremented = 2 };

// The Luhn check digit (0..9) of a body: from the right, the rightmost digit and every second
// one to its left are doubled (a doubled value of 10 or more counts as the sum of its digits),
// and the check digit is (10 - sum mod 10) mod 10. A body of 0 gives 0.
int ImeiCheckDigit(std::uint64_t body);

// body * 10 + check digit, padded to 15 digits.
QString FullImei(std::uint64_t body);

// The IMEI whose body is the body text `prefix` plus one. A 14-digit prefix is incremented
// modulo 10^14 (99999999999999 gives 000000000000000). Longer prefixes carry from the last 12
// digits into the ones before; prefixes of 12 digits or fewer are simply incremented.
QString NextImeiFromPrefix(const QString& prefix);

// True when the text, read as a decimal number v, has v mod 10 equal to the check digit of
// v div 10. (The station checks the length of an IMEI separately.)
bool VerifyImeiCheckDigit(const QString& imeiText);

// Fills the generated IMEI slots of the next phone. `imeiBase` is reloaded from
// settings.DefaultIMEI and advanced by one for every IMEI taken from it. Typed slots (and an
// incremented slot while IMEI1 is typed) are left as they are. The caller shows the fields.
void PrepareImeis(const config::StationSettings& settings, IdentitySet& identities,
                  std::uint64_t& imeiBase);

// Whether a write job must run DeriveImeisFromTyped before checking the identities: IMEI1 is
// enabled and at least one enabled slot is typed.
bool NeedsImeiDerivation(const config::StationSettings& settings);

// How many bodies PrepareImeis takes from the base for one phone (consecutive, from the base
// on): what a station asks its line for before preparing.
int GeneratedImeiCount(const config::StationSettings& settings);

// Fills the incremented slots (mode 2) that follow a typed IMEI1, each from the slot before
// it; under UseSameIMEI every enabled slot 2-4 becomes IMEI1. The base is not touched. The
// caller shows the fields.
void DeriveImeisFromTyped(const config::StationSettings& settings, IdentitySet& identities);

// After a passed job whose result was recorded: DefaultIMEI becomes `imeiBase` as 14 digits,
// in the record and at once in key General/DefaultIMEI of the settings file at
// `settingsPath` (an atomic replacement of the file). Returns whether the file was written;
// when not, `error` (if given) says why.
bool StoreImeiBaseAfterPass(config::StationSettings& settings, std::uint64_t imeiBase,
                            const QString& settingsPath, QString* error = nullptr);

// The base the close-time save writes to DefaultIMEI, as a number (SaveSettings pads it to
// 14 digits). With AutoCreateIMEI on and UseSameIMEI off the IMEIs prepared for the phone
// that was not written are given back: the base steps back by 3 when IMEI2, IMEI3 and IMEI4
// are enabled, else by 2 when IMEI2 and IMEI3 are, else by 1 when any of IMEI2-IMEI4 is;
// otherwise it is kept. The result is never below DefaultIMEI, the base left by the last
// passed phone: below it lie IMEIs already written into phones (and a base that no
// preparation has set yet must not overwrite the stored one).
std::uint64_t ImeiBaseForSave(const config::StationSettings& settings, std::uint64_t imeiBase);

// The same as the 14-digit text that is written.
QString ImeiBaseForSaveText(const config::StationSettings& settings, std::uint64_t imeiBase);

}  // namespace kestrel::identity
