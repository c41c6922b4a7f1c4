// JobStepLine: while a job runs longer than a second, the status line shows the step the job is
// in and how long the job has run ("Step KV_FastWriteNvInfo · 3.2 s"); the job's end gives the
// status line back the text it had (or the text written into it meanwhile).
//
// The steps come from the job observer on any thread and are only noted; a timer on the window
// thread (every kTickMs while a job runs) puts them into the status line.
#pragma once

#include "station/job_observer.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <mutex>
#include <string>

class QLabel;

namespace kestrel::station {

class JobStepLine final : public QObject, public JobObserver {
 public:
  static constexpr int kTickMs = 250;
  static constexpr int kShowAfterMs = 1000;

  explicit JobStepLine(QLabel* statusLine, QObject* parent = nullptr);

  void JobStarted(JobKind kind, int operationMode, const QDateTime& startedAt) override;
  void StepStarted(const char* name) override;
  void StepFinished(const JobStep& step) override;
  void JobEnded(const JobSummary& summary) override;

  // The status line's text for a step `ms` into the job.
  static QString StepText(const QString& step, qint64 ms);

 private:
  void Note(const char* name);
  void Tick();

  QLabel* line_;
  QTimer timer_;
  QElapsedTimer clock_;
  std::mutex lock_;
  std::string step_;  // guarded by lock_
  bool showing_ = false;
  QString shown_;  // what this put into the line
  QString own_;    // the line's own text, given back at the job's end
  Qt::LayoutDirection ownDirection_ = Qt::LeftToRight;
};

}  // namespace kestrel::station
