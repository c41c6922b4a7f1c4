// TraceScope: writes "Enter [name]" (or "Enter [name] text") when made and "Leave [name]" when
// it ends, through the logger's LogFormat at level 5. Made with no logger, it does nothing.
#pragma once

#include "log/logger.h"

#include <array>

namespace kestrel::log {

class TraceScope {
 public:
  TraceScope(Logger* log, const char* function);
  // The formatted text is cut at 1024 bytes.
  TraceScope(Logger* log, const char* function, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  // Wide forms: name and text are converted to 8-bit (the text is formatted into at most 2048
  // wide characters first; %s and %c take wide arguments as in Logger::LogFormatW).
  TraceScope(Logger* log, const wchar_t* function);
  TraceScope(Logger* log, const wchar_t* function, const wchar_t* format, ...);
  ~TraceScope();
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

 private:
  void SetName(const char* function);
  void SetName(const wchar_t* function);

  Logger* log_;
  std::array<char, 260> function_{};
};

}  // namespace kestrel::log
