// The About box: the version line rules, the texts read from this test's own version block
// (3.0.0.1), the painted layout, the stored banner, and closing on a click.
#include "ui/about_box.h"
#include "resources/images/artwork.h"
#include "ui/stored_bitmap.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <QtTest/QTest>

namespace kestrel::ui {
namespace {

TEST(AboutVersion, LastDotSplitsVersionFromAThreeDigitBuild) {
  const struct {
    const char* productVersion;
    const char* special;
    const char* line;
  } cases[] = {
      {"3, 0, 0, 1", "", "Version:        3.0.0001"},
      {"2, 1, 0, 7", "", "Version:        2.1.0007"},
      {"1.2", "", "Version:        1002"},
      {"7", "", "Version:        007"},
      {"", "", "Version:        000"},
      {"1.2.x", "", "Version:        1.2000"},
      {"1.0.0.1234", "", "Version:        1.0.01234"},
      {"2, 1, 0, 7", "  ", "Version:        2.1.0007"},
      {"2, 1, 0, 7", " B2 ", "Version:        2.1.0007_PB2"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AboutVersionLine(QString::fromUtf8(c.productVersion), QString::fromUtf8(c.special)),
              QString::fromUtf8(c.line))
        << c.productVersion << " / '" << c.special << "'";
  }
  const AboutVersion v = SplitProductVersion(QStringLiteral("2, 1, 0, 7"));
  EXPECT_EQ(v.version, QStringLiteral("2.1.0"));
  EXPECT_EQ(v.build, QStringLiteral("007"));
}

TEST(AboutBox, ShowsTheExecutablesOwnVersionBlock) {
  AboutBox box;
  EXPECT_EQ(box.ProductName(), QStringLiteral("Kestrel"));
  EXPECT_EQ(box.VersionLine(), QStringLiteral("Version:        3.0.0001"));
  EXPECT_FALSE(box.LegalText().isEmpty());
}

TEST(AboutBox, IsABorderlessBannerSizedBoxWithoutChildControls) {
  AboutBox plain(AboutTexts{});
  EXPECT_TRUE(plain.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(plain.size(), QSize(380, 210));
  EXPECT_TRUE(plain.findChildren<QWidget*>().isEmpty());
  // Without a block: no name, build 000, empty legal line.
  EXPECT_TRUE(plain.ProductName().isEmpty());
  EXPECT_EQ(plain.VersionLine(), QStringLiteral("Version:        000"));

  AboutBox withExtra(AboutTexts{}, nullptr, QStringLiteral("MS1"));
  EXPECT_EQ(withExtra.ExtraHeight(), 20);
  EXPECT_EQ(withExtra.size(), QSize(380, 230));

  // The station's box names its phone library on a line of its own, once however often set.
  EXPECT_TRUE(withExtra.PhoneLibraryLine().isEmpty());
  withExtra.SetPhoneLibraryLine(QStringLiteral("Vendor Phone 2.1"));
  withExtra.SetPhoneLibraryLine(QStringLiteral("Kestrel Oxbind 1.0.0.1"));
  EXPECT_EQ(withExtra.PhoneLibraryLine(), QStringLiteral("Phone library:  Kestrel Oxbind 1.0.0.1"));
  EXPECT_EQ(withExtra.ExtraHeight(), 40);
  EXPECT_EQ(withExtra.size(), QSize(380, 250));
}

TEST(AboutBox, PaintsBackgroundIconAndBannerInTheirPlaces) {
  AboutBox box(AboutTexts{QStringLiteral("Kestrel"), QStringLiteral("1, 0, 0, 1"),
                          QStringLiteral("Copyright"), QString()});
  const QImage shot = box.grab().toImage();
  const QImage& banner = box.Banner();
  ASSERT_EQ(banner.size(), QSize(resources::kBannerWidth, resources::kBannerHeight));
  EXPECT_EQ(shot.pixelColor(360, 5), QColor(232, 232, 232));
  for (const QPoint p : {QPoint(0, 0), QPoint(190, 55), QPoint(379, 109)}) {
    EXPECT_EQ(shot.pixelColor(p + QPoint(0, 100)), banner.pixelColor(p)) << p.x() << "," << p.y();
  }
  int iconPixels = 0;
  for (int y = 35; y < 67; ++y) {
    for (int x = 20; x < 52; ++x) iconPixels += shot.pixelColor(x, y) != QColor(232, 232, 232);
  }
  EXPECT_GT(iconPixels, 300);
  // The product name is drawn in its blue at (70, 20).
  int nameBlue = 0;
  for (int y = 20; y < 50; ++y) {
    for (int x = 70; x < 200; ++x) nameBlue += shot.pixelColor(x, y) == QColor(58, 110, 165);
  }
  EXPECT_GT(nameBlue, 20);
}

TEST(AboutBox, AClickAnywhereClosesIt) {
  AboutBox box(AboutTexts{});
  QTimer::singleShot(0, &box, [&box] { QTest::mouseClick(&box, Qt::LeftButton, {}, {300, 150}); });
  EXPECT_EQ(box.exec(), QDialog::Accepted);
}

QByteArray TinyBitmap(int width, int height, int bits, int compression) {
  const int rowBytes = ((bits * width + 31) / 32) * 4;
  const int rows = height < 0 ? -height : height;
  QByteArray b(54 + rowBytes * rows, '\0');
  auto put32 = [&b](int at, quint32 v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  };
  b[0] = 'B';
  b[1] = 'M';
  put32(2, static_cast<quint32>(b.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, static_cast<quint32>(width));
  put32(22, static_cast<quint32>(height));
  b[26] = 1;
  b[28] = static_cast<char>(bits);
  put32(30, static_cast<quint32>(compression));
  return b;
}

TEST(StoredBitmap, ReadsRowsBottomUpWithPaddingAndRefusesWhatItCannotHold) {
  // 2 x 2, 24 bits: rows of 6 bytes padded to 8; the first stored row is the bottom one.
  QByteArray b = TinyBitmap(2, 2, 24, 0);
  const char bottom[] = {0, 0, '\xff', 0, '\xff', 0};  // red, green (blue-green-red order)
  const char top[] = {'\xff', 0, 0, '\x10', '\x20', '\x30'};
  for (int i = 0; i < 6; ++i) {
    b[54 + i] = bottom[i];
    b[62 + i] = top[i];
  }
  const QImage image = DecodeStoredBitmap(b);
  ASSERT_EQ(image.size(), QSize(2, 2));
  EXPECT_EQ(image.pixelColor(0, 1), QColor(255, 0, 0));
  EXPECT_EQ(image.pixelColor(1, 1), QColor(0, 255, 0));
  EXPECT_EQ(image.pixelColor(0, 0), QColor(0, 0, 255));
  EXPECT_EQ(image.pixelColor(1, 0), QColor(0x30, 0x20, 0x10));

  EXPECT_TRUE(DecodeStoredBitmap(b.left(b.size() - 1)).isNull());  // truncated rows
  EXPECT_TRUE(DecodeStoredBitmap(TinyBitmap(2, 2, 32, 0)).isNull());
  EXPECT_TRUE(DecodeStoredBitmap(TinyBitmap(2, 2, 24, 1)).isNull());
  EXPECT_TRUE(DecodeStoredBitmap(TinyBitmap(0, 2, 24, 0)).isNull());
  EXPECT_TRUE(DecodeStoredBitmap(TinyBitmap(1 << 20, 1, 24, 0).left(60)).isNull());
  EXPECT_TRUE(DecodeStoredBitmap(QByteArray("BM")).isNull());
  EXPECT_FALSE(DecodeStoredBitmap(TinyBitmap(3, -2, 24, 0)).isNull());  // top-down

  const QImage stored = DecodeStoredBitmap(resources::BannerBitmapFile());
  EXPECT_EQ(stored.size(), QSize(380, 110));
}

}  // namespace
}  // namespace kestrel::ui
