// ColourLabel: the system defaults, the -1 reset, one live brush per label, the dialog font
// kept, and colour changes from another thread.
#include "ui/colour_label.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPalette>

#include <memory>
#include <thread>
#include <vector>

namespace kestrel::ui {
namespace {

QColor Corner(QWidget& w) {
  return w.grab().toImage().pixelColor(1, 1);
}

QColor SystemFace() {
  return QApplication::palette().color(QPalette::Active, QPalette::Button);
}
QColor SystemText() {
  return QApplication::palette().color(QPalette::Active, QPalette::ButtonText);
}

TEST(ColourLabel, NewLabelUsesSystemColoursAndMinusOneRestoresThem) {
  ColourLabel label;
  label.resize(60, 20);
  EXPECT_EQ(ToQColor(label.TextColour()), SystemText());
  EXPECT_EQ(ToQColor(label.BackgroundColour()), SystemFace());
  EXPECT_EQ(Corner(label), SystemFace());

  label.SetBackgroundColour(Rgb(255, 0, 0));
  EXPECT_EQ(label.BackgroundColour(), Rgb(255, 0, 0));
  EXPECT_EQ(Corner(label), QColor(255, 0, 0));

  label.SetBackgroundColour(kSystemColour);
  EXPECT_EQ(ToQColor(label.BackgroundColour()), SystemFace());
  EXPECT_EQ(Corner(label), SystemFace());

  label.SetTextColour(Rgb(0, 128, 0));
  label.SetTextColour(kSystemColour);
  EXPECT_EQ(ToQColor(label.TextColour()), SystemText());
}

TEST(ColourLabel, ColourValuesKeepRedInTheLowByte) {
  EXPECT_EQ(Rgb(0x12, 0x34, 0x56), 0x563412U);
  EXPECT_EQ(ToQColor(0x563412U), QColor(0x12, 0x34, 0x56));
  EXPECT_EQ(FromQColor(QColor(3, 253, 23)), Rgb(3, 253, 23));
}

TEST(ColourLabel, TextIsDrawnInTheTextColourOverTheBackground) {
  ColourLabel label;
  QFont big = label.font();
  big.setPixelSize(40);
  big.setBold(true);
  label.setFont(big);
  label.setText(QStringLiteral("MMMM"));
  label.resize(200, 60);
  label.SetBackgroundColour(Rgb(255, 255, 0));
  label.SetTextColour(Rgb(0, 0, 255));
  const QImage image = label.grab().toImage();
  int blue = 0;
  int yellow = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c == QColor(0, 0, 255)) ++blue;
      if (c == QColor(255, 255, 0)) ++yellow;
    }
  }
  EXPECT_GT(blue, 50);
  EXPECT_GT(yellow, blue);
}

TEST(ColourLabel, RepeatedChangesKeepOneLiveBrushPerLabelAndTheFont) {
  const int before = ColourLabel::LiveBrushes();
  {
    std::vector<std::unique_ptr<ColourLabel>> labels;
    for (int i = 0; i < 3; ++i) labels.push_back(std::make_unique<ColourLabel>());
    EXPECT_EQ(ColourLabel::LiveBrushes(), before + 3);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(23);
    labels[0]->setFont(font);
    for (int round = 0; round < 200; ++round) {
      for (auto& l : labels) {
        l->SetBackgroundColour(Rgb(round, 255 - round, round / 2));
        l->SetTextColour(Rgb(255 - round, round, 0));
      }
    }
    EXPECT_EQ(ColourLabel::LiveBrushes(), before + 3);
    EXPECT_EQ(labels[2]->BrushColour(), QColor(199, 56, 99));
    EXPECT_EQ(labels[0]->font().pixelSize(), 23);
    EXPECT_EQ(labels[0]->font().family(), font.family());
  }
  EXPECT_EQ(ColourLabel::LiveBrushes(), before);
}

TEST(ColourLabel, ChangesFromAnotherThreadReachTheLabelOnItsOwnThread) {
  ColourLabel label;
  label.resize(40, 20);
  const int before = ColourLabel::LiveBrushes();
  std::thread job([&label] {
    for (int i = 0; i <= 500; ++i) {
      label.SetBackgroundColour(Rgb(i % 256, 0, 255 - i % 256));
      label.SetTextColour(Rgb(0, i % 256, 0));
    }
    label.SetTextFromAnyThread(QStringLiteral("done"));
  });
  job.join();
  // The value is stored at once; the brush follows on the label's thread.
  EXPECT_EQ(label.BackgroundColour(), Rgb(500 % 256, 0, 255 - 500 % 256));
  QApplication::processEvents();
  EXPECT_EQ(label.BrushColour(), QColor(500 % 256, 0, 255 - 500 % 256));
  EXPECT_EQ(label.text(), QStringLiteral("done"));
  EXPECT_EQ(Corner(label), QColor(500 % 256, 0, 255 - 500 % 256));
  EXPECT_EQ(ColourLabel::LiveBrushes(), before);
}

}  // namespace
}  // namespace kestrel::ui
