// An ini file with the observable behaviour of the platform's private-profile functions.
//
// - Section and key names are matched without regard to case; blanks around keys and values
//   are trimmed; a value wrapped in matching single or double quotes loses them.
// - Lines starting with ';' are comments. Of duplicate keys (or sections) the first wins.
// - A section header needs its closing ']': a truncated "[Name" line is not a header, and the
//   keys after it stay in the section before it. A key line without '=' is that key's first
//   occurrence and reads as absent (the default); a later line of the key does not win.
// - Integers read as an optional sign and leading decimal digits; no digits read as 0; an
//   absent key gives the default.
// - A write keeps every other line, comment and the order; a new key goes to the end of its
//   section, a new section to the end of the file; a missing file is created.
// - Every write replaces the file atomically: a crash mid-write leaves the old or the new
//   file, never a truncated one.
// - Read as UTF-8; UTF-16 with a byte-order mark is accepted and written back as such.
//
// Each read and write goes to the file itself, as the platform functions do, so several
// IniFile objects on one path see each other's writes.
#pragma once

#include <QString>

#include <functional>
#include <vector>

namespace kestrel::config {

class IniDocument;

class IniFile {
 public:
  explicit IniFile(QString path);

  const QString& path() const { return path_; }

  // The value text, or `fallback` when the key is absent. At most `maxChars` characters are
  // kept (a negative limit keeps everything).
  QString ReadString(const QString& section, const QString& key, const QString& fallback,
                     int maxChars = -1) const;
  int ReadInt(const QString& section, const QString& key, int fallback) const;
  bool HasKey(const QString& section, const QString& key) const;

  // Returns false when the file could not be replaced; the old file is then untouched.
  bool WriteString(const QString& section, const QString& key, const QString& value);
  bool WriteInt(const QString& section, const QString& key, int value);

  struct Entry {
    QString section;
    QString key;
    QString value;
  };
  // Applies the writes in order, as that many WriteString calls would, but replaces the file
  // once: either all of them reach the file or none. An entry whose text would break the line
  // structure is skipped. Returns false when an entry was skipped or the file could not be
  // replaced.
  bool WriteStrings(const std::vector<Entry>& entries);

  // Test hook: called with the target path after the first half of the new content has gone
  // to the temporary file and before the rest; returning false abandons the write there, as a
  // crash would. Pass an empty function to remove it.
  static void SetInterruptHookForTesting(std::function<bool(const QString& path)> hook);

  // Why the last write of this object failed (empty after a write that succeeded).
  const QString& LastError() const { return lastError_; }

 private:
  IniDocument Load() const;
  bool Replace(const IniDocument& doc);  // with the write lock held

  QString path_;
  QString lastError_;
};

}  // namespace kestrel::config
