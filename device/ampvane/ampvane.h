// The bench power source: a factory that creates sources by kind, and the source itself.
//
// The station calls: CreateAmpvaneFactory; factory Create (kind DCType); source Open (GPIB
// board, address); source SetOutput; then source Release and factory Release at close.
// The operations are virtual and keep this slot order; 0 means success.
#pragma once

#include <QString>

#include <cstdint>

namespace kestrel::device::ampvane {

class PowerSource {
 public:
  // Copies the instrument's identification (its *IDN? answer) into the buffer, NUL-terminated.
  virtual int32_t Identify(char* buffer, int32_t size) = 0;
  // Resolves and opens the instrument at (GPIB board, address); 0 when it answers.
  virtual int32_t Open(int32_t board, int32_t address) = 0;
  // Closes the instrument; the source can be opened again.
  virtual int32_t Close() = 0;
  // Closes the instrument and destroys the source.
  virtual void Release() = 0;
  // (volts >= 0, -1): output on at that voltage; (-1.0, -1): output off;
  // (0.0, 1): 0 V and output off. See device/ampvane/README.md.
  virtual int32_t SetOutput(float volts, int32_t channel) = 0;

 protected:
  ~PowerSource() = default;
};

class PowerSourceFactory {
 public:
  // Version of the library, as a number.
  virtual int32_t Version() = 0;
  // Stores a new source of the given kind in *source (null for an unknown kind); 0 on success.
  virtual int32_t Create(PowerSource** source, int32_t kind) = 0;
  // Destroys the factory (sources it created stay valid until their own Release).
  virtual void Release() = 0;

 protected:
  ~PowerSourceFactory() = default;
};

// Kinds of source (DCType).
constexpr int32_t kKindScpi = 1;

// Result codes of the operations (README.md beside this file explains each).
constexpr int32_t kOk = 0;
constexpr int32_t kErrInvalidArgument = 1;  // null pointer, bad size, non-finite volts ...
constexpr int32_t kErrNoMap = 2;            // Ampvane.ini missing or unreadable
constexpr int32_t kErrNotMapped = 3;        // no entry for this board and address
constexpr int32_t kErrBadLocation = 4;      // the entry is not a location this library knows
constexpr int32_t kErrConnect = 5;          // the socket or device file could not be opened
constexpr int32_t kErrTimeout = 6;          // no answer within the time-out
constexpr int32_t kErrIo = 7;               // the link broke (closed, read or write error)
constexpr int32_t kErrNotOpen = 8;          // the source is not open
constexpr int32_t kErrInstrument = 9;       // the instrument reported an error (SYST:ERR?)
constexpr int32_t kErrUnknownKind = 10;     // Create with a kind other than kKindScpi
constexpr int32_t kErrBufferTooSmall = 11;  // Identify's answer did not fit (it is cut)

// Where the instrument map (Ampvane.ini) is looked for: the station folder. Set once at
// start-up, before any Open.
void SetStationFolder(const QString& folder);

}  // namespace kestrel::device::ampvane

extern "C" int32_t CreateAmpvaneFactory(kestrel::device::ampvane::PowerSourceFactory** factory);
