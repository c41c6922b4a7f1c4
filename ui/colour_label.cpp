#include "ui/colour_label.h"

#include <QApplication>
#include <QMetaObject>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <QThread>

namespace kestrel::ui {
namespace {
std::atomic<int> g_liveBrushes{0};
}  // namespace

// The label's solid brush; counted so that a leak of brushes shows.
struct ColourLabel::CountedBrush {
  explicit CountedBrush(const QColor& colour) : brush(colour, Qt::SolidPattern) { ++g_liveBrushes; }
  ~CountedBrush() { --g_liveBrushes; }
  CountedBrush(const CountedBrush&) = delete;
  CountedBrush& operator=(const CountedBrush&) = delete;
  QBrush brush;
};

QColor ToQColor(ColourRef colour) {
  return QColor(static_cast<int>(colour & 0xFF), static_cast<int>((colour >> 8) & 0xFF),
                static_cast<int>((colour >> 16) & 0xFF));
}

ColourRef FromQColor(const QColor& colour) {
  return Rgb(colour.red(), colour.green(), colour.blue());
}

ColourRef ColourLabel::SystemTextColour() {
  return FromQColor(QApplication::palette().color(QPalette::Active, QPalette::ButtonText));
}

ColourRef ColourLabel::SystemFaceColour() {
  return FromQColor(QApplication::palette().color(QPalette::Active, QPalette::Button));
}

ColourLabel::ColourLabel(QWidget* parent)
    : QLabel(parent),
      textColour_(SystemTextColour()),
      backgroundColour_(SystemFaceColour()),
      handoff_(new ThreadHandoff(this)) {
  setAutoFillBackground(false);
  ApplyColours();
}

ColourLabel::~ColourLabel() = default;

void ColourLabel::SetTextColour(ColourRef colour) {
  textColour_.store(colour == kSystemColour ? SystemTextColour() : colour);
  ApplyOnLabelThread();
}

void ColourLabel::SetBackgroundColour(ColourRef colour) {
  backgroundColour_.store(colour == kSystemColour ? SystemFaceColour() : colour);
  ApplyOnLabelThread();
}

void ColourLabel::SetTextFromAnyThread(const QString& text) {
  if (QThread::currentThread() == thread()) {
    setText(text);
    return;
  }
  handoff_->Post([this, text] { setText(text); });
}

void ColourLabel::ApplyOnLabelThread() {
  if (QThread::currentThread() == thread()) {
    ApplyColours();
    return;
  }
  // Several changes from another thread before the label's thread gets to them need one
  // repaint only; the last stored colours win.
  if (applyQueued_.exchange(true)) return;
  handoff_->Post([this] {
    applyQueued_.store(false);
    ApplyColours();
  });
}

void ColourLabel::ApplyColours() {
  const QColor background = ToQColor(backgroundColour_.load());
  if (!brush_ || brush_->brush.color() != background) {
    brush_.reset();  // the old brush goes before the new one is made
    brush_ = std::make_unique<CountedBrush>(background);
  }
  QPalette p = palette();
  const QColor text = ToQColor(textColour_.load());
  for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
    p.setColor(group, QPalette::WindowText, text);
    p.setColor(group, QPalette::Text, text);
  }
  setPalette(p);
  update();
}

QColor ColourLabel::BrushColour() const {
  return brush_ ? brush_->brush.color() : QColor();
}

int ColourLabel::LiveBrushes() {
  return g_liveBrushes.load();
}

void ColourLabel::paintEvent(QPaintEvent* event) {
  {
    QPainter painter(this);
    painter.fillRect(rect(), brush_->brush);
  }
  QLabel::paintEvent(event);
}

}  // namespace kestrel::ui
