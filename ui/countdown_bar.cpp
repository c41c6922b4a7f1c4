#include "ui/countdown_bar.h"

#include <algorithm>

namespace kestrel::ui {

CountdownBar::CountdownBar(QWidget* parent) : QProgressBar(parent) {
  setTextVisible(true);
  setAlignment(Qt::AlignCenter);
  setLayoutDirection(Qt::LeftToRight);
  // The bar keeps its room when hidden, so that the result label above it never jumps.
  QSizePolicy policy = sizePolicy();
  policy.setRetainSizeWhenHidden(true);
  setSizePolicy(policy);
  hide();
  timer_.setInterval(kTickMs);
  connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
}

void CountdownBar::Start(int totalMs, int elapsedMs) {
  totalMs_ = std::max(0, totalMs);
  elapsedAtStartMs_ = std::clamp(elapsedMs, 0, totalMs_);
  clock_.start();
  setRange(0, std::max(1, totalMs_));
  Tick();
  timer_.start();
  show();
}

void CountdownBar::Stop() {
  timer_.stop();
  hide();
}

int CountdownBar::RemainingMs() const {
  if (!timer_.isActive()) return 0;
  const qint64 gone = elapsedAtStartMs_ + clock_.elapsed();
  return static_cast<int>(std::max<qint64>(0, totalMs_ - gone));
}

QString CountdownBar::SecondsText(int ms) {
  return QStringLiteral("%1 s").arg((std::max(0, ms) + 999) / 1000);
}

void CountdownBar::Tick() {
  const qint64 gone = elapsedAtStartMs_ + (clock_.isValid() ? clock_.elapsed() : 0);
  const int left = static_cast<int>(std::max<qint64>(0, totalMs_ - gone));
  setValue(left);
  setFormat(SecondsText(left));
}

}  // namespace kestrel::ui
