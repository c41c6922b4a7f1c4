#include "station/job_step_line.h"

#include <QLabel>

namespace kestrel::station {

JobStepLine::JobStepLine(QLabel* statusLine, QObject* parent) : QObject(parent), line_(statusLine) {
  timer_.setInterval(kTickMs);
  connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
}

QString JobStepLine::StepText(const QString& step, qint64 ms) {
  return QStringLiteral("Step %1 \u00B7 %2 s")
      .arg(step)
      .arg(static_cast<double>(ms) / 1000.0, 0, 'f', 1);
}

void JobStepLine::JobStarted(JobKind, int, const QDateTime&) {
  {
    std::lock_guard<std::mutex> l(lock_);
    step_.clear();
  }
  clock_.start();
  timer_.start();
}

void JobStepLine::StepStarted(const char* name) {
  Note(name);
}

void JobStepLine::StepFinished(const JobStep& step) {
  // A step whose start was not told (one its caller timed) is still the step last in.
  Note(step.name);
}

void JobStepLine::Note(const char* name) {
  if (name == nullptr) return;
  std::lock_guard<std::mutex> l(lock_);
  if (step_ != name) step_ = name;
}

void JobStepLine::Tick() {
  const qint64 ms = clock_.elapsed();
  if (ms < kShowAfterMs) return;
  QString step;
  {
    std::lock_guard<std::mutex> l(lock_);
    step = QString::fromStdString(step_);
  }
  if (step.isEmpty()) return;
  // Text written into the line since the last tick (the port state) is its own text now.
  if (!showing_ || line_->text() != shown_) {
    own_ = line_->text();
    ownDirection_ = line_->layoutDirection();
  }
  showing_ = true;
  shown_ = StepText(step, ms);
  line_->setLayoutDirection(Qt::LeftToRight);
  line_->setText(shown_);
}

void JobStepLine::JobEnded(const JobSummary&) {
  timer_.stop();
  if (showing_ && line_->text() == shown_) {
    line_->setLayoutDirection(ownDirection_);
    line_->setText(own_);
  }
  showing_ = false;
}

}  // namespace kestrel::station
