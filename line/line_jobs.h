// The summaries of the stations' jobs in the line database (line/line_schema.sql, step 4): what
// a report needs of each job record a station writes, handed on by the station after the record
// is written locally, and the line page's view of them.
//
// A summary is keyed by its station and start, so that one handed on twice (from the outbox
// after a crash, or from the job records a restarted station finds the line lacks) is kept
// once. In the outbox (line/line_outbox.h) it is an entry of kind "job" whose fields are those
// of LineJobFields; such an entry only tells the line something, so the station's reservations
// do not wait on it.
#pragma once

#include "line/line_outbox_format.h"

#include <QDateTime>
#include <QString>

#include <utility>
#include <vector>

namespace kestrel::line {

// The entry kind of a job's summary in the outbox.
inline constexpr char kEntryJob[] = "job";

// The longest message the line keeps (characters); a longer first line is cut.
constexpr int kLineJobMessageChars = 500;

struct LineJob {
  QString station;       // as the line knows it (read back; a station hands on its own)
  QDateTime started;     // with the station's offset from UTC at the start, to the millisecond
  qint64 durationMs = 0;
  QString mode;          // "calibration", "normal"
  QString kind;          // "write", "read"
  QString outcome;       // "passed", "failed", "timed-out", "stopped", "shown"
  QString step;          // a job not passed: the step it failed at (empty: none was run)
  qint32 code = 0;       // that step's result code
  QString message;       // the first line of the result text
  int messageId = 0;     // its id in the string table; 0 when it is none of them
  QString imei1;         // 15 digits, or empty
};

// The line page's row of one station.
struct LineBoardStation {
  QString station;
  qint64 phones = 0;      // passed, failed and timed out in the window
  qint64 passed = 0;
  QDateTime lastPass;     // the end of its last passed job (invalid: none)
  double sincePassS = 0;  // seconds from then to the server's now
  QDateTime failedAt;     // the start of its last failed or timed-out job, with the station's
                          // offset from UTC (invalid: none)
  QString failedOutcome;
  QString failedStep;
  qint32 failedCode = 0;
  QString failedMessage;
  int failedMessageId = 0;
};

struct LineBoard {
  QDateTime at;           // the server's time of the answer (UTC)
  int windowSeconds = 3600;
  std::vector<LineBoardStation> stations;  // by name
};

// A summary as the fields of its outbox entry, and back (false, with the reason, for fields
// that are not a summary's).
std::vector<std::pair<QString, QString>> LineJobFields(const LineJob& job);
bool LineJobFromFields(const LineOutboxRecord& record, LineJob* job, QString* why);

}  // namespace kestrel::line
