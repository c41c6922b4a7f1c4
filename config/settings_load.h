// Loading and saving Kestrel.ini into and from the StationSettings record.
#pragma once

#include "config/station_settings.h"

#include <QString>

#include <cstdint>
#include <functional>

namespace kestrel::device::ampvane {
class PowerSource;
class PowerSourceFactory;
}  // namespace kestrel::device::ampvane

namespace kestrel::config {

class IniFile;
class MessageSink;

// What the load needs from its caller besides the file.
struct SettingsLoadContext {
  // Receives the texts the load shows in message boxes (message 163, power source not found).
  // May be null: the texts are then dropped.
  MessageSink* messages = nullptr;

  // The power-source factory (created by the station window). Null: no source is ever found.
  // The load never links the power-source library itself.
  device::ampvane::PowerSourceFactory* powerFactory = nullptr;

  // The address-file check of the address allocation, run in the middle of the load when
  // (BT_ADDR and ManualAssignBTAddr) or (WIFI_ADDR and ManualAssignWIFIAddr) hold. It gets the
  // record as loaded up to then (every key before `Check AP Version`, the address-file keys
  // included) and may change it. Empty: the step is skipped. Kept as a hook so that the
  // settings do not depend on the identity module.
  std::function<void(StationSettings& settings)> loadAddressFiles;
};

// Fills a record from the ini file at `path` in the station's load order, with every default,
// limit and forced rule. A missing file gives the defaults.
//
// Power source: when UseAMV is nonzero and Operation Mode is off, a source of kind DCType is
// created through the factory and opened at (DCGpibNo, DCGpibAddr). When that succeeds the
// open source is stored in *powerSource (the caller releases it); otherwise "找不到电源，关闭
// 电源控制!" goes to the message sink, UseAMV is cleared and *powerSource is null. A source
// that was created but did not open is released here. When `powerSource` is null an opened
// source is released at once (the load only checks that it answers).
StationSettings LoadSettings(const QString& path, const SettingsLoadContext& context,
                             device::ampvane::PowerSource** powerSource = nullptr);

// [LINE] (read last): Database, the line database's connection URI (at most 1023 characters,
// blanks trimmed; empty = none); Station, this station's name in the line (at most 199
// characters; empty or absent = CurrentStationName, '@' and the host name); ImeiBlock, the IMEI
// bodies claimed at a time (default 20, kept within 4..100000). SaveSettings never writes them.
//
// [OPERATOR] and [LABEL] (read after [LINE]): Sound, 1 (the default) for the verdict sounds,
// any other value for none; SoundVolume 0..100 (default 100); Print, the label
// printed for each passed phone (default off); Printer, the CUPS queue (empty: the default
// printer); Template, the label template's file (empty: the shipped default); Copies 1..99
// (default 1). SaveSettings never writes them.
//
// Writes the keys the station writes at close, in its save order, in one atomic replacement
// of the file. `imeiBase` is the IMEI base counter after the close adjustment; it is written
// to DefaultIMEI as 14 decimal digits with leading zeros. Returns false when the file could
// not be replaced (the old file is then unchanged); the station then tells the operator.
// `error` (if given) says why when false is returned.
bool SaveSettings(const StationSettings& settings, const QString& path, std::uint64_t imeiBase,
                  QString* error = nullptr);

// The flag reading: the key read as an integer with the default; on only when exactly 1.
bool ReadFlag(const IniFile& ini, const QString& section, const QString& key, int fallback);

// A hexadecimal address text to a number: at most `maxDigits` (limited to 16) leading
// characters are used, lower-cased; the last 8 of them read as hexadecimal give the low 32
// bits, the ones before give the high 32 bits; each read stops at the first character that is
// not a hexadecimal digit and reads 0 when nothing is readable.
std::uint64_t ParseHexAddress(const QString& text, int maxDigits);

// The 8-bit text of the system code page, at most `maxBytes` bytes, never cutting a character
// in two.
QByteArray ToLocal8BitLimited(const QString& text, int maxBytes);

// The real reading: the leading decimal number of the text (as the C library's atof, in the
// C locale); no number gives 0; a value too large for a float gives `fallback`.
float ParseRealPrefix(const QByteArray& text, float fallback);

// The AT command list of a WATCmd text: each piece before a '|' (empty pieces included);
// text after the last '|' is dropped.
QStringList SplitAtCommands(const QString& text);

}  // namespace kestrel::config
