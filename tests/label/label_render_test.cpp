// Labels drawn and read back by the tools a line uses: the bar codes of a PNG and of a PDF
// decode to the values they were given, the PDF's page is the label's size, and a bar code that
// cannot be drawn refuses the whole label.
#include "label/label_render.h"
#include "label/label_template.h"
#include "tests/label/label_decode.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QImage>

#include <cstring>

namespace kestrel::label {
namespace {

using testing::PdfPageSizeMm;
using testing::ReadCode128;
using testing::ReadDataMatrix;
using testing::RenderPdfPage;

LabelTemplate Parse(const QByteArray& text) {
  LabelTemplate t;
  QString error;
  EXPECT_TRUE(ParseLabelTemplate(text, &t, &error)) << error.toStdString();
  return t;
}

LabelValues Imeis(const char* imei1, const char* imei2) {
  LabelValues v;
  v[LabelField::IMEI1] = QString::fromLatin1(imei1);
  v[LabelField::IMEI2] = QString::fromLatin1(imei2);
  return v;
}

class LabelRenderTest : public ::testing::Test {
 protected:
  kestrel::testing::StationDir dir_;
};

TEST_F(LabelRenderTest, TheDefaultLabelDecodesFromItsImageAndItsPdf) {
  const LabelTemplate t = Parse(DefaultTemplateText());
  const LabelValues v = Imeis("356938035643809", "356938035643817");
  const QStringList both{QStringLiteral("356938035643809"), QStringLiteral("356938035643817")};

  const QString png = dir_.File(QStringLiteral("label.png"));
  QString error;
  ASSERT_TRUE(WriteLabelFile(png, t, v, &error)) << error.toStdString();
  const QImage image(png);
  EXPECT_EQ(image.size(), QSize(600, 360));  // 50 x 30 mm at 12 dots a mm
  EXPECT_EQ(ReadCode128(png), both) << ReadCode128(png).join('|').toStdString();

  const QString pdf = dir_.File(QStringLiteral("label.pdf"));
  ASSERT_TRUE(WriteLabelFile(pdf, t, v, &error)) << error.toStdString();
  const QSizeF page = PdfPageSizeMm(pdf);
  EXPECT_NEAR(page.width(), 50, 0.2);
  EXPECT_NEAR(page.height(), 30, 0.2);
  EXPECT_EQ(ReadCode128(RenderPdfPage(pdf)), both);

  // Without IMEI2 its bar code and its digits are left out.
  const QImage one = RenderLabelImage(t, Imeis("356938035643809", ""), kPreviewDotsPerMm, &error);
  ASSERT_FALSE(one.isNull());
  ASSERT_TRUE(one.save(png));
  EXPECT_EQ(ReadCode128(png), QStringList{QStringLiteral("356938035643809")});
  const QImage lower = one.copy(0, 180, 600, 180);
  EXPECT_EQ(lower.convertToFormat(QImage::Format_Mono).pixelIndex(300, 60),
            one.convertToFormat(QImage::Format_Mono).pixelIndex(0, 0));  // blank, like a corner
}

TEST_F(LabelRenderTest, DataMatrixAndFieldsInTextDecodeToTheirValues) {
  const LabelTemplate t = Parse(
      "size 60 40\n"
      "datamatrix \"{IMEI1};{IMEI2}\" 2 2 20 20\n"
      "datamatrix SN1 30 2 20 20\n"
      "code128 \"BT {BT}\" 2 26 56 8\n"
      "text \"{STATION} {DATE}\" 2 35 56 4\n");
  LabelValues v = Imeis("356938035643809", "356938035643817");
  v[LabelField::SN1] = QStringLiteral("SN-0042-A");
  v[LabelField::BT] = QStringLiteral("0a0b0c0d0e0f");
  v[LabelField::Station] = QStringLiteral("LINE3-W2");
  v[LabelField::Date] = QStringLiteral("2026-12-09");
  const QString png = dir_.File(QStringLiteral("matrix.png"));
  QString error;
  ASSERT_TRUE(WriteLabelFile(png, t, v, &error)) << error.toStdString();
  EXPECT_EQ(ReadDataMatrix(png, 2).join('|').toStdString(),
            "356938035643809;356938035643817|SN-0042-A");
  EXPECT_EQ(ReadCode128(png).join('|').toStdString(), "BT 0a0b0c0d0e0f");
}

TEST_F(LabelRenderTest, ABarCodeThatCannotBeDrawnRefusesTheLabel) {
  const struct {
    QByteArray text;
    QString value;
    const char* error;  // the message, or its start when `prefix`
    bool prefix;
  } cases[] = {
      {"size 50 30\ntext IMEI1 0 0 50 5\ncode128 IMEI1 0 10 50 8\n", QStringLiteral("אבג"),
       "line 3 (code128): ", true},
      {"size 50 30\ncode128 IMEI1 0 0 5 8\n", QStringLiteral("356938035643809"),
       "line 2 (code128): 134 modules across do not fit the box at 12.0 dots a mm", false},
      {"size 50 30\ndatamatrix IMEI1 0 0 1 1\n", QStringLiteral("356938035643809"),
       "line 2 (datamatrix): 14 modules across do not fit the box at 12.0 dots a mm", false},
  };
  for (const auto& c : cases) {
    LabelValues v;
    v[LabelField::IMEI1] = c.value;
    QString error;
    EXPECT_TRUE(RenderLabelImage(Parse(c.text), v, kPreviewDotsPerMm, &error).isNull());
    if (c.prefix) {
      // libzint's own words follow.
      EXPECT_TRUE(error.startsWith(QLatin1String(c.error))) << error.toStdString();
      EXPECT_GT(error.size(), static_cast<qsizetype>(std::strlen(c.error))) << error.toStdString();
    } else {
      EXPECT_EQ(error.toStdString(), c.error);
    }
  }
  QString error;
  EXPECT_FALSE(WriteLabelFile(dir_.File(QStringLiteral("x.gif")), Parse(DefaultTemplateText()),
                              LabelValues{}, &error));
  EXPECT_EQ(error, QStringLiteral("the file must end in .png or .pdf"));
}

}  // namespace
}  // namespace kestrel::label
