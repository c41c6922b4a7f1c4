// What helps the operator at the bench, each over the job observer: the verdict sounds, the
// countdown of a calibration-mode wait, the job's step in the status line and (with [LABEL]
// Print=1) the IMEI label of every passed phone with the window's Reprint action. The station
// window makes them once its settings are loaded.
#pragma once

#include <QString>

#include <memory>

class QAction;

namespace kestrel::station {

class StationController;
class VerdictSound;
class WaitCountdown;
class JobStepLine;
class LabelPrinting;

class OperatorAids {
 public:
  // Adds each to the window's job observers. A label template that cannot be used is shown to
  // the operator (the file, the line and what is wrong) and no labels are printed.
  OperatorAids(StationController& window, const QString& stationFolder);
  ~OperatorAids();

  VerdictSound& Sound() const { return *sound_; }
  WaitCountdown& Countdown() const { return *countdown_; }
  JobStepLine& StepLine() const { return *stepLine_; }
  // Null when labels are not printed.
  LabelPrinting* Labels() const { return labels_.get(); }
  QAction* ReprintAction() const { return reprint_; }
  // Why labels are not printed although Print=1 (empty otherwise).
  const QString& LabelError() const { return labelError_; }

 private:
  std::unique_ptr<VerdictSound> sound_;
  std::unique_ptr<WaitCountdown> countdown_;
  std::unique_ptr<JobStepLine> stepLine_;
  std::unique_ptr<LabelPrinting> labels_;
  QAction* reprint_ = nullptr;  // the window's
  QString labelError_;
};

}  // namespace kestrel::station
