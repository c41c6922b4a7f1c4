// The version block of an executable: embedded at build time (kestrel_embed_version_block in
// resources/CMakeLists.txt) and read back from the executable file itself.
//
// The block holds what a version resource holds: a translation table under
// "\VarFileInfo\Translation" and, for each (language, code page) entry, a string block
// "\StringFileInfo\llllcccc\" with ProductVersion ("1, 0, 0, 1"), ProductName, CompanyName,
// LegalCopyright, LegalTrademarks, Comments, PrivateBuild, SpecialBuild, FileVersion,
// FileDescription, InternalName and OriginalFilename.
//
// In the file it is the ELF section ".kestrel_version": a NUL-terminated UTF-8 text whose first
// line is "KESTREL-VERSION-BLOCK 1", followed by one "path=value" line per value, e.g.
//   \VarFileInfo\Translation=0409 04b0
//   \StringFileInfo\040904b0\ProductVersion=1, 0, 0, 1
// The translation value lists (language, code page) pairs as 4-digit hexadecimal numbers.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>
#include <utility>

namespace kestrel::resources {

class VersionInfoReader {
 public:
  struct Translation {
    std::uint16_t language = 0;
    std::uint16_t codePage = 0;
  };

  // Reads the running executable (QCoreApplication::applicationFilePath(), taken at the first
  // Load) unless Load is given another path. Nothing is read before Load.
  VersionInfoReader();

  // Reads the block of the executable at `path` (empty: the module path). Returns true when a
  // block and its translation table (at least one entry) were read; the block prefix is then
  // "\StringFileInfo\llllcccc\" of the first entry. A block without a translation table
  // stays held (Query works) but gives false.
  bool Load(const QString& path = QString());

  // As Load, from the text of a block instead of a file.
  bool LoadBlock(const QByteArray& block);

  bool HasData() const { return loaded_; }
  bool HasTranslation() const;
  // Re-forms the block prefix from another (language, code page).
  void SetTranslation(std::uint16_t language, std::uint16_t codePage);
  const QString& blockPrefix() const { return prefix_; }
  const QString& modulePath() const { return modulePath_; }

  // The value at a path, as the platform's version query gives it, names compared without
  // regard to case: "\VarFileInfo\Translation" gives each (language, code page) pair as two
  // 16-bit little-endian numbers (4 bytes per entry); "\StringFileInfo\llllcccc\Key" gives
  // the UTF-8 text of the value. nullopt when there is no data or no such value.
  std::optional<QByteArray> Query(const QString& path) const;
  QList<Translation> Translations() const;

  // The value of `key` below the block prefix; nullopt without data or without the key.
  std::optional<QString> Value(const QString& key) const;
  std::optional<QString> Comments() const { return Value(QStringLiteral("Comments")); }
  std::optional<QString> CompanyName() const { return Value(QStringLiteral("CompanyName")); }
  std::optional<QString> LegalCopyright() const { return Value(QStringLiteral("LegalCopyright")); }
  std::optional<QString> LegalTrademarks() const {
    return Value(QStringLiteral("LegalTrademarks"));
  }
  std::optional<QString> ProductName() const { return Value(QStringLiteral("ProductName")); }
  // As stored, e.g. "1, 0, 0, 1".
  std::optional<QString> ProductVersion() const { return Value(QStringLiteral("ProductVersion")); }
  std::optional<QString> PrivateBuild() const { return Value(QStringLiteral("PrivateBuild")); }
  std::optional<QString> SpecialBuild() const { return Value(QStringLiteral("SpecialBuild")); }

  // The product version of the start-up: the file's ProductVersion with every "," turned into
  // "." and every blank removed ("1, 0, 0, 1" gives "1.0.0.1"); empty when the file has no
  // block, no translation entry or no ProductVersion.
  static QString ReadProductVersion(const QString& executablePath);
  // The same rule applied to a loaded reader.
  QString DottedProductVersion() const;

  // The block's bytes inside an executable image (the whole file), or nullopt. Never reads
  // outside `image`, whatever it holds.
  static std::optional<QByteArray> ExtractBlock(const QByteArray& image);

 private:
  QString modulePath_;
  QString prefix_;
  bool loaded_ = false;
  QList<std::pair<QString, QByteArray>> values_;  // path -> value bytes
};

}  // namespace kestrel::resources
