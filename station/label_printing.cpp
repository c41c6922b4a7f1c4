#include "station/label_printing.h"

#include "records/last_passed_job.h"
#include "ui/thread_handoff.h"

#include <QPrinterInfo>

#include <utility>

namespace kestrel::station {
namespace {

label::LabelValues ValuesOfRecord(const records::JobRecord& r) {
  label::LabelValues v;
  for (const auto& [name, value] : r.identities) {
    if (const std::optional<label::LabelField> field = label::FieldFromName(name))
      v[*field] = value;
  }
  v[label::LabelField::Date] = r.startedAt.date().toString(Qt::ISODate);
  v[label::LabelField::Station] = r.station;
  return v;
}

}  // namespace

LabelPrinting::LabelPrinting(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)), handoff_(new ui::ThreadHandoff(this)) {
  thread_ = std::thread([this] { Run(); });
}

LabelPrinting::~LabelPrinting() {
  {
    std::lock_guard<std::mutex> l(mutex_);
    ending_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

label::LabelValues LabelPrinting::ValuesOf(const JobSummary& s, const QString& station) {
  label::LabelValues v;
  const identity::IdentitySet& ids = s.identities;
  v[label::LabelField::IMEI1] = ids.IMEI1;
  v[label::LabelField::IMEI2] = ids.IMEI2;
  v[label::LabelField::IMEI3] = ids.IMEI3;
  v[label::LabelField::IMEI4] = ids.IMEI4;
  v[label::LabelField::BT] = ids.BT;
  v[label::LabelField::WIFI] = ids.WIFI;
  v[label::LabelField::SN1] = ids.SN1;
  v[label::LabelField::SN2] = ids.SN2;
  // The day the phone passed.
  v[label::LabelField::Date] = s.startedAt.addMSecs(s.durationMs).date().toString(Qt::ISODate);
  v[label::LabelField::Station] = station;
  return v;
}

QString LabelPrinting::StatusText(const label::PrintResult& r) {
  return r.printed ? QStringLiteral("Label printed on %1").arg(r.printer)
                   : QStringLiteral("Label not printed: %1").arg(r.error);
}

void LabelPrinting::JobEnded(const JobSummary& summary) {
  if (summary.kind != JobKind::Write || summary.outcome != JobOutcome::Passed) return;
  last_ = ValuesOf(summary, options_.stationName ? options_.stationName() : QString());
  Queue({last_});
}

void LabelPrinting::Reprint() {
  Queue({last_});
}

void LabelPrinting::Queue(Job job) {
  {
    std::lock_guard<std::mutex> l(mutex_);
    queue_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void LabelPrinting::WaitIdle() {
  std::unique_lock<std::mutex> l(mutex_);
  idle_.wait(l, [this] { return queue_.empty() && !busy_; });
}

std::uint64_t LabelPrinting::printed() const {
  std::lock_guard<std::mutex> l(mutex_);
  return printed_;
}

std::uint64_t LabelPrinting::failed() const {
  std::lock_guard<std::mutex> l(mutex_);
  return failed_;
}

void LabelPrinting::Report(const QString& text) {
  if (!options_.showStatus) return;
  const std::function<void(const QString&)> show = options_.showStatus;
  handoff_->Post([show, text] { show(text); });
}

void LabelPrinting::Run() {
  // The print system is asked once at the start, so that the first label does not wait for
  // it to be looked up.
  QPrinterInfo::availablePrinterNames();
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> l(mutex_);
      busy_ = false;
      idle_.notify_all();
      wake_.wait(l, [this] { return ending_ || !queue_.empty(); });
      if (queue_.empty()) return;  // ending, and everything queued is printed
      job = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
    }
    if (!job.values) {
      records::JobRecord r;
      if (!records::LastPassedWriteJob(options_.logFolder, &r)) {
        Report(QStringLiteral("Label not printed: no phone has passed yet"));
        std::lock_guard<std::mutex> l(mutex_);
        ++failed_;
        continue;
      }
      job.values = ValuesOfRecord(r);
    }
    label::PrintRequest request;
    request.label = options_.label;
    request.values = *job.values;
    request.printer = options_.printer;
    request.copies = options_.copies;
    request.title = QStringLiteral("IMEI %1").arg((*job.values)[label::LabelField::IMEI1]);
    const label::PrintResult result = label::PrintLabel(request);
    Report(StatusText(result));
    std::lock_guard<std::mutex> l(mutex_);
    ++(result.printed ? printed_ : failed_);
  }
}

}  // namespace kestrel::station
