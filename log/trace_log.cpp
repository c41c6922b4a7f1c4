#include "log/trace_log.h"

#include "log/wide_format.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>

namespace kestrel::log {
namespace {

constexpr std::size_t kFormatChars = 8192;  // printf buffer of LogFormat / LogFormatW
constexpr std::size_t kTextBytes = 8192;    // wide text converted to at most this many bytes
constexpr std::size_t kLineBytes = 8220;    // a whole line, CR LF included
constexpr std::size_t kHeaderChars = 48;    // the dump header
constexpr std::size_t kStampChars = 25;     // "[YYYY-MM-DD hh:mm:ss:mmm]"

std::mutex& BaseFolderMutex() {
  static std::mutex m;
  return m;
}

QString& BaseFolderOverride() {
  static QString folder;
  return folder;
}

QString ExecutablePath() {
  if (QCoreApplication::instance() != nullptr) return QCoreApplication::applicationFilePath();
#ifdef Q_OS_LINUX
  return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
#else
  return QString();
#endif
}

QString ExecutableFolder() {
  const QString exe = ExecutablePath();
  if (exe.isEmpty()) return QDir::currentPath();
  return QFileInfo(exe).absolutePath();
}

}  // namespace

void TraceLog::SetBaseFolder(const QString& folder) {
  std::lock_guard lock(BaseFolderMutex());
  BaseFolderOverride() = folder;
}

QString TraceLog::BaseFolder() {
  {
    std::lock_guard lock(BaseFolderMutex());
    if (!BaseFolderOverride().isEmpty()) return BaseFolderOverride();
  }
  return ExecutableFolder();
}

QString TraceLog::ProgramName() {
  const QString name = QFileInfo(ExecutablePath()).fileName();
  const qsizetype dot = name.indexOf(QLatin1Char('.'));
  return dot < 0 ? name : name.left(dot);
}

TraceLog::TraceLog()
    : programName_(ProgramName()),
      folder_(BaseFolder() + QStringLiteral("/Log")),
      defaultName_(programName_) {}

TraceLog::~TraceLog() {
  Close();
  ReleaseConsole();
}

void TraceLog::Release() {
  delete this;
}

QString TraceLog::ReadCapturePath() const {
  return readCapture_.file.isOpen() ? readCapture_.file.fileName() : QString();
}

QString TraceLog::WriteCapturePath() const {
  return writeCapture_.file.isOpen() ? writeCapture_.file.fileName() : QString();
}

bool TraceLog::Passes(std::uint32_t level) const {
  return level_ == 4 ? level == 4 : level <= level_;
}

bool TraceLog::MakePath(const char* name, bool textLog, const QString& captureSuffix, LogFile& f,
                        QString* path) {
  const QString given = name != nullptr ? QString::fromLocal8Bit(name) : defaultName_;
  const QString fileName = QFileInfo(given).fileName();
  const qsizetype firstDot = fileName.indexOf(QLatin1Char('.'));
  const qsizetype lastDot = fileName.lastIndexOf(QLatin1Char('.'));
  const QString base = firstDot < 0 ? fileName : fileName.left(firstDot);
  if (textLog) {
    f.ext = lastDot < 0 ? QStringLiteral(".log") : fileName.mid(lastDot);
  } else {
    f.ext = captureExtension_.isEmpty() ? QStringLiteral(".bin") : captureExtension_;
  }
  f.base = base + captureSuffix;
  f.counter = 0;

  if (QDir::isAbsolutePath(given)) {
    f.folder = QFileInfo(given).absolutePath();
    *path = f.folder + QLatin1Char('/') + f.base + f.ext;
    return true;
  }
  f.folder = folder_;
  if (!QDir().mkpath(folder_)) return false;
  const QDateTime now = QDateTime::currentDateTime();
  const QDate d = now.date();
  const QTime t = now.time();
  char stamp[64];
  if ((flags_ & kFlagNameDateTime) != 0) {
    std::snprintf(stamp, sizeof stamp, "_%04d_%02d_%02d_%02d_%02d_%02d_%03d", d.year(), d.month(),
                  d.day(), t.hour(), t.minute(), t.second(), t.msec());
  } else if ((flags_ & kFlagNameDate) != 0) {
    std::snprintf(stamp, sizeof stamp, "_%04d_%02d_%02d", d.year(), d.month(), d.day());
  } else {
    stamp[0] = '\0';
  }
  // The rotations keep the date (and time) of the name, so that no day's rotation overwrites
  // another day's.
  f.base = base + QString::fromLatin1(stamp) + captureSuffix;
  *path = f.folder + QLatin1Char('/') + f.base + f.ext;
  return true;
}

bool TraceLog::OpenFile(LogFile& f, const QString& path) {
  f.file.setFileName(path);
  QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Unbuffered;
  mode |= (flags_ & kFlagAppend) != 0 ? QIODevice::Append : QIODevice::Truncate;
  return f.file.open(mode);
}

int TraceLog::Open(const char* name, std::uint32_t flags, std::uint32_t level,
                   std::uint32_t sizeLimitMb) {
  Close();
  flags_ = flags;
  level_ = level;
  sizeLimit_ = sizeLimitMb;
  if ((flags_ & (kFlagTextLog | kFlagCaptureFiles)) == 0) flags_ |= kFlagTextLog;

  if ((flags_ & kFlagTextLog) != 0 && level_ > 0) {
    QString path;
    if (!MakePath(name, true, QString(), text_, &path) || !OpenFile(text_, path)) return 0;
  }
  if ((flags_ & kFlagCaptureFiles) != 0 && (flags_ & 0x0F00U) != 0) {
    if ((flags_ & kFlagReadCapture) != 0) {
      QString path;
      if (!MakePath(name, false, QStringLiteral("_Rd"), readCapture_, &path) ||
          !OpenFile(readCapture_, path)) {
        return 0;
      }
    }
    if ((flags_ & kFlagWriteCapture) != 0) {
      QString path;
      if (!MakePath(name, false, QStringLiteral("_Wt"), writeCapture_, &path) ||
          !OpenFile(writeCapture_, path)) {
        return 0;
      }
    }
  }
  if (echo_) MakeConsole();
  return 1;
}

int TraceLog::Close() {
  for (LogFile* f : {&text_, &readCapture_, &writeCapture_}) {
    if (f->file.isOpen()) {
      f->file.flush();
      f->file.close();
    }
  }
  ReleaseConsole();
  return 1;
}

void TraceLog::MakeConsole() {
  if (consoleMade_) return;
  consoleMade_ = true;
}

void TraceLog::ReleaseConsole() {
  if (!consoleMade_) return;
  std::fflush(stderr);
  consoleMade_ = false;
}

int TraceLog::Write(LogFile& f, const char* data, std::size_t length) {
  if (!f.file.isOpen()) return 1;
  if (sizeLimit_ != 0 && static_cast<std::uint64_t>(f.file.size() >> 20) > sizeLimit_) {
    ++f.counter;
    f.file.flush();
    f.file.close();
    const QString next = f.folder + QLatin1Char('/') + f.base + QLatin1Char('_') +
                         QString::number(f.counter) + f.ext;
    if (!OpenFile(f, next)) return 0;
  }
  const qint64 written = f.file.write(data, static_cast<qint64>(length));
  if (echo_ && echoShown_ && consoleMade_) std::fwrite(data, 1, length, stderr);
  return written == static_cast<qint64>(length) ? 1 : 0;
}

int TraceLog::WriteLine(const char* text, std::size_t length) {
  std::string line;
  line.reserve(std::min(length, kLineBytes) + kStampChars + 3);
  if (timeStamps_) {
    const QDateTime now = QDateTime::currentDateTime();
    const QDate d = now.date();
    const QTime t = now.time();
    std::snprintf(stamp_.data(), stamp_.size(), "[%04d-%02d-%02d %02d:%02d:%02d:%03d]", d.year(),
                  d.month(), d.day(), t.hour(), t.minute(), t.second(), t.msec());
    line += stamp_.data();
    line += ' ';
  }
  const std::size_t room = kLineBytes - 2 - line.size();
  line.append(text, std::min(length, room));
  line += "\r\n";
  return Write(text_, line.data(), line.size());
}

int TraceLog::WriteData(const void* data, std::size_t length, int direction) {
  LogFile& f = (direction == 0 || direction == 2) ? readCapture_ : writeCapture_;
  if (length == 0) return 1;
  return Write(f, static_cast<const char*>(data), length);
}

int TraceLog::LogText(std::uint32_t level, const char* text) {
  if (!Passes(level)) return 1;
  if (text == nullptr) text = "";
  return WriteLine(text, std::strlen(text));
}

int TraceLog::LogTextW(std::uint32_t level, const wchar_t* text) {
  if (!Passes(level)) return 1;
  const QByteArray narrow = detail::ToNarrow(text != nullptr ? text : L"", kTextBytes);
  return WriteLine(narrow.constData(), static_cast<std::size_t>(narrow.size()));
}

int TraceLog::LogFormat(std::uint32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int r = LogFormatV(level, format, args);
  va_end(args);
  return r;
}

int TraceLog::LogFormatV(std::uint32_t level, const char* format, va_list args) {
  if (!Passes(level)) return 1;
  if (format == nullptr) return WriteLine("", 0);
  char buffer[kFormatChars];
  if (std::vsnprintf(buffer, sizeof buffer, format, args) < 0) buffer[0] = '\0';
  return WriteLine(buffer, std::strlen(buffer));
}

int TraceLog::LogFormatW(std::uint32_t level, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  const int r = LogFormatWV(level, format, args);
  va_end(args);
  return r;
}

int TraceLog::LogFormatWV(std::uint32_t level, const wchar_t* format, va_list args) {
  if (!Passes(level)) return 1;
  if (format == nullptr) return WriteLine("", 0);
  const std::wstring portable = detail::PortableWideFormat(format);
  wchar_t buffer[kFormatChars];
  buffer[0] = L'\0';
  // On overflow the text is cut at the buffer's end (the C library keeps what fitted).
  if (std::vswprintf(buffer, kFormatChars, portable.c_str(), args) < 0) {
    buffer[kFormatChars - 1] = L'\0';
  }
  const QByteArray narrow = detail::ToNarrow(buffer, kTextBytes);
  return WriteLine(narrow.constData(), static_cast<std::size_t>(narrow.size()));
}

int TraceLog::DumpHex(std::uint32_t level, const void* data, std::size_t length, int direction,
                      std::optional<std::uint32_t> total) {
  if (!Passes(level)) return 1;
  const char* mark = direction == 0   ? "<--"
                     : direction == 1 ? "-->"
                     : direction == 2 ? "<<-"
                                      : "---";
  const auto len32 = static_cast<std::uint32_t>(length);
  char header[kHeaderChars + 1];
  if (total.has_value()) {
    std::snprintf(header, sizeof header, "%s %d(0x%08x)/%d(0x%08x) Bytes", mark,
                  static_cast<int>(len32), len32, static_cast<int>(*total), *total);
  } else {
    std::snprintf(header, sizeof header, "%s %d(0x%08x) Bytes", mark, static_cast<int>(len32),
                  len32);
  }
  int result = WriteLine(header, std::strlen(header));
  if (length == 0 || data == nullptr) return result;

  const auto* bytes = static_cast<const unsigned char*>(data);
  const std::size_t perLine = bytesPerLine_;
  const std::string indent(timeStamps_ ? kStampChars + 1 : 0, ' ');
  for (std::size_t row = 0; row * perLine < length; ++row) {
    const std::size_t first = row * perLine;
    const std::size_t count = std::min(perLine, length - first);
    std::string hex;
    std::string chars;
    char cell[16];
    if (offsetColumn_) {
      std::snprintf(cell, sizeof cell, "%08xh: ", static_cast<unsigned>(first));
      hex += cell;
    }
    for (std::size_t i = 0; i < count; ++i) {
      const unsigned char b = bytes[first + i];
      std::snprintf(cell, sizeof cell, "%02X ", b);
      hex += cell;
      chars += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
    }
    for (std::size_t i = count; i < perLine; ++i) hex += "   ";
    std::string out = indent + hex;
    out += charColumn_ ? "; " + chars + "\r\n" : std::string(";\r\n");
    if (Write(text_, out.data(), out.size()) == 0) result = 0;
  }
  return result;
}

int TraceLog::SetOption(int id, int kind, const void* value) {
  const auto* text = static_cast<const char*>(value);
  const auto* number = static_cast<const std::uint32_t*>(value);
  const bool textOption =
      id == kOptionLogFolder || id == kOptionDefaultName || id == kOptionCaptureExtension;
  // Numbers are read only for the options that take one.
  std::uint32_t n = 0;
  if (!textOption && number != nullptr) std::memcpy(&n, number, sizeof n);
  switch (id) {
    case kOptionLogFolder: {
      QString root;
      if (kind == kFolderBesideStation) {
        root = BaseFolder();
      } else if (kind == kFolderInTemp) {
        root = QDir::tempPath();
      } else if (kind == kFolderExact) {
        if (text == nullptr) return 0;
        folder_ = QString::fromLocal8Bit(text);
        return 1;
      } else {
        return 0;
      }
      folder_ = root + QStringLiteral("/Log");
      if (text != nullptr && *text != '\0')
        folder_ += QLatin1Char('/') + QString::fromLocal8Bit(text);
      return 1;
    }
    case kOptionDefaultName:
      if (text == nullptr) return 0;
      defaultName_ = QString::fromLocal8Bit(text);
      return 1;
    case kOptionBytesPerLine:
      bytesPerLine_ = (n == 0 || n > 16) ? 16 : n;
      return 1;
    case kOptionTimeStamps:
      timeStamps_ = n != 0;
      return 1;
    case kOptionOffsetColumn:
      offsetColumn_ = n != 0;
      return 1;
    case kOptionCharColumn:
      charColumn_ = n != 0;
      return 1;
    case kOptionConsole:
      if (number == nullptr) {
        echo_ = false;
        echoShown_ = false;
        ReleaseConsole();
        return 1;
      }
      if (n != 1 && n != 2) return 0;
      echo_ = true;
      echoShown_ = n == 1;
      MakeConsole();
      return 1;
    case kOptionCaptureExtension: {
      const QString ext = text != nullptr ? QString::fromLocal8Bit(text) : QString();
      if (ext.size() >= 260) return 0;
      captureExtension_ = ext;
      return 1;
    }
    case kOptionSizeLimit:
      sizeLimit_ = n;
      return 1;
    default:
      return 0;
  }
}

int TraceLog::GetOption(int id, int /*ignored*/, void* out) {
  if (out == nullptr) return 0;
  auto putText = [out](const QString& s) {
    auto* dst = static_cast<char16_t*>(out);
    const qsizetype n = std::min<qsizetype>(s.size(), kOptionTextCapacity - 1);
    std::memcpy(dst, s.utf16(), static_cast<std::size_t>(n) * sizeof(char16_t));
    dst[n] = u'\0';
    return 1;
  };
  auto putNumber = [out](std::uint32_t v) {
    std::memcpy(out, &v, sizeof v);
    return 1;
  };
  switch (id) {
    case kOptionLogFolder:
      return putText(folder_);
    case kOptionDefaultName:
      return putText(defaultName_);
    case kOptionBytesPerLine:
      return putNumber(bytesPerLine_);
    case kOptionTimeStamps:
      return putNumber(timeStamps_ ? 1 : 0);
    case kOptionOffsetColumn:
      return putNumber(offsetColumn_ ? 1 : 0);
    case kOptionCharColumn:
      return putNumber(charColumn_ ? 1 : 0);
    case kOptionConsole:
      return putNumber(echo_ ? 1 : 0);
    case kOptionCaptureExtension:
      return putText(captureExtension_.isEmpty() ? QStringLiteral(".bin") : captureExtension_);
    case kOptionSizeLimit:
      return putNumber(sizeLimit_);
    default:
      return 0;
  }
}

}  // namespace kestrel::log
