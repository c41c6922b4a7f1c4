// A job record (records/job_record.h) as the line keeps its summary (line/line_jobs.h), and a
// summary back as a record that the shift report (records/job_report.h) counts as it counts the
// station's own: the same phones, hours, yield, job times and failures ranked under the same
// message and step.
//
// The summary keeps the start with the station's offset from UTC, the duration, mode, kind and
// outcome; for a job that did not pass the step its failure is ranked under (FailureStep) with
// that step's code; the message (FailureMessage, cut to kLineJobMessageChars) and its id in the
// string table; and IMEI1 when it has 15 digits. The steps' own times stay in the station.
#pragma once

#include "line/line_jobs.h"
#include "records/job_record.h"

#include <QString>

namespace kestrel::records {

line::LineJob LineJobOf(const JobRecord& record);
JobRecord JobRecordOf(const line::LineJob& job);

// The id (101-186) of the string-table text a result text's first line was made from (its
// conversions stand for any number or text); the one with the most fixed characters when several
// fit, 0 when none does. Texts of the language module in use count over the built-in ones.
int ResultMessageId(const QString& text);

}  // namespace kestrel::records
