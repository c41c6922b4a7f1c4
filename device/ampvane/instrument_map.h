// The instrument map Ampvane.ini: where the instrument at a GPIB board and address really is.
//
//   [GPIB0]
//   5=tcp://192.168.1.50:5025
//   6=/dev/usbtmc0
//   7=/dev/ttyUSB0,9600
//   [Ampvane]
//   Timeout=2000
//
// Section and key names are matched without regard to case, blanks around keys and values are
// trimmed, a value in matching quotes loses them, lines starting with ';' or '#' are comments
// and of duplicate keys the first wins. README.md beside this file describes the values.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <map>
#include <optional>
#include <utility>

namespace kestrel::device::ampvane {

// Name of the map file in the station folder.
inline constexpr char kInstrumentMapFileName[] = "Ampvane.ini";

// Per-command time-out when the map sets none, and the bounds a configured one is held to.
constexpr int kDefaultTimeoutMs = 2000;
constexpr int kMinTimeoutMs = 50;
constexpr int kMaxTimeoutMs = 60000;

struct InstrumentLocation {
  enum class Kind { kTcp, kUsbtmc, kSerial };
  Kind kind = Kind::kTcp;
  QString host;       // kTcp: name or numeric address (IPv6 without the brackets)
  uint16_t port = 0;  // kTcp
  QString path;       // kUsbtmc, kSerial: the device file
  int baud = 9600;    // kSerial
};

// Parses one value of the map: "tcp://HOST:PORT", "usbtmc:PATH" or a path starting with
// "/dev/usbtmc", "serial:PATH[,BAUD]" or any other absolute path "PATH[,BAUD]".
std::optional<InstrumentLocation> ParseLocation(const QString& value);

class InstrumentMap {
 public:
  // Never fails: lines that are not sections or key=value pairs are skipped.
  static InstrumentMap Parse(const QByteArray& text);

  // The location text mapped to (board, address), if any. Keys match by number, so "05"
  // serves address 5.
  std::optional<QString> Find(int32_t board, int32_t address) const;

  // [Ampvane] Timeout in milliseconds, held to [kMinTimeoutMs, kMaxTimeoutMs].
  int TimeoutMs() const { return timeoutMs_; }

 private:
  std::map<std::pair<int64_t, int64_t>, QString> entries_;
  int timeoutMs_ = kDefaultTimeoutMs;
};

}  // namespace kestrel::device::ampvane
