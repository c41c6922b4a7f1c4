// JobAudit: the station's audit record of every job. It listens to the job control, gathers the
// steps of the job in progress and, when the job has ended, hands the whole record to its
// writer, which appends it to Log/jobs-YYYY-MM-DD.jsonl in the station folder on a thread of
// its own (records/job_record_writer.h). Nothing here waits for the disk; a record that cannot
// be written is reported through the failure callback and never fails a phone.
//
// With a phone library in a host process of its own ([PHONE] Isolate=1), each record also
// names what happened to the host since the record before ("host").
//
// Threads: JobStarted and JobEnded on the window thread, StepFinished on the job thread (or the
// window thread for the steps StartJob runs). Steps that come after JobEnded (a stopped job's
// thread winding down) belong to no record and are dropped.
#pragma once

#include "device/oxbind_loader/phone_api.h"
#include "records/job_record.h"
#include "records/job_record_writer.h"
#include "station/job_observer.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrel::station {

// The record's words for the job's kind, mode and outcome.
QString JobKindName(JobKind kind);
QString OperationModeName(int operationMode);
QString JobOutcomeName(JobOutcome outcome);

class JobAudit final : public JobObserver {
 public:
  struct Options {
    QString stationFolder;                  // the records go to its Log/ folder
    PhoneHandle phone = KV_INVALID_HANDLE;  // whose link counters each record carries
    // The library's calls; a library without request counters gives zero counts.
    const device::oxbind::PhoneApi* kv = nullptr;
    std::function<QString()> stationName;  // asked on the window thread as a job starts
    records::JobRecordWriter::FailureCallback onFailure;  // called on the writer's thread
  };

  explicit JobAudit(Options options);
  ~JobAudit() override;

  void JobStarted(JobKind kind, int operationMode, const QDateTime& startedAt) override;
  void StepFinished(const JobStep& step) override;
  void JobEnded(const JobSummary& summary) override;

  records::JobRecordWriter& Writer() { return *writer_; }

 private:
  struct Step {
    std::string name;
    std::int64_t startOffsetMs;
    std::int64_t durationMs;
    std::int32_t code;
  };

  Options options_;
  std::unique_ptr<records::JobRecordWriter> writer_;

  std::mutex mutex_;
  bool open_ = false;        // between JobStarted and JobEnded
  std::vector<Step> steps_;  // of the job in progress; guarded by mutex_
  QString station_;          // window thread
  struct Counts {
    std::uint64_t requests = 0;
    std::uint64_t retransmissions = 0;
  };
  Counts ReadCounts() const;
  // What the proxy of a library in a host process of its own has to tell since the last
  // record (the host ended, was ended, a new one started); empty otherwise. Never waits.
  QString TakeHostNotes() const;

  Counts countsAtStart_;  // window thread
};

}  // namespace kestrel::station
