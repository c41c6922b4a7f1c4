#include "resources/version_info.h"

#include <QCoreApplication>
#include <QFile>

#include <cstring>
#include <limits>

namespace kestrel::resources {
namespace {

const QByteArray kBlockHeader = "KESTREL-VERSION-BLOCK 1";
const char kSectionName[] = ".kestrel_version";
const QString kTranslationPath = QStringLiteral("\\VarFileInfo\\Translation");

// Bounds-checked little- or big-endian reads from an ELF image.
class ImageView {
 public:
  ImageView(const QByteArray& image, bool bigEndian) : image_(image), big_(bigEndian) {}

  bool Read(std::uint64_t offset, int bytes, std::uint64_t* out) const {
    const auto size = static_cast<std::uint64_t>(image_.size());
    if (offset > size || static_cast<std::uint64_t>(bytes) > size - offset) return false;
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) {
      const int k = big_ ? i : bytes - 1 - i;
      v = (v << 8) | static_cast<unsigned char>(image_[static_cast<qsizetype>(offset) + k]);
    }
    *out = v;
    return true;
  }

  // The NUL-terminated name at `offset`, at most `limit` bytes long.
  bool NameIs(std::uint64_t offset, std::uint64_t limitEnd, const char* name) const {
    const std::uint64_t len = std::strlen(name);
    const auto size = static_cast<std::uint64_t>(image_.size());
    const std::uint64_t end = std::min(size, limitEnd);
    if (offset > end || len + 1 > end - offset) return false;
    return std::memcmp(image_.constData() + offset, name, len + 1) == 0;
  }

  QByteArray Slice(std::uint64_t offset, std::uint64_t length) const {
    return image_.mid(static_cast<qsizetype>(offset), static_cast<qsizetype>(length));
  }
  std::uint64_t size() const { return static_cast<std::uint64_t>(image_.size()); }

 private:
  const QByteArray& image_;
  bool big_;
};

bool FitsIn(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && length <= size - offset;
}

std::optional<QByteArray> ExtractFromElf(const QByteArray& image) {
  if (image.size() < 16 || !image.startsWith("\x7F"
                                             "ELF"))
    return std::nullopt;
  const int cls = image[4];
  const int data = image[5];
  if ((cls != 1 && cls != 2) || (data != 1 && data != 2)) return std::nullopt;
  const bool is64 = cls == 2;
  const ImageView v(image, data == 2);

  std::uint64_t shoff = 0, shentsize = 0, shnum = 0, shstrndx = 0;
  const int word = is64 ? 8 : 4;
  if (!v.Read(is64 ? 0x28 : 0x20, word, &shoff) || !v.Read(is64 ? 0x3A : 0x2E, 2, &shentsize) ||
      !v.Read(is64 ? 0x3C : 0x30, 2, &shnum) || !v.Read(is64 ? 0x3E : 0x32, 2, &shstrndx)) {
    return std::nullopt;
  }
  const std::uint64_t minEntry = is64 ? 64 : 40;
  if (shoff == 0 || shentsize < minEntry) return std::nullopt;

  // Field offsets inside a section header.
  const std::uint64_t fType = 4;
  const std::uint64_t fOffset = is64 ? 24 : 16;
  const std::uint64_t fSize = is64 ? 32 : 20;
  const std::uint64_t fLink = is64 ? 40 : 24;
  auto header = [&](std::uint64_t index, std::uint64_t* at) {
    if (index > (std::numeric_limits<std::uint64_t>::max() - shoff) / shentsize) return false;
    *at = shoff + index * shentsize;
    return FitsIn(*at, shentsize, v.size());
  };

  // Extended numbering: the real counts live in section 0.
  std::uint64_t first = 0;
  if (!header(0, &first)) return std::nullopt;
  if (shnum == 0 && !v.Read(first + fSize, word, &shnum)) return std::nullopt;
  if (shstrndx == 0xFFFF && !v.Read(first + fLink, 4, &shstrndx)) return std::nullopt;
  if (shnum == 0 || shstrndx >= shnum) return std::nullopt;
  // The whole table must lie in the file: an image cut short is damaged, whichever header the
  // linker happened to put last.
  if (shnum > v.size() / shentsize || !FitsIn(shoff, shnum * shentsize, v.size())) {
    return std::nullopt;
  }

  std::uint64_t strHeader = 0, strOffset = 0, strSize = 0;
  if (!header(shstrndx, &strHeader) || !v.Read(strHeader + fOffset, word, &strOffset) ||
      !v.Read(strHeader + fSize, word, &strSize) || !FitsIn(strOffset, strSize, v.size())) {
    return std::nullopt;
  }

  for (std::uint64_t i = 0; i < shnum; ++i) {
    std::uint64_t at = 0, name = 0, type = 0, offset = 0, size = 0;
    if (!header(i, &at) || !v.Read(at, 4, &name) || !v.Read(at + fType, 4, &type) ||
        !v.Read(at + fOffset, word, &offset) || !v.Read(at + fSize, word, &size)) {
      return std::nullopt;
    }
    if (name >= strSize || !v.NameIs(strOffset + name, strOffset + strSize, kSectionName)) {
      continue;
    }
    constexpr std::uint64_t kNoBits = 8;
    if (type == kNoBits || !FitsIn(offset, size, v.size())) return std::nullopt;
    QByteArray block = v.Slice(offset, size);
    const qsizetype nul = block.indexOf('\0');
    if (nul >= 0) block.truncate(nul);
    return block;
  }
  return std::nullopt;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "0409 04b0 ..." as 16-bit little-endian numbers; stops at the first malformed word.
QByteArray TranslationBytes(const QByteArray& text) {
  QByteArray out;
  for (const QByteArray& word : text.simplified().split(' ')) {
    if (word.size() != 4) break;
    int value = 0;
    for (const char c : word) {
      const int d = HexDigit(c);
      if (d < 0) return out.left(out.size() - out.size() % 4);
      value = (value << 4) | d;
    }
    out.append(static_cast<char>(value & 0xFF));
    out.append(static_cast<char>(value >> 8));
  }
  return out.left(out.size() - out.size() % 4);  // whole entries only
}

}  // namespace

std::optional<QByteArray> VersionInfoReader::ExtractBlock(const QByteArray& image) {
  return ExtractFromElf(image);
}

VersionInfoReader::VersionInfoReader() = default;

bool VersionInfoReader::Load(const QString& path) {
  if (!path.isEmpty()) {
    modulePath_ = path;
  } else if (modulePath_.isEmpty()) {
    modulePath_ = QCoreApplication::applicationFilePath();
  }
  loaded_ = false;
  values_.clear();
  prefix_.clear();
  QFile file(modulePath_);
  if (!file.open(QIODevice::ReadOnly) || file.size() <= 0) return false;
  std::optional<QByteArray> block;
  if (uchar* mapped = file.map(0, file.size())) {
    const QByteArray image =
        QByteArray::fromRawData(reinterpret_cast<const char*>(mapped), file.size());
    block = ExtractBlock(image);
    if (block) block->detach();  // own copy before the mapping goes
    file.unmap(mapped);
  } else {
    block = ExtractBlock(file.readAll());
  }
  return block && LoadBlock(*block);
}

bool VersionInfoReader::LoadBlock(const QByteArray& block) {
  loaded_ = false;
  values_.clear();
  prefix_.clear();
  QList<QByteArray> lines = block.split('\n');
  if (lines.isEmpty() || lines.front().trimmed() != kBlockHeader) return false;
  lines.removeFirst();
  for (const QByteArray& raw : lines) {
    QByteArray line = raw;
    if (line.endsWith('\r')) line.chop(1);
    const qsizetype eq = line.indexOf('=');
    if (eq <= 0) continue;
    const QString path = QString::fromUtf8(line.left(eq)).trimmed();
    QByteArray value = line.mid(eq + 1);
    if (path.compare(kTranslationPath, Qt::CaseInsensitive) == 0) value = TranslationBytes(value);
    bool known = false;
    for (const auto& entry : values_) {
      if (entry.first.compare(path, Qt::CaseInsensitive) == 0) known = true;
    }
    if (!known) values_.append({path, value});
  }
  loaded_ = true;
  if (!HasTranslation()) return false;
  const Translation first = Translations().front();
  SetTranslation(first.language, first.codePage);
  return true;
}

bool VersionInfoReader::HasTranslation() const {
  const std::optional<QByteArray> bytes = Query(kTranslationPath);
  return bytes && bytes->size() > 3;
}

void VersionInfoReader::SetTranslation(std::uint16_t language, std::uint16_t codePage) {
  prefix_ = QStringLiteral("\\StringFileInfo\\%1%2\\")
                .arg(language, 4, 16, QLatin1Char('0'))
                .arg(codePage, 4, 16, QLatin1Char('0'));
}

std::optional<QByteArray> VersionInfoReader::Query(const QString& path) const {
  if (!loaded_) return std::nullopt;
  for (const auto& entry : values_) {
    if (entry.first.compare(path, Qt::CaseInsensitive) == 0) return entry.second;
  }
  return std::nullopt;
}

QList<VersionInfoReader::Translation> VersionInfoReader::Translations() const {
  QList<Translation> out;
  const std::optional<QByteArray> bytes = Query(kTranslationPath);
  if (!bytes) return out;
  for (qsizetype i = 0; i + 4 <= bytes->size(); i += 4) {
    auto word = [&](qsizetype k) {
      return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes->at(k)) |
                                        (static_cast<unsigned char>(bytes->at(k + 1)) << 8));
    };
    out.append(Translation{word(i), word(i + 2)});
  }
  return out;
}

std::optional<QString> VersionInfoReader::Value(const QString& key) const {
  const std::optional<QByteArray> value = Query(prefix_ + key);
  if (!value) return std::nullopt;
  return QString::fromUtf8(*value);
}

QString VersionInfoReader::DottedProductVersion() const {
  if (!HasTranslation()) return QString();
  const std::optional<QString> value = ProductVersion();
  if (!value) return QString();
  QString text = *value;
  text.replace(QLatin1Char(','), QLatin1Char('.'));
  text.remove(QLatin1Char(' '));
  return text;
}

QString VersionInfoReader::ReadProductVersion(const QString& executablePath) {
  VersionInfoReader reader;
  reader.Load(executablePath);
  return reader.DottedProductVersion();
}

}  // namespace kestrel::resources
