#include "station/operator_aids.h"

#include "label/label_template_file.h"
#include "station/job_step_line.h"
#include "station/label_printing.h"
#include "station/station_controller.h"
#include "station/verdict_sound.h"
#include "station/wait_countdown.h"

#include <QAction>
#include <QDir>
#include <QKeySequence>
#include <QLabel>
#include <QMenuBar>

namespace kestrel::station {

OperatorAids::OperatorAids(StationController& window, const QString& stationFolder) {
  const StationControls& c = window.Controls();
  sound_ = std::make_unique<VerdictSound>([&window] {
    const config::StationSettings& s = window.Settings();
    return VerdictSound::Options{s.Sound != 0, s.SoundVolume};
  });
  countdown_ =
      std::make_unique<WaitCountdown>(c.countdown, [&window] { return window.Settings().Timeout; });
  stepLine_ = std::make_unique<JobStepLine>(c.statusLine);
  window.AddJobObserver(sound_.get());
  window.AddJobObserver(countdown_.get());
  window.AddJobObserver(stepLine_.get());

  const config::StationSettings& s = window.Settings();
  if (s.LabelPrint == 0) return;
  LabelPrinting::Options options;
  if (!label::LoadStationTemplate(stationFolder, s.LabelTemplate, &options.label, &labelError_)) {
    window.ShowMessage(labelError_ + QStringLiteral("\nNo labels are printed until it is mended."));
    return;
  }
  options.printer = s.LabelPrinter;
  options.copies = s.LabelCopies;
  options.logFolder = QDir(stationFolder).filePath(QStringLiteral("Log"));
  options.stationName = [&window] {
    return QString::fromLocal8Bit(window.Settings().CurrentStationName);
  };
  QLabel* statusLine = c.statusLine;
  options.showStatus = [statusLine](const QString& text) {
    statusLine->setLayoutDirection(Qt::LeftToRight);
    statusLine->setText(text);
  };
  labels_ = std::make_unique<LabelPrinting>(std::move(options));
  window.AddJobObserver(labels_.get());
  reprint_ = c.menuBar->addAction(QStringLiteral("Reprint label"));
  reprint_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
  reprint_->setShortcutContext(Qt::WindowShortcut);
  LabelPrinting* labels = labels_.get();
  QObject::connect(reprint_, &QAction::triggered, labels, [labels] { labels->Reprint(); });
}

OperatorAids::~OperatorAids() = default;

}  // namespace kestrel::station
