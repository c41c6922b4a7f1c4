// Bluetooth and Wi-Fi addresses: the clock and random generators, the address files that hand
// out a range one address at a time, the Wi-Fi prefix rule, and the advance after each job.
//
// An address is 12 hexadecimal digits; its value is config::ParseHexAddress(text, 12).
// Address files are ini files with section "BT Address" or "WIFI Address" and the keys
// "Start Address", "Current Address", "End Address". Start and End are only read; Current is
// the next address to hand out and is rewritten (atomically) at each change.
//
// Source of each address, first match wins:
//   address file             BT_ADDR and ManualAssignBTAddr / WIFI_ADDR and ManualAssignWIFIAddr
//   initial-address counter  AutoGenerateBT_ADDR / AutoWIFI_ADDR with a nonzero generation type
//   clock / random           the same with type 0
//   operator                 otherwise
#pragma once

#include "config/message_sink.h"
#include "config/station_settings.h"
#include "identity/identity_clock.h"
#include "identity/outcome_reporter.h"

#include <QString>

namespace kestrel::identity {

enum class AddressKind { Bluetooth, Wifi };

// The three texts of one address file as read (at most 12 characters each, absent keys
// empty) and as changed since.
struct AddressFileTexts {
  QString Start;
  QString Current;
  QString End;
};

// Runtime state beside the settings record. AddressConfigValid gates the Write button.
struct AddressFileState {
  AddressFileTexts BT;
  AddressFileTexts WIFI;
  int AddressConfigValid = 1;
};

// BT_ADDR and ManualAssignBTAddr: Bluetooth addresses come from the address file.
bool BluetoothFromFile(const config::StationSettings& settings);
// WIFI_ADDR and ManualAssignWIFIAddr.
bool WifiFromFile(const config::StationSettings& settings);
// Either of the two: when LoadAddressFiles is to run.
bool AddressFilesAssigned(const config::StationSettings& settings);

// Twelve decimal digits: a random number mod 10000 (generator seeded with the time in
// seconds), then day of month, hour, minute, second of the local time. Addresses prepared in
// the same second are equal.
QString TimeBluetoothAddress(const IdentityClock& clock = SystemClock(),
                             RandomGenerator& random = CRandom());

// `foreWifi`, then r3 mod 99 and t mod 99 as two decimal digits each, then r2 mod 16 and
// r1 mod 16 as one lower-case hexadecimal digit each; t is the millisecond tick count and r1,
// r2, r3 are drawn in that order after seeding with the time in seconds.
QString RandomWifiAddress(const QString& foreWifi, const IdentityClock& clock = SystemClock(),
                          RandomGenerator& random = CRandom());

// Reads both address files (each only when it is assigned) and checks their ranges: with s,
// c, e the values of Start, Current, End a range is valid when s < e and s <= c <= e. The
// first invalid range shows its message box, clears AddressConfigValid and ends the load;
// otherwise AddressConfigValid is set. Returns AddressConfigValid. The caller enables or
// disables the Write button by it.
bool LoadAddressFiles(const config::StationSettings& settings, AddressFileState& state,
                      config::MessageSink& messages);

// The Current Address text of the Bluetooth or Wi-Fi file.
QString CurrentFileAddress(const AddressFileState& state, AddressKind kind);

// The Wi-Fi prefix rule of the pre-job check, applied when WIFI_ADDR is on,
// ManualAssignWIFIAddr off, and AutoWIFI_ADDR on or CheckWIFIValid off or WIFIAddrFormat
// empty: the first byte must be even (else message 146) and the first six characters must
// equal ForeWIFI without regard to case (else message 147). On refusal the message becomes the
// result text (ShowResult is left to the caller) and false is returned.
bool CheckWifiPrefix(const config::StationSettings& settings, const QString& wifiText,
                     OutcomeReporter& reporter);

// Before a job, for each assigned file (Bluetooth first): a Current below Start or above End
// is reset to Start (12 upper-case hexadecimal digits, written to the file at once) after a
// message box, and the job is refused (false).
bool CheckAddressFilePositions(const config::StationSettings& settings, AddressFileState& state,
                               config::MessageSink& messages);

// After the identity-writing step, passed or failed: Bluetooth, then Wi-Fi, moves on by one.
// A file position past End restarts at Start with a message box and is written to the file at
// once. An initial-address counter is kept in the settings record (saved at close) as 12
// lower-case hexadecimal digits; an exhausted Bluetooth range, or an exhausted Wi-Fi range of
// a nonzero generation type, fails the phone with message 177 or 178 (result text,
// ShowResult(Fail), RecordOutcome(false)) and returns false at once. A Wi-Fi counter in time
// mode restarts at InitialWIFIValue silently. Runs on the job thread: the sink and reporter
// must accept calls from it.
bool AdvanceAddresses(config::StationSettings& settings, AddressFileState& state,
                      config::MessageSink& messages, OutcomeReporter& reporter);

}  // namespace kestrel::identity
