#include "station/job_audit.h"

#include <QDir>

#include <utility>
#include <vector>

namespace kestrel::station {
namespace {

std::uint64_t Since(std::uint64_t now, std::uint64_t then) {
  return now >= then ? now - then : 0;
}

}  // namespace

QString JobKindName(JobKind kind) {
  return kind == JobKind::Read ? QStringLiteral("read") : QStringLiteral("write");
}

QString OperationModeName(int operationMode) {
  return operationMode == 0 ? QStringLiteral("calibration") : QStringLiteral("normal");
}

QString JobOutcomeName(JobOutcome outcome) {
  switch (outcome) {
    case JobOutcome::Passed:
      return QStringLiteral("passed");
    case JobOutcome::Failed:
      return QStringLiteral("failed");
    case JobOutcome::TimedOut:
      return QStringLiteral("timed-out");
    case JobOutcome::Stopped:
      return QStringLiteral("stopped");
    case JobOutcome::Shown:
      return QStringLiteral("shown");
  }
  return QStringLiteral("failed");
}

JobAudit::JobAudit(Options options)
    : options_(std::move(options)),
      writer_(std::make_unique<records::JobRecordWriter>(
          QDir(options_.stationFolder).filePath(QStringLiteral("Log")), options_.onFailure)) {
  steps_.reserve(64);
}

JobAudit::~JobAudit() = default;

JobAudit::Counts JobAudit::ReadCounts() const {
  Counts c;
  if (options_.kv != nullptr) {
    options_.kv->RequestCounts(options_.phone, &c.requests, &c.retransmissions);
  }
  return c;
}

QString JobAudit::TakeHostNotes() const {
  if (options_.kv == nullptr || options_.kv->TakeHostNotes == nullptr) return {};
  std::vector<char> text(4096, '\0');
  options_.kv->TakeHostNotes(text.data(), static_cast<std::int32_t>(text.size()));
  return QString::fromLocal8Bit(text.data());
}

void JobAudit::JobStarted(JobKind, int, const QDateTime&) {
  station_ = options_.stationName ? options_.stationName() : QString();
  countsAtStart_ = ReadCounts();
  std::lock_guard lock(mutex_);
  steps_.clear();
  open_ = true;
}

void JobAudit::StepFinished(const JobStep& step) {
  std::lock_guard lock(mutex_);
  if (!open_) return;
  steps_.push_back(
      {step.name != nullptr ? step.name : "", step.startOffsetMs, step.durationMs, step.code});
}

void JobAudit::JobEnded(const JobSummary& s) {
  std::vector<Step> steps;
  {
    std::lock_guard lock(mutex_);
    steps.swap(steps_);
    steps_.reserve(64);
    open_ = false;
  }
  records::JobRecord r;
  r.station = station_;
  r.startedAt = s.startedAt;
  r.mode = OperationModeName(s.operationMode);
  r.kind = JobKindName(s.kind);
  r.outcome = JobOutcomeName(s.outcome);
  r.durationMs = s.durationMs;
  r.resultText = s.resultText;
  const std::pair<const char*, const QString*> ids[] = {
      {"IMEI1", &s.identities.IMEI1}, {"IMEI2", &s.identities.IMEI2},
      {"IMEI3", &s.identities.IMEI3}, {"IMEI4", &s.identities.IMEI4},
      {"BT", &s.identities.BT},       {"WIFI", &s.identities.WIFI},
      {"SN1", &s.identities.SN1},     {"SN2", &s.identities.SN2}};
  for (const auto& [name, value] : ids) {
    if (!value->isEmpty()) r.identities.emplace_back(QString::fromLatin1(name), *value);
  }
  r.steps.reserve(steps.size());
  for (const Step& step : steps) {
    r.steps.push_back(
        {QString::fromUtf8(step.name.data(), static_cast<qsizetype>(step.name.size())),
         step.startOffsetMs, step.durationMs, step.code});
  }
  r.passCount = s.passCount;
  r.failCount = s.failCount;
  const Counts now = ReadCounts();
  r.requests = Since(now.requests, countsAtStart_.requests);
  r.retransmissions = Since(now.retransmissions, countsAtStart_.retransmissions);
  r.host = TakeHostNotes();
  writer_->Append(std::move(r));
}

}  // namespace kestrel::station
