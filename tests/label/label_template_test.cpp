// The template format as a line engineer writes it: what a good template gives, and for each
// kind of mistake the line and the words the station shows at start-up.
#include "label/label_template.h"

#include <gtest/gtest.h>

namespace kestrel::label {
namespace {

TEST(LabelTemplate, TheDefaultTemplateIsTwoImeisAsCode128WithTheirDigits) {
  LabelTemplate t;
  QString error;
  ASSERT_TRUE(ParseLabelTemplate(DefaultTemplateText(), &t, &error)) << error.toStdString();
  EXPECT_EQ(t.sizeMm, QSizeF(50, 30));
  ASSERT_EQ(t.items.size(), 4u);
  LabelValues v;
  v[LabelField::IMEI1] = QStringLiteral("356938035643809");
  v[LabelField::IMEI2] = QStringLiteral("356938035643817");
  EXPECT_EQ(t.items[0].kind, ItemKind::Code128);
  EXPECT_EQ(ItemText(t.items[0], v), v[LabelField::IMEI1]);
  EXPECT_EQ(t.items[1].kind, ItemKind::Text);
  EXPECT_EQ(ItemText(t.items[1], v), QStringLiteral("IMEI1 356938035643809"));
  EXPECT_EQ(t.items[2].kind, ItemKind::Code128);
  EXPECT_EQ(ItemText(t.items[2], v), v[LabelField::IMEI2]);
  EXPECT_EQ(ItemText(t.items[3], v), QStringLiteral("IMEI2 356938035643817"));
  for (const LabelItem& item : t.items) {
    EXPECT_TRUE(QRectF(0, 0, 50, 30).contains(item.boxMm)) << item.line;
  }
}

TEST(LabelTemplate, ReadsEveryKindOfItemWithItsOptionsAndFields) {
  const QByteArray text =
      "\xEF\xBB\xBF# a box label\r\n"
      "SIZE 100 62.5   # mm\r\n"
      "\r\n"
      "DataMatrix \"{imei1};{IMEI2}\" 80 2.5 18 18\r\n"
      "text \"{{SN}} {SN1} \\\"{date}\\\" # {Station}\" 0 20 100 5 centre bold\r\n"
      "code128 wifi 0 .5 60 10\r\n"
      "text \"#1\" 0 40 10 4 right\r\n";
  LabelTemplate t;
  QString error;
  ASSERT_TRUE(ParseLabelTemplate(text, &t, &error)) << error.toStdString();
  EXPECT_EQ(t.sizeMm, QSizeF(100, 62.5));
  ASSERT_EQ(t.items.size(), 4u);
  LabelValues v;
  v[LabelField::IMEI1] = QStringLiteral("1");
  v[LabelField::IMEI2] = QStringLiteral("2");
  v[LabelField::SN1] = QStringLiteral("S");
  v[LabelField::Date] = QStringLiteral("2026-12-09");
  v[LabelField::Station] = QStringLiteral("W2");
  v[LabelField::WIFI] = QStringLiteral("00037f000001");
  EXPECT_EQ(t.items[0].kind, ItemKind::DataMatrix);
  EXPECT_EQ(t.items[0].line, 4);
  EXPECT_EQ(ItemText(t.items[0], v), QStringLiteral("1;2"));
  EXPECT_EQ(t.items[0].boxMm, QRectF(80, 2.5, 18, 18));
  EXPECT_EQ(ItemText(t.items[1], v), QStringLiteral("{SN} S \"2026-12-09\" # W2"));
  EXPECT_EQ(t.items[1].align, TextAlign::Center);
  EXPECT_TRUE(t.items[1].bold);
  EXPECT_EQ(ItemText(t.items[2], v), QStringLiteral("00037f000001"));
  EXPECT_EQ(t.items[2].boxMm, QRectF(0, 0.5, 60, 10));
  EXPECT_EQ(ItemText(t.items[3], v), QStringLiteral("#1"));
  EXPECT_EQ(t.items[3].align, TextAlign::Right);
  EXPECT_FALSE(t.items[3].bold);

  // An item that names only empty fields has nothing to draw; a constant text always has.
  v[LabelField::WIFI].clear();
  EXPECT_FALSE(ItemHasContent(t.items[2], v));
  EXPECT_TRUE(ItemHasContent(t.items[3], v));
  v[LabelField::IMEI1].clear();
  EXPECT_TRUE(ItemHasContent(t.items[0], v));  // IMEI2 is still there
}

TEST(LabelTemplate, RefusesEachKindOfMistakeWithItsLine) {
  const struct {
    QByteArray text;
    const char* error;
  } cases[] = {
      {"", "the template gives no label size (a first line such as: size 50 30)"},
      {"size 50 30\n# nothing else\n", "the template has no items"},
      {"code128 IMEI1 0 0 10 10\nsize 50 30\n",
       "line 1: the label size must come first: size WIDTH HEIGHT"},
      {"size 50 30\nsize 40 20\n", "line 2: the label size is given twice (first on line 1)"},
      {"size 50\n", "line 1: the size takes two lengths: size WIDTH HEIGHT (mm)"},
      {"size 50 3\n", "line 1: the label's height must lie between 5 and 400 mm"},
      {"size 4,5 30\n", "line 1: '4,5' is not a length in millimetres (write a point: 4.5)"},
      {"size 50 30\nqr IMEI1 0 0 10 10\n",
       "line 2: unknown item 'qr' (size, text, code128 or datamatrix)"},
      {"size 50 30\n\ncode128 IMEI5 0 0 10 10\n",
       "line 3: unknown field 'IMEI5' (fields: IMEI1, IMEI2, IMEI3, IMEI4, BT, WIFI, SN1, SN2, "
       "DATE, STATION; a text goes in quotes)"},
      {"size 50 30\ntext \"IMEI {IMEI}\" 0 0 10 3\n",
       "line 2: unknown field {IMEI} (fields: IMEI1, IMEI2, IMEI3, IMEI4, BT, WIFI, SN1, SN2, "
       "DATE, STATION)"},
      {"size 50 30\ntext \"{IMEI1\" 0 0 10 3\n",
       "line 2: a '{' without its '}' (write {{ for the brace itself)"},
      {"size 50 30\ntext \"a}\" 0 0 10 3\n",
       "line 2: a '}' without its '{' (write }} for the brace itself)"},
      {"size 50 30\ntext \"IMEI1 0 0 10 3\n", "line 2: the quoted text has no closing quote"},
      {"size 50 30\ntext \"x\"0 0 10 3\n", "line 2: a quoted text must be followed by a space"},
      {"size 50 30\ntext \"\" 0 0 10 3\n", "line 2: the quoted text is empty"},
      {"size 50 30\ncode128 IMEI1 0 0 10\n",
       "line 2: an item is: code128 CONTENT X Y WIDTH HEIGHT (mm)"},
      {"size 50 30\ncode128 IMEI1 0 -1 10 8\n", "line 2: '-1' is not a length in millimetres"},
      {"size 50 30\ncode128 IMEI1 0 0 10 0.2\n",
       "line 2: the item's height must be at least 0.5 mm"},
      {"size 50 30\ncode128 IMEI1 45 0 10 8\n",
       "line 2: the item reaches past the label's right edge (45 + 10 > 50 mm)"},
      {"size 50 30\ntext IMEI1 0 28 10 2.5\n",
       "line 2: the item reaches past the label's bottom edge (28 + 2.5 > 30 mm)"},
      {"size 50 30\ncode128 IMEI1 0 0 40 8 center\n",
       "line 2: a bar code takes no options ('center')"},
      {"size 50 30\ntext IMEI1 0 0 40 3 italic\n",
       "line 2: unknown option 'italic' (left, center, right, bold)"},
  };
  for (const auto& c : cases) {
    LabelTemplate t;
    QString error;
    EXPECT_FALSE(ParseLabelTemplate(c.text, &t, &error)) << c.text.toStdString();
    EXPECT_EQ(error.toStdString(), c.error) << c.text.toStdString();
  }
}

TEST(LabelTemplate, RefusesTooManyItemsAndTooLargeAFile) {
  QByteArray many = "size 50 30\n";
  for (int i = 0; i <= kMaxItems; ++i) many += "text \"x\" 0 0 1 1\n";
  QString error;
  LabelTemplate t;
  EXPECT_FALSE(ParseLabelTemplate(many, &t, &error));
  EXPECT_EQ(error, QStringLiteral("line %1: more than %2 items").arg(kMaxItems + 2).arg(kMaxItems));
  EXPECT_FALSE(ParseLabelTemplate("size 50 30\n" + QByteArray(kMaxTemplateBytes, '#'), &t, &error));
  EXPECT_EQ(error, QStringLiteral("the template is larger than 64 KiB"));
}

}  // namespace
}  // namespace kestrel::label
