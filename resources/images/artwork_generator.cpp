// Draws the station's artwork at build time: the About box banner (a 380 x 110 landscape,
// stored as an uncompressed 24-bit bitmap file) and the application icon at its sizes.
//
//   kestrel-artwork-gen OUTDIR
//
// writes OUTDIR/artwork_data.cpp (the pictures as byte arrays for the program) and, for
// looking at them, OUTDIR/banner.bmp, OUTDIR/banner.png and OUTDIR/icon-<size>.png.
// Everything is drawn from code with a fixed pseudo-random sequence, so every build makes the
// same pictures.
#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int kBannerWidth = 380;
constexpr int kBannerHeight = 110;
constexpr int kIconSizes[] = {16, 24, 32, 48, 64, 256};

// A small fixed generator: the pictures must not change from build to build.
class Noise {
 public:
  explicit Noise(std::uint32_t seed) : state_(seed) {}
  double Next() {  // [0, 1)
    state_ = state_ * 1664525U + 1013904223U;
    return static_cast<double>(state_ >> 8) / static_cast<double>(1U << 24);
  }
  double Range(double lo, double hi) { return lo + (hi - lo) * Next(); }

 private:
  std::uint32_t state_;
};

// A ridge line across the banner: a sum of a few sines plus a little jitter.
std::vector<double> Ridge(Noise& noise, double base, double amplitude, double roughness) {
  std::vector<double> y(kBannerWidth + 1);
  const double p1 = noise.Range(0, 6.28), p2 = noise.Range(0, 6.28), p3 = noise.Range(0, 6.28);
  double jitter = 0;
  for (int x = 0; x <= kBannerWidth; ++x) {
    const double t = x / static_cast<double>(kBannerWidth);
    jitter = 0.8 * jitter + noise.Range(-roughness, roughness);
    y[x] = base -
           amplitude * (0.55 * std::sin(t * 5.1 + p1) + 0.3 * std::sin(t * 11.7 + p2) +
                        0.15 * std::sin(t * 23.3 + p3)) +
           jitter;
  }
  return y;
}

QPainterPath Below(const std::vector<double>& ridge) {
  QPainterPath path;
  path.moveTo(0, kBannerHeight);
  for (int x = 0; x <= kBannerWidth; ++x) path.lineTo(x, ridge[x]);
  path.lineTo(kBannerWidth, kBannerHeight);
  path.closeSubpath();
  return path;
}

// A kestrel hovering into the wind: pointed wings, long tail, seen from below.
QPainterPath HoveringKestrel(double cx, double cy, double span) {
  const double s = span / 2.0;
  QPainterPath bird;
  bird.moveTo(cx, cy - 0.10 * s);                                           // head
  bird.cubicTo(cx + 0.25 * s, cy - 0.30 * s, cx + 0.70 * s, cy - 0.42 * s,  // right wing, front
               cx + 1.00 * s, cy - 0.20 * s);
  bird.cubicTo(cx + 0.70 * s, cy - 0.18 * s, cx + 0.35 * s, cy - 0.02 * s,  // right wing, back
               cx + 0.10 * s, cy + 0.08 * s);
  bird.lineTo(cx + 0.15 * s, cy + 0.46 * s);  // tail, fanned
  bird.quadTo(cx, cy + 0.52 * s, cx - 0.15 * s, cy + 0.46 * s);
  bird.lineTo(cx - 0.10 * s, cy + 0.08 * s);
  bird.cubicTo(cx - 0.35 * s, cy - 0.02 * s, cx - 0.70 * s, cy - 0.18 * s,  // left wing
               cx - 1.00 * s, cy - 0.20 * s);
  bird.cubicTo(cx - 0.70 * s, cy - 0.42 * s, cx - 0.25 * s, cy - 0.30 * s, cx, cy - 0.10 * s);
  bird.closeSubpath();
  bird.addEllipse(QPointF(cx, cy - 0.16 * s), 0.09 * s, 0.09 * s);
  return bird;
}

QImage DrawBanner() {
  QImage image(kBannerWidth, kBannerHeight, QImage::Format_RGB32);
  Noise noise(0x4B657374U);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);

  // Evening sky over a valley, the sun low on the right.
  QLinearGradient sky(0, 0, 0, 78);
  sky.setColorAt(0.0, QColor(38, 66, 122));
  sky.setColorAt(0.55, QColor(120, 128, 170));
  sky.setColorAt(0.85, QColor(236, 168, 118));
  sky.setColorAt(1.0, QColor(252, 206, 142));
  p.fillRect(image.rect(), sky);

  QRadialGradient glow(QPointF(305, 60), 70);
  glow.setColorAt(0.0, QColor(255, 236, 180, 230));
  glow.setColorAt(0.25, QColor(255, 200, 130, 120));
  glow.setColorAt(1.0, QColor(255, 170, 110, 0));
  p.fillRect(image.rect(), glow);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 244, 214));
  p.drawEllipse(QPointF(305, 60), 9, 9);

  // Thin clouds lit from below.
  for (int i = 0; i < 7; ++i) {
    const double cx = noise.Range(0, kBannerWidth), cy = noise.Range(10, 45);
    const double w = noise.Range(40, 110), h = noise.Range(2.5, 5);
    QLinearGradient cloud(0, cy - h, 0, cy + h);
    cloud.setColorAt(0, QColor(255, 255, 255, 0));
    cloud.setColorAt(0.6, QColor(250, 214, 190, 70));
    cloud.setColorAt(1, QColor(255, 255, 255, 0));
    p.setBrush(cloud);
    p.drawEllipse(QPointF(cx, cy), w, h);
  }

  // Three ranges of hills, fading with distance.
  const struct {
    double base, amplitude, roughness;
    QColor near, far;
  } ranges[] = {
      {66, 14, 0.9, QColor(124, 112, 150), QColor(150, 132, 160)},
      {78, 10, 0.7, QColor(78, 88, 104), QColor(96, 100, 118)},
      {90, 6, 0.5, QColor(58, 78, 52), QColor(72, 92, 56)},
  };
  for (const auto& r : ranges) {
    const std::vector<double> ridge = Ridge(noise, r.base, r.amplitude, r.roughness);
    QLinearGradient fill(0, r.base - r.amplitude, 0, kBannerHeight);
    fill.setColorAt(0, r.far);
    fill.setColorAt(1, r.near);
    p.setBrush(fill);
    p.drawPath(Below(ridge));
  }

  // Meadow in front with furrows running to the horizon.
  QLinearGradient meadow(0, 96, 0, kBannerHeight);
  meadow.setColorAt(0, QColor(86, 104, 48));
  meadow.setColorAt(1, QColor(52, 66, 30));
  p.setBrush(meadow);
  p.drawRect(QRectF(0, 97, kBannerWidth, kBannerHeight - 97));
  p.setPen(QPen(QColor(40, 52, 24, 110), 1));
  for (int i = -20; i < 40; ++i) {
    p.drawLine(QPointF(190 + i * 3.0, 97), QPointF(190 + i * 22.0, kBannerHeight));
  }
  p.setPen(Qt::NoPen);

  // A row of poplars on the middle ridge.
  for (int i = 0; i < 9; ++i) {
    const double x = 22 + i * 9 + noise.Range(-2, 2), h = noise.Range(9, 15);
    p.setBrush(QColor(44, 58, 40));
    p.drawEllipse(QPointF(x, 92 - h / 2), 2.6, h / 2);
  }

  // The kestrel, hovering over the meadow.
  p.setBrush(QColor(46, 32, 24));
  p.drawPath(HoveringKestrel(112, 36, 44));
  p.end();

  // Film grain and a soft vignette make it read as a photograph.
  for (int y = 0; y < kBannerHeight; ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < kBannerWidth; ++x) {
      const double dx = (x - kBannerWidth / 2.0) / (kBannerWidth / 2.0);
      const double dy = (y - kBannerHeight / 2.0) / (kBannerHeight / 2.0);
      const double shade = 1.0 - 0.16 * (dx * dx + 0.5 * dy * dy);
      const double grain = noise.Range(-5, 5);
      auto channel = [&](int v) {
        return std::clamp(static_cast<int>(std::lround(v * shade + grain)), 0, 255);
      };
      row[x] = qRgb(channel(qRed(row[x])), channel(qGreen(row[x])), channel(qBlue(row[x])));
    }
  }
  return image;
}

QImage DrawIcon(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 64.0, size / 64.0);

  // Rounded tile: dusk sky.
  QLinearGradient tile(0, 0, 0, 64);
  tile.setColorAt(0, QColor(44, 84, 150));
  tile.setColorAt(0.7, QColor(214, 140, 96));
  tile.setColorAt(1, QColor(246, 196, 120));
  p.setPen(QPen(QColor(24, 44, 86), 1.5));
  p.setBrush(tile);
  p.drawRoundedRect(QRectF(1.5, 1.5, 61, 61), 12, 12);

  // The bird in rufous with dark wing tips, large enough to read at 16 pixels.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(168, 78, 34));
  p.drawPath(HoveringKestrel(32, 30, 54));
  p.setBrush(QColor(40, 26, 20));
  QPainterPath tips;
  tips.moveTo(59, 24.6);
  tips.lineTo(50, 22.2);
  tips.lineTo(52, 26.0);
  tips.closeSubpath();
  tips.moveTo(5, 24.6);
  tips.lineTo(14, 22.2);
  tips.lineTo(12, 26.0);
  tips.closeSubpath();
  p.drawPath(tips);
  // Dark head and a pale, streaked breast.
  p.setBrush(QColor(58, 40, 30));
  p.drawEllipse(QPointF(32, 25.7), 3.0, 3.0);
  p.setBrush(QColor(236, 200, 150));
  p.drawEllipse(QPointF(32, 32.2), 2.2, 3.6);
  p.end();
  return image;
}

// An uncompressed 24-bit bitmap file: 14-byte file header, 40-byte info header, bottom-up
// rows padded to 4 bytes, blue-green-red.
QByteArray BitmapFile(const QImage& image) {
  const int w = image.width(), h = image.height();
  const int rowBytes = ((24 * w + 31) / 32) * 4;
  const int offset = 14 + 40;
  QByteArray out;
  auto u16 = [&](int v) {
    out.append(static_cast<char>(v & 0xFF));
    out.append(static_cast<char>((v >> 8) & 0xFF));
  };
  auto u32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.append(static_cast<char>((v >> (8 * i)) & 0xFF));
  };
  out.append("BM");
  u32(static_cast<std::uint32_t>(offset + rowBytes * h));
  u16(0);
  u16(0);
  u32(offset);
  u32(40);
  u32(static_cast<std::uint32_t>(w));
  u32(static_cast<std::uint32_t>(h));
  u16(1);
  u16(24);
  u32(0);  // no compression
  u32(static_cast<std::uint32_t>(rowBytes * h));
  u32(2835);  // 72 dpi
  u32(2835);
  u32(0);
  u32(0);
  for (int y = h - 1; y >= 0; --y) {
    const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    int written = 0;
    for (int x = 0; x < w; ++x) {
      out.append(static_cast<char>(qBlue(row[x])));
      out.append(static_cast<char>(qGreen(row[x])));
      out.append(static_cast<char>(qRed(row[x])));
      written += 3;
    }
    for (; written < rowBytes; ++written) out.append('\0');
  }
  return out;
}

QByteArray Png(const QImage& image) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes;
}

void AppendArray(QByteArray& source, const char* name, const QByteArray& data) {
  source += "extern const unsigned char ";
  source += name;
  source += "[];\nconst unsigned char ";
  source += name;
  source += "[] = {";
  for (int i = 0; i < data.size(); ++i) {
    if (i % 20 == 0) source += "\n   ";
    source += ' ';
    source += QByteArray::number(static_cast<unsigned char>(data[i]));
    source += ',';
  }
  source += "\n};\nextern const unsigned ";
  source += name;
  source += "Size;\nconst unsigned ";
  source += name;
  source += "Size = " + QByteArray::number(data.size()) + "U;\n\n";
}

bool WriteFile(const QString& path, const QByteArray& data) {
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size()) {
    std::fprintf(stderr, "kestrel-artwork-gen: cannot write %s\n", qPrintable(path));
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: kestrel-artwork-gen OUTDIR\n");
    return 2;
  }
  const QString dir = QString::fromLocal8Bit(argv[1]);
  const QImage banner = DrawBanner();
  const QByteArray bitmap = BitmapFile(banner);

  QByteArray source =
      "// Generated by kestrel-artwork-gen from resources/images/artwork_generator.cpp.\n"
      "// NOLINTBEGIN\n"
      "namespace kestrel::resources::artwork {\n\n";
  AppendArray(source, "kBannerBitmap", bitmap);
  bool ok = WriteFile(dir + QStringLiteral("/banner.bmp"), bitmap) &&
            WriteFile(dir + QStringLiteral("/banner.png"), Png(banner));
  QByteArray table =
      "extern const unsigned char* const kIconPngs[];\n"
      "const unsigned char* const kIconPngs[] = {";
  QByteArray sizes = "extern const unsigned kIconPngSizes[];\nconst unsigned kIconPngSizes[] = {";
  for (int size : kIconSizes) {
    const QByteArray png = Png(DrawIcon(size));
    const QByteArray name = "kIcon" + QByteArray::number(size);
    AppendArray(source, name.constData(), png);
    table += name + ", ";
    sizes += name + "Size, ";
    ok = ok && WriteFile(dir + QStringLiteral("/icon-%1.png").arg(size), png);
  }
  source += table + "nullptr};\n" + sizes +
            "0U};\n\n}  // namespace kestrel::resources::artwork\n"
            "// NOLINTEND\n";
  ok = ok && WriteFile(dir + QStringLiteral("/artwork_data.cpp"), source);
  return ok ? 0 : 1;
}
