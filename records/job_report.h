// The shift report: the audit records of Log/jobs-*.jsonl summed up per hour, the failure
// messages ranked, the slowest steps.
//
// Phones are the jobs that ended counted: passed, failed or timed out (a time-out counts as a
// failure). Stopped jobs and jobs shown without a verdict are counted apart. Yield is passed
// over phones. Units per hour is the pace of the hour: phones over the time from the hour's
// first job start to its last job end (for the whole period: over the sum of those times).
// Job times are the nearest-rank median and 95th percentile of the phones' job durations.
//
// A failure's message is the first line of the result text shown; its step is the last step
// that returned a nonzero code, else the last step run, else "-" (refused before any step).
// Hours are the wall-clock hours of the station that wrote the records.
#pragma once

#include "records/job_record.h"

#include <QDate>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace kestrel::records {

struct HourRow {
  QDate day;
  int hour = 0;  // 0-23; unused in the total row
  int phones = 0;
  int passed = 0;
  int failed = 0;  // time-outs included
  int stopped = 0;
  int shown = 0;
  double yieldPercent = 0;  // 0 when there are no phones
  double unitsPerHour = 0;
  std::int64_t medianMs = 0;
  std::int64_t p95Ms = 0;
  std::int64_t workMs = 0;  // the hour's first start to its last end
};

struct FailureRow {
  QString message;
  QString step;
  int count = 0;
};

struct StepRow {
  QString name;
  int count = 0;
  std::int64_t medianMs = 0;
  std::int64_t p95Ms = 0;
  std::int64_t maxMs = 0;
};

struct ShiftReport {
  QDate from;  // the period asked for (invalid: open)
  QDate to;
  std::vector<HourRow> hours;  // in time order, only hours with records
  HourRow total;
  std::vector<FailureRow> failures;  // by count, most first
  std::vector<StepRow> slowestSteps;  // by 95th percentile, slowest first
  int files = 0;
  std::int64_t records = 0;
  std::int64_t skippedLines = 0;  // not a whole record (cut by a crash, damaged)
  QStringList unreadableFiles;
};

// How many step rows the report keeps.
constexpr int kSlowestStepRows = 12;

// The report over the files of `logFolder` whose day lies in [from, to] (an invalid date leaves
// that end open). Files are read in parallel, one per thread.
ShiftReport BuildShiftReport(const QString& logFolder, const QDate& from, const QDate& to);

// The report over records already in memory (the same sums; used by the reader).
ShiftReport SummariseRecords(const std::vector<JobRecord>& records);

// The message and step a failed record is ranked under.
QString FailureMessage(const JobRecord& record);
QString FailureStep(const JobRecord& record);

// The nearest-rank percentile (0 < p <= 100) of `values`, which it reorders; 0 when empty.
std::int64_t NearestRank(std::vector<std::int64_t>& values, double p);

}  // namespace kestrel::records
