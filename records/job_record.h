// The audit record of one job: one JSON object on one line of Log/jobs-YYYY-MM-DD.jsonl in the
// station folder, the day being the job's local start date.
//
//   {"station":"LINE3-W2","start":"2026-12-09T03:10:46.120+01:00","mode":"calibration",
//    "kind":"write","outcome":"failed","ms":8421,"result":"...","ids":{"IMEI1":"...",...},
//    "steps":[{"name":"KV_WriteSN","at":1203,"ms":88,"code":0},...],
//    "pass":120,"fail":4,"link":{"requests":31,"retransmissions":2},"host":"..."}
//
// The keys come in this order. "ids" holds only the identities that are not empty, in the
// station's order; "link" counts the phone link's requests and retransmissions during the job.
// "host" is there only with a phone library in a host process of its own ([PHONE] Isolate=1)
// when something happened to the host since the last record: it ended (how, during which call),
// the station ended it (why), a new one was started.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDate>
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <utility>
#include <vector>

namespace kestrel::records {

struct JobRecordStep {
  QString name;
  std::int64_t startOffsetMs = 0;
  std::int64_t durationMs = 0;
  std::int32_t code = 0;
};

struct JobRecord {
  QString station;
  QDateTime startedAt;  // local time; written with its offset
  QString mode;         // "calibration" or "normal"
  QString kind;         // "write" or "read"
  QString outcome;      // "passed", "failed", "timed-out", "stopped", "shown"
  std::int64_t durationMs = 0;
  QString resultText;                                   // as shown, identity lines included
  std::vector<std::pair<QString, QString>> identities;  // (IMEI1, ...) in the station's order
  std::vector<JobRecordStep> steps;
  std::uint32_t passCount = 0;
  std::uint32_t failCount = 0;
  std::uint64_t requests = 0;
  std::uint64_t retransmissions = 0;
  QString host;  // what happened to the phone library's host process; empty: nothing
};

// "jobs-YYYY-MM-DD.jsonl".
QString JobRecordFileName(const QDate& day);
// The day a file of that name holds, or an invalid date for any other name.
QDate JobRecordFileDay(const QString& fileName);

// "2026-12-09T03:10:46.120+01:00": the wall-clock time and its offset from UTC.
QString FormatRecordTime(const QDateTime& when);

// The record as one JSON line ending in LF (the result text's own line ends are escaped).
QByteArray ComposeJobRecordLine(const JobRecord& record);

// Reads a line composed above (without or with its LF). False for anything that is not one
// whole record: cut short, not JSON, or missing the start, the outcome or the duration.
bool ParseJobRecordLine(QByteArrayView line, JobRecord* record);

}  // namespace kestrel::records
