// TraceLog: the station's file logger. A text log of time-stamped lines and hex dumps,
// optional raw capture files for received and sent data, rotation by size, and an optional
// echo on standard error.
//
// Where files go: a relative name lands in the log folder, by default the folder "Log" in the
// base folder. The base folder is process-wide: the station sets it to its station folder at
// start-up with SetBaseFolder; until then it is the folder of the running executable. Each
// TraceLog takes the base folder current when it is made; option 0 changes one object's folder.
//
// File names (folder = the log folder, base = the name's file part cut at its first ".", ext =
// the name's own extension or ".log" for the text log, the capture extension or ".bin" for
// the capture files):
//   flag 0x0001   folder/base_YYYY_MM_DD_hh_mm_ss_mmm.ext
//   flag 0x0002   folder/base_YYYY_MM_DD.ext
//   otherwise     folder/base.ext
//   absolute name its own folder/base.ext
// The capture files add "_Rd" and "_Wt" to the base. With a size limit, a file whose size in
// whole MB exceeds the limit is closed before the next write and continued in the file of its
// own name with "_N" before the extension (N = 1, 2, ... per file): base_N.ext, with the date
// flag base_YYYY_MM_DD_N.ext, the capture files base[_date]_Rd_N.ext and base[_date]_Wt_N.ext.
//
// Line form: "[YYYY-MM-DD hh:mm:ss:mmm] text\r\n" (local time), or "text\r\n" without time
// stamps; a line is at most 8220 bytes including its CR LF.
//
// Console echo (option 6): value 1 echoes every write to standard error, value 2 keeps the
// echo on but hidden (nothing is shown), absent turns it off.
//
// A TraceLog has no lock: each user makes its own object.
#pragma once

#include "log/logger.h"

#include <QFile>
#include <QString>

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace kestrel::log {

class TraceLog final : public Logger {
 public:
  TraceLog();
  ~TraceLog() override;
  TraceLog(const TraceLog&) = delete;
  TraceLog& operator=(const TraceLog&) = delete;

  int Open(const char* name, std::uint32_t flags, std::uint32_t level,
           std::uint32_t sizeLimitMb) override;
  int Close() override;
  void Release() override;
  int WriteData(const void* data, std::size_t length, int direction) override;
  int LogText(std::uint32_t level, const char* text) override;
  int LogTextW(std::uint32_t level, const wchar_t* text) override;
  int LogFormat(std::uint32_t level, const char* format, ...) override
      __attribute__((format(printf, 3, 4)));
  int LogFormatW(std::uint32_t level, const wchar_t* format, ...) override;
  int DumpHex(std::uint32_t level, const void* data, std::size_t length, int direction,
              std::optional<std::uint32_t> total = std::nullopt) override;
  int SetOption(int id, int kind, const void* value) override;
  int GetOption(int id, int ignored, void* out) override;

  // va_list forms of LogFormat and LogFormatW.
  int LogFormatV(std::uint32_t level, const char* format, va_list args)
      __attribute__((format(printf, 3, 0)));
  int LogFormatWV(std::uint32_t level, const wchar_t* format, va_list args);

  // Full paths of the files as last opened (empty when not open).
  QString TextPath() const { return text_.file.isOpen() ? text_.file.fileName() : QString(); }
  QString ReadCapturePath() const;
  QString WriteCapturePath() const;

  // The process-wide base folder under which "Log" is made (see the header comment).
  // Thread-safe.
  static void SetBaseFolder(const QString& folder);
  static QString BaseFolder();

  // The program name: the executable's file name up to its first ".".
  static QString ProgramName();

 private:
  struct LogFile {
    QFile file;
    QString folder;  // folder of the first path
    QString base;    // base of the rotation names
    QString ext;
    std::uint32_t counter = 0;
  };

  bool OpenFile(LogFile& f, const QString& path);
  int Write(LogFile& f, const char* data, std::size_t length);
  int WriteLine(const char* text, std::size_t length);
  bool Passes(std::uint32_t level) const;
  void MakeConsole();
  void ReleaseConsole();
  // Folder, base and extension of a file to open; `captureSuffix` is empty for the text log.
  bool MakePath(const char* name, bool textLog, const QString& captureSuffix, LogFile& f,
                QString* path);

  QString programName_;
  QString folder_;
  QString defaultName_;
  QString captureExtension_;
  LogFile text_;
  LogFile readCapture_;
  LogFile writeCapture_;
  std::uint32_t flags_ = kDefaultFlags;
  std::uint32_t level_ = 3;
  std::uint32_t sizeLimit_ = 0;
  bool timeStamps_ = true;
  bool offsetColumn_ = true;
  bool charColumn_ = true;
  std::uint32_t bytesPerLine_ = 16;
  std::array<char, 30> stamp_{};
  bool echo_ = false;       // option 6 on
  bool echoShown_ = false;  // value 1 (shown) rather than 2 (hidden)
  bool consoleMade_ = false;
};

}  // namespace kestrel::log
