// CountdownBar: the time left of a wait, as a bar that empties and its text ("12 s"). Between
// Start and Stop it counts down on its own timer (every kTickMs); it is hidden otherwise. Window
// thread only.
#pragma once

#include <QElapsedTimer>
#include <QProgressBar>
#include <QTimer>

namespace kestrel::ui {

class CountdownBar : public QProgressBar {
  Q_OBJECT

 public:
  static constexpr int kTickMs = 100;

  explicit CountdownBar(QWidget* parent = nullptr);

  // Shows the bar counting down from `totalMs`, of which `elapsedMs` have already gone.
  void Start(int totalMs, int elapsedMs = 0);
  // Hides the bar and stops its timer.
  void Stop();
  bool Running() const { return timer_.isActive(); }
  // The milliseconds left (0 when stopped or run out).
  int RemainingMs() const;
  // The text of `ms` left: whole seconds, rounded up ("1 s" for 1 to 1000 ms).
  static QString SecondsText(int ms);

 private:
  void Tick();

  QTimer timer_;
  QElapsedTimer clock_;
  int totalMs_ = 0;
  int elapsedAtStartMs_ = 0;
};

}  // namespace kestrel::ui
