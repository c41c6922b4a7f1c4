// LineJobSummaries: every job's summary to the line database (line/line_jobs.h), after the
// job's own record is in the station folder. The audit record's writer tells it of each record
// written, on the writer's thread; the summary goes to the result store's link to the line,
// which hands it on off every thread a phone waits for, through the outbox while the line does
// not answer (line/line_link.h). A phone never waits for it, and it never fails one.
//
// A station killed between its record and the hand-off loses nothing: once the line answers
// after the next start, the link tells the newest summary the line holds of the station, and
// the records written after it (and before this start) are handed on from Log/jobs-*.jsonl; the
// line keeps each job once however often it is handed on. When the line holds none of the
// station's, the records of the last two days go.
//
// The writer must be gone (its last records written and told) before this is destroyed.
#pragma once

#include "records/job_record.h"

#include <QDate>
#include <QDateTime>
#include <QString>

namespace kestrel::line {
class LineLink;
}
namespace kestrel::records {
class JobRecordWriter;
class ResultStore;
}

namespace kestrel::station {

class LineJobSummaries {
 public:
  // Window thread.
  LineJobSummaries(records::JobRecordWriter& writer, records::ResultStore& store);
  ~LineJobSummaries();
  LineJobSummaries(const LineJobSummaries&) = delete;
  LineJobSummaries& operator=(const LineJobSummaries&) = delete;

 private:
  // The link's thread: the records the line lacks, handed on.
  void CatchUp(const QDateTime& newestInLine, line::LineLink& link) const;

  records::ResultStore& store_;
  const QString logFolder_;
  const QDateTime started_;  // UTC: records from before this start are the catch-up's
  const QDate today_;        // the local day at the start
};

}  // namespace kestrel::station
