// The CU reference fields' focus advance: a character typed into one of the fields 1093-1115
// moves the focus to the next field with its whole text selected, so the operator types the
// reference straight through. The last field (1116) has no next one. A text that arrives
// otherwise (a paste, a drop, a text set by the program) moves nothing.
#pragma once

#include "station/job_host.h"

#include <QObject>

#include <array>

class QEvent;
class QLineEdit;

namespace kestrel::station {

class CuFieldAdvance : public QObject {
 public:
  // Watches the fields (in their order); owned by `parent`.
  CuFieldAdvance(const std::array<QLineEdit*, kCuRefLength>& fields, QObject* parent);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void OnEdited(std::size_t index, const QString& text);

  std::array<QLineEdit*, kCuRefLength> fields_;
  // The field a typed character is going into, while its key press is handled.
  QObject* typing_ = nullptr;
};

}  // namespace kestrel::station
