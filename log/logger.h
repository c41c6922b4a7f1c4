// The logger interface: twelve operations in a fixed slot order. Users that only write (such as
// TraceScope) hold this interface; TraceLog implements it.
//
// Text arguments are 8-bit (the locale's narrow encoding) unless the name ends in W, where they
// are wide. Results: 1 = done (or filtered out by level), 0 = failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace kestrel::log {

// Flags of Open.
inline constexpr std::uint32_t kFlagNameDateTime = 0x0001;  // file name carries date and time
inline constexpr std::uint32_t kFlagNameDate = 0x0002;      // file name carries the date
inline constexpr std::uint32_t kFlagReadCapture = 0x0100;   // read-capture file (with 0x8000)
inline constexpr std::uint32_t kFlagWriteCapture = 0x0200;  // write-capture file (with 0x8000)
inline constexpr std::uint32_t kFlagAppend = 0x2000;        // append instead of creating empty
inline constexpr std::uint32_t kFlagTextLog = 0x4000;       // open the text log
inline constexpr std::uint32_t kFlagCaptureFiles = 0x8000;  // open the capture files
inline constexpr std::uint32_t kDefaultFlags = 0x5002;

// The level of the scope messages written by TraceScope.
inline constexpr std::uint32_t kScopeLevel = 5;

// Option ids of SetOption / GetOption.
enum Option : int {
  kOptionLogFolder = 0,         // set: kind 1, 2 or 3 (see TraceLog); get: folder text
  kOptionDefaultName = 1,       // default file name (text, required)
  kOptionBytesPerLine = 2,      // bytes per dump line; 0 or above 16 gives 16
  kOptionTimeStamps = 3,        // time stamps on lines, 0 or 1
  kOptionOffsetColumn = 4,      // offset column in dumps, 0 or 1
  kOptionCharColumn = 5,        // character column in dumps, 0 or 1
  kOptionConsole = 6,           // console echo: absent = off, 1 = on and shown, 2 = on, hidden
  kOptionCaptureExtension = 7,  // capture extension (text shorter than 260 characters)
  kOptionSizeLimit = 8,         // size limit in MB, 0 = none
};

// Kinds of kOptionLogFolder.
inline constexpr int kFolderBesideStation = 1;  // <base>/Log, or <base>/Log/<value>
inline constexpr int kFolderInTemp = 2;         // <temp>/Log, or <temp>/Log/<value>
inline constexpr int kFolderExact = 3;          // the value itself

// Capacity of the text options read back by GetOption: 260 UTF-16 units (520 bytes) including
// the terminating zero.
inline constexpr std::size_t kOptionTextCapacity = 260;

class Logger {
 public:
  // 1. Closes the files, then releases the console.
  virtual ~Logger() = default;
  // 2. Opens the files that `flags` ask for (name null = the default file name).
  virtual int Open(const char* name, std::uint32_t flags, std::uint32_t level,
                   std::uint32_t sizeLimitMb) = 0;
  // 3. Flushes and closes each open file; releases the console if one was made.
  virtual int Close() = 0;
  // 4. Destroys the object (it must have been made with new).
  virtual void Release() = 0;
  // 5. Raw bytes: to the read-capture file for direction 0 or 2, else to the write-capture file.
  virtual int WriteData(const void* data, std::size_t length, int direction) = 0;
  // 6. and 7. One line.
  virtual int LogText(std::uint32_t level, const char* text) = 0;
  virtual int LogTextW(std::uint32_t level, const wchar_t* text) = 0;
  // 8. and 9. printf-style, then one line. In the wide format %s and %c take wide arguments
  // (wchar_t strings and characters), %hs and %hc narrow ones, as on the station's first
  // platform.
  virtual int LogFormat(std::uint32_t level, const char* format, ...)
      __attribute__((format(printf, 3, 4))) = 0;
  virtual int LogFormatW(std::uint32_t level, const wchar_t* format, ...) = 0;
  // 10. A header line and rows of hex; `total` may be absent.
  virtual int DumpHex(std::uint32_t level, const void* data, std::size_t length, int direction,
                      std::optional<std::uint32_t> total = std::nullopt) = 0;
  // 11. `value` points to an 8-bit zero-terminated text for the text options (0, 1, 7) and to a
  // std::uint32_t for the others; null stands for "absent".
  virtual int SetOption(int id, int kind, const void* value) = 0;
  // 12. `out` points to char16_t[kOptionTextCapacity] for the text options (0, 1, 7) and to a
  // std::uint32_t for the others. Fails when `out` is null.
  virtual int GetOption(int id, int ignored, void* out) = 0;
};

}  // namespace kestrel::log
