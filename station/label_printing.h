// LabelPrinting: the IMEI label of every passed write job, printed on a thread of its own once
// the job has ended (the phone is recorded as passed by then). The window thread only queues
// the label's values; the print thread draws and hands it to the print system. A print that
// fails (no printer, a stopped queue) is shown in the status line and never touches the phone's
// verdict or the next job. Reprint prints the last label again (after a restart: the last
// passed phone of the job records).
#pragma once

#include "label/label_print.h"
#include "label/label_template.h"
#include "label/label_values.h"
#include "station/job_observer.h"

#include <QObject>
#include <QString>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace kestrel::ui {
class ThreadHandoff;
}

namespace kestrel::station {

class LabelPrinting final : public QObject, public JobObserver {
 public:
  struct Options {
    label::LabelTemplate label;
    QString printer;  // empty: the default printer
    int copies = 1;
    QString logFolder;                     // the job records, for a reprint after a restart
    std::function<QString()> stationName;  // asked on the window thread as a phone passes
    std::function<void(const QString&)> showStatus;  // called on the window thread
  };

  explicit LabelPrinting(Options options, QObject* parent = nullptr);
  ~LabelPrinting() override;  // prints what is queued, then ends its thread
  LabelPrinting(const LabelPrinting&) = delete;
  LabelPrinting& operator=(const LabelPrinting&) = delete;

  void JobStarted(JobKind, int, const QDateTime&) override {}
  void StepFinished(const JobStep&) override {}
  // Window thread: a passed write job's label is queued.
  void JobEnded(const JobSummary& summary) override;

  // Window thread: the last label again.
  void Reprint();

  // The values of a passed job's label.
  static label::LabelValues ValuesOf(const JobSummary& summary, const QString& station);
  // The status-line texts of a print's result.
  static QString StatusText(const label::PrintResult& result);

  // Returns when every label queued so far is printed or has failed.
  void WaitIdle();
  std::uint64_t printed() const;
  std::uint64_t failed() const;

 private:
  struct Job {
    std::optional<label::LabelValues> values;  // none: the last label of the job records
  };
  void Queue(Job job);
  void Run();
  void Report(const QString& text);

  const Options options_;
  ui::ThreadHandoff* handoff_;              // a child: status texts to the window thread
  std::optional<label::LabelValues> last_;  // window thread

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<Job> queue_;  // guarded by mutex_
  bool busy_ = false;
  bool ending_ = false;
  std::uint64_t printed_ = 0;
  std::uint64_t failed_ = 0;
  std::thread thread_;
};

}  // namespace kestrel::station
