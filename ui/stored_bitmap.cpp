#include "ui/stored_bitmap.h"

#include <cstdint>
#include <cstdlib>

namespace kestrel::ui {
namespace {

constexpr qsizetype kFileHeaderSize = 14;
constexpr std::uint32_t kMinInfoHeaderSize = 40;
constexpr std::int64_t kMaxSide = 16384;

std::uint32_t U32(const QByteArray& data, qsizetype at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(data[at + i]);
  return v;
}

std::uint16_t U16(const QByteArray& data, qsizetype at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(data[at]) |
                                    (static_cast<unsigned char>(data[at + 1]) << 8));
}

}  // namespace

QImage DecodeStoredBitmap(const QByteArray& file) {
  if (file.size() < kFileHeaderSize + kMinInfoHeaderSize || file[0] != 'B' || file[1] != 'M') {
    return {};
  }
  const std::uint32_t offset = U32(file, 10);
  const std::uint32_t infoSize = U32(file, 14);
  if (infoSize < kMinInfoHeaderSize || kFileHeaderSize + infoSize > file.size()) return {};
  const auto width = static_cast<std::int32_t>(U32(file, 18));
  const auto rawHeight = static_cast<std::int32_t>(U32(file, 22));
  const std::uint16_t planes = U16(file, 26);
  const std::uint16_t bits = U16(file, 28);
  const std::uint32_t compression = U32(file, 30);
  const std::int64_t height = std::llabs(static_cast<std::int64_t>(rawHeight));
  if (planes != 1 || bits != 24 || compression != 0 || width <= 0 || height == 0 ||
      width > kMaxSide || height > kMaxSide) {
    return {};
  }
  const std::int64_t rowBytes = ((24 * static_cast<std::int64_t>(width) + 31) / 32) * 4;
  if (offset < kFileHeaderSize + kMinInfoHeaderSize ||
      static_cast<std::int64_t>(offset) + rowBytes * height > file.size()) {
    return {};
  }
  QImage image(width, static_cast<int>(height), QImage::Format_RGB32);
  if (image.isNull()) return {};
  const bool bottomUp = rawHeight > 0;
  for (int y = 0; y < image.height(); ++y) {
    const int sourceRow = bottomUp ? image.height() - 1 - y : y;
    const auto* src =
        reinterpret_cast<const unsigned char*>(file.constData()) + offset + rowBytes * sourceRow;
    auto* dst = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < width; ++x, src += 3) dst[x] = qRgb(src[2], src[1], src[0]);
  }
  return image;
}

}  // namespace kestrel::ui
