#include "resources/images/artwork.h"

#include <QImage>
#include <QPixmap>

namespace kestrel::resources {
namespace artwork {
// Defined in the generated artwork_data.cpp.
extern const unsigned char kBannerBitmap[];
extern const unsigned kBannerBitmapSize;
extern const unsigned char* const kIconPngs[];
extern const unsigned kIconPngSizes[];
}  // namespace artwork

QByteArray BannerBitmapFile() {
  return QByteArray::fromRawData(reinterpret_cast<const char*>(artwork::kBannerBitmap),
                                 static_cast<qsizetype>(artwork::kBannerBitmapSize));
}

QIcon ApplicationIcon() {
  QIcon icon;
  for (int i = 0; artwork::kIconPngs[i] != nullptr; ++i) {
    QImage image;
    if (image.loadFromData(artwork::kIconPngs[i], static_cast<int>(artwork::kIconPngSizes[i]),
                           "PNG")) {
      icon.addPixmap(QPixmap::fromImage(image));
    }
  }
  return icon;
}

}  // namespace kestrel::resources
