// The last passed write job of the audit records (Log/jobs-YYYY-MM-DD.jsonl): what a label
// reprint prints when the station has printed none since it started.
#pragma once

#include "records/job_record.h"

#include <QString>

namespace kestrel::records {

// The newest record of a passed write job in the folder's record files (the newest day first,
// the last line of a day first). False when there is none.
bool LastPassedWriteJob(const QString& logFolder, JobRecord* out);

}  // namespace kestrel::records
