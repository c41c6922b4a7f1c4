#include "log/trace_scope.h"

#include "log/wide_format.h"

#include <QByteArray>
#include <QString>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

namespace kestrel::log {
namespace {

constexpr std::size_t kTextBytes = 1024;
constexpr std::size_t kWideTextChars = 2048;

// Copies at most `size` - 1 bytes and a terminating zero, never ending inside a multi-byte
// character.
void CopyCut(const QByteArray& from, char* to, std::size_t size) {
  const QByteArray cut = detail::CutNarrow(from, size - 1);
  std::memcpy(to, cut.constData(), static_cast<std::size_t>(cut.size()));
  to[cut.size()] = '\0';
}

}  // namespace

void TraceScope::SetName(const char* function) {
  CopyCut(QByteArray(function != nullptr ? function : ""), function_.data(), function_.size());
}

void TraceScope::SetName(const wchar_t* function) {
  CopyCut(QString::fromWCharArray(function != nullptr ? function : L"").toLocal8Bit(),
          function_.data(), function_.size());
}

TraceScope::TraceScope(Logger* log, const char* function) : log_(log) {
  if (log_ == nullptr) return;
  SetName(function);
  log_->LogFormat(kScopeLevel, "Enter [%s]", function_.data());
}

TraceScope::TraceScope(Logger* log, const char* function, const char* format, ...) : log_(log) {
  if (log_ == nullptr) return;
  SetName(function);
  char text[kTextBytes];
  text[0] = '\0';
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    if (std::vsnprintf(text, sizeof text, format, args) < 0) text[0] = '\0';
    va_end(args);
  }
  log_->LogFormat(kScopeLevel, "Enter [%s] %s", function_.data(), text);
}

TraceScope::TraceScope(Logger* log, const wchar_t* function) : log_(log) {
  if (log_ == nullptr) return;
  SetName(function);
  log_->LogFormat(kScopeLevel, "Enter [%s]", function_.data());
}

TraceScope::TraceScope(Logger* log, const wchar_t* function, const wchar_t* format, ...)
    : log_(log) {
  if (log_ == nullptr) return;
  SetName(function);
  wchar_t wide[kWideTextChars];
  wide[0] = L'\0';
  if (format != nullptr) {
    const std::wstring portable = detail::PortableWideFormat(format);
    va_list args;
    va_start(args, format);
    if (std::vswprintf(wide, kWideTextChars, portable.c_str(), args) < 0) {
      wide[kWideTextChars - 1] = L'\0';
    }
    va_end(args);
  }
  char text[kTextBytes * 2];
  CopyCut(QString::fromWCharArray(wide).toLocal8Bit(), text, sizeof text);
  log_->LogFormat(kScopeLevel, "Enter [%s] %s", function_.data(), text);
}

TraceScope::~TraceScope() {
  if (log_ != nullptr) log_->LogFormat(kScopeLevel, "Leave [%s]", function_.data());
}

}  // namespace kestrel::log
