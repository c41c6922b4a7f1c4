// What the phone library needs of the operating system, and nothing more: the one seam
// between the library's portable code (handles, requests, the mode process, the KV_ calls)
// and a platform. The POSIX side is posix_*.cpp beside this header; a Win32 side is
// win32_*.cpp. device/oxbind/CMakeLists.txt picks one set by the target system.
//
// Every wait here is bounded by its time-out and ends early, from another thread, through a
// CancelToken. Result codes are the KV_ codes of oxbind.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrel::device::oxbind::platform {

// Milliseconds of a monotonic clock (never goes back; unrelated to the time of day).
int64_t NowMs();

// The value of an environment variable; empty when unset.
std::string GetEnv(const char* name);

// The id of the running process (for the mode-wait marker's text).
int ProcessId();

// A signal that a thread raises to end another thread's waits: every wait given the token
// returns KV_ERR_CANCELLED (Sleep returns false) from the moment it is signalled until it is
// cleared. Signal and IsSignalled from any thread; Clear while no wait uses it.
class CancelToken {
 public:
  // Valid() is false when the system refused the object; such a token is never signalled.
  CancelToken();
  ~CancelToken();
  CancelToken(const CancelToken&) = delete;
  CancelToken& operator=(const CancelToken&) = delete;

  bool Valid() const;
  void Signal();
  void Clear();
  bool IsSignalled() const;
  // Sleeps up to ms; false when the token was or became signalled first.
  bool Sleep(int ms) const;

  // The platform's object (POSIX: an eventfd; Win32: a manual-reset event handle), for the
  // platform's own serial port code.
  struct Native;
  Native* native() const { return native_.get(); }

 private:
  std::unique_ptr<Native> native_;
};

// A manual-reset event (the KV_Event of oxbind.h): set stays set, waking every waiter, until
// reset. Every call from any thread.
class Event {
 public:
  Event();
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool Valid() const;
  void Set();
  void Reset();
  // True when set, or set within timeoutMs (negative: without bound).
  bool Wait(int timeoutMs) const;
  // The index of the first set event in the order given, waiting up to timeoutMs (negative:
  // without bound) for one; -1 on time-out. count is 1..64, no entry null.
  static int WaitAny(const Event* const* events, int count, int timeoutMs);

  struct Native;

 private:
  std::unique_ptr<Native> native_;
};

// One entry of the ports the library can open.
struct PortEntry {
  int number = 0;         // the COM number
  std::string device;     // what SerialPort::Open takes for it
  int64_t changedMs = 0;  // when the entry last changed (ms since the epoch; 0 unknown)
};

// Every port present, in ascending COM number. POSIX: the port map (port_numbering.h of
// device/ports states the rule: links ports/COM<n> of the station folder — the folder named
// by KESTREL_STATION_DIR, else the executable's folder — and the numbered system devices).
// Win32: the COM ports of the system, under their own numbers.
std::vector<PortEntry> ListPorts();

// The entry of one COM number; false when the number is not present.
bool FindPort(int number, PortEntry* entry);

// One open serial line, raw 8N1 at the baud rate asked, no flow control.
class SerialPort {
 public:
  // Opens `device` (a PortEntry::device); null with *error = KV_ERR_PORT_OPEN when it cannot
  // be opened or set up.
  static std::unique_ptr<SerialPort> Open(const std::string& device, int32_t baudRate,
                                          int32_t* error);
  virtual ~SerialPort() = default;

  // Writes every byte within timeoutMs; *written counts the bytes that went out. KV_OK,
  // KV_ERR_TIMEOUT, KV_ERR_CANCELLED or KV_ERR_LINK_LOST (the line is gone: every later call
  // answers KV_ERR_LINK_LOST).
  virtual int32_t Write(const uint8_t* data, std::size_t size, int timeoutMs,
                        const CancelToken* cancel, std::size_t* written) = 0;
  // Waits up to timeoutMs for bytes and takes what is there (at most capacity): KV_OK with
  // *got > 0, KV_ERR_TIMEOUT with *got == 0, KV_ERR_CANCELLED or KV_ERR_LINK_LOST.
  virtual int32_t Read(uint8_t* buffer, std::size_t capacity, std::size_t* got, int timeoutMs,
                       const CancelToken* cancel) = 0;
  // Drops bytes received and not yet read.
  virtual void DiscardInput() = 0;
};

// The marker the mode process keeps while it waits for a phone: a file `.mode-wait` in the
// port map's link folder, holding `text`, which a simulated phone switched on "by the
// operator" looks for. Win32 may keep it in the same place or nowhere.
void PutModeWaitMarker(const std::string& text);
void RemoveModeWaitMarker();

}  // namespace kestrel::device::oxbind::platform
