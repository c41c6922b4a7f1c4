// The station's artwork, drawn at build time by kestrel-artwork-gen (artwork_generator.cpp)
// and carried in the program: the About box banner and the application icon (icon 111).
#pragma once

#include <QByteArray>
#include <QIcon>

namespace kestrel::resources {

constexpr int kBannerWidth = 380;
constexpr int kBannerHeight = 110;

// The banner as a stored bitmap file: 380 x 110 pixels, 24 bits per pixel, uncompressed,
// rows bottom-up from the offset its file header gives.
QByteArray BannerBitmapFile();

// The application icon with every size it is drawn at (16 to 256 pixels).
QIcon ApplicationIcon();

}  // namespace kestrel::resources
