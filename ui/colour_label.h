// ColourLabel: a static text whose text colour and background colour are set at run time.
// The whole control is painted with one solid brush of the background colour; the text is
// drawn by the label itself in its own font.
//
// Colours are 32-bit values with red in the low byte, then green, then blue. The value
// kSystemColour (all bits set, -1) is not a colour: passed to a setter it selects the
// system's default (button text, button face).
//
// The setters may be called from any thread. The new colour is stored at once (the getters
// return it); rebuilding the brush and repainting happen on the label's own thread, so a paint
// never sees a brush that another thread is replacing.
#pragma once

#include "ui/thread_handoff.h"

#include <QBrush>
#include <QColor>
#include <QLabel>

#include <atomic>
#include <cstdint>
#include <memory>

namespace kestrel::ui {

using ColourRef = std::uint32_t;
constexpr ColourRef kSystemColour = 0xFFFFFFFFU;

constexpr ColourRef Rgb(int red, int green, int blue) {
  return static_cast<ColourRef>(red & 0xFF) | (static_cast<ColourRef>(green & 0xFF) << 8) |
         (static_cast<ColourRef>(blue & 0xFF) << 16);
}
QColor ToQColor(ColourRef colour);
ColourRef FromQColor(const QColor& colour);

class ColourLabel : public QLabel {
  Q_OBJECT

 public:
  explicit ColourLabel(QWidget* parent = nullptr);
  ~ColourLabel() override;

  // kSystemColour selects the system button-text colour; any other value is used unchanged.
  void SetTextColour(ColourRef colour);
  // kSystemColour selects the system button-face colour; any other value is used unchanged.
  // The old brush is dropped and a new solid brush of the colour made.
  void SetBackgroundColour(ColourRef colour);
  ColourRef TextColour() const { return textColour_.load(); }
  ColourRef BackgroundColour() const { return backgroundColour_.load(); }

  // Sets the label's text from any thread (queued to the label's thread when needed).
  void SetTextFromAnyThread(const QString& text);

  // The colour of the brush the label paints with now (its own thread only).
  QColor BrushColour() const;
  // Brushes alive in all labels of the process: one per label.
  static int LiveBrushes();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  static ColourRef SystemTextColour();
  static ColourRef SystemFaceColour();
  // Label thread: brings the brush and the text colour in line with the stored colours.
  void ApplyColours();
  void ApplyOnLabelThread();

  std::atomic<ColourRef> textColour_;
  std::atomic<ColourRef> backgroundColour_;
  std::atomic<bool> applyQueued_{false};
  ThreadHandoff* handoff_;  // a child: text and colour changes from other threads
  struct CountedBrush;
  std::unique_ptr<CountedBrush> brush_;  // label thread only
};

}  // namespace kestrel::ui
