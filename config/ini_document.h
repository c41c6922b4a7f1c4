// The text of one ini file held in memory: parsed into lines, looked up and edited the way
// the private-profile functions do, and turned back into bytes that differ from the input only
// in the lines an edit touched.
//
// Every line keeps its original bytes (terminator included) until it is edited, so comments,
// unknown keys, blank lines, line endings and even bytes that are not valid in the file's
// encoding survive a write unchanged.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace kestrel::config {

class IniDocument {
 public:
  enum class Encoding { kUtf8, kUtf8Bom, kUtf16LE, kUtf16BE };

  // An empty document (a missing file): UTF-8, "\n" line ends.
  IniDocument() = default;

  // Parses file bytes. UTF-16 is recognised by its byte-order mark only; anything else is
  // UTF-8 (with or without its mark). Never fails: any byte sequence gives some document.
  static IniDocument Parse(const QByteArray& bytes);

  // The file bytes, in the encoding and with the byte-order mark that were read.
  QByteArray Serialize() const;

  Encoding encoding() const { return encoding_; }

  // The value of the first key `key` in the first section `section` (names compared without
  // regard to case), trimmed and without one pair of matching surrounding quotes; nullopt when
  // the section or key is absent or the key's first line has no "=".
  std::optional<QString> Value(const QString& section, const QString& key) const;

  // Sets the first such key, or adds it at the end of its section, or adds the section with
  // the key at the end of the document. Returns false, changing nothing, when a name or the
  // value would break the line structure (a line break, a key with '=' or a leading '[' or
  // ';', a section name with ']', an empty name).
  bool SetValue(const QString& section, const QString& key, const QString& value);

 private:
  // A header needs its closing "]": a truncated "[General" line is not one, and the keys
  // after it stay in the section before it. A line without "=" is a key without a value
  // (kBareKey): it is that key's first occurrence, so a later line of the key does not win
  // over it, and it reads as absent.
  enum class Kind { kBlank, kComment, kSection, kKey, kBareKey };
  struct Line {
    QByteArray raw;  // original bytes with terminator; empty when the line was edited or added
    QString text;    // decoded, without the terminator
    Kind kind = Kind::kBlank;
    QString name;   // section or key name, trimmed
    QString value;  // key value, trimmed and unquoted (kKey only)
    bool terminated = true;
  };

  static void Classify(Line* line);
  int FindSection(const QString& section) const;  // index of the header line or -1
  int SectionEnd(int header) const;               // index after the section's last line
  QByteArray Encode(const QString& text) const;

  Encoding encoding_ = Encoding::kUtf8;
  QString eol_ = QStringLiteral("\n");
  std::vector<Line> lines_;
  QByteArray tail_;  // a final odd byte of a UTF-16 file, kept at the very end
};

// The integer reading of the private-profile functions: an optional sign and the leading
// decimal digits (wrapping as a 32-bit value does); no digits read as 0.
int ParseProfileInt(const QString& text);

}  // namespace kestrel::config
