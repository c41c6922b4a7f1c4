#include "station/line_job_summaries.h"

#include "line/line_link.h"
#include "records/job_record_writer.h"
#include "records/line_job_summary.h"
#include "records/result_store.h"

#include <QDir>
#include <QFile>

namespace kestrel::station {

LineJobSummaries::LineJobSummaries(records::JobRecordWriter& writer, records::ResultStore& store)
    : store_(store),
      logFolder_(writer.logFolder()),
      started_(QDateTime::currentDateTimeUtc()),
      today_(QDate::currentDate()) {
  writer.SetWrittenListener([this](const records::JobRecord& record, bool) {
    store_.HandOnJob(records::LineJobOf(record));
  });
  store_.SetLineCatchUp([this](const QDateTime& newest, line::LineLink& link) {
    CatchUp(newest, link);
  });
}

LineJobSummaries::~LineJobSummaries() {
  store_.SetLineCatchUp(nullptr);  // waits for a catch-up in progress
}

void LineJobSummaries::CatchUp(const QDateTime& newest, line::LineLink& link) const {
  // The files of the days that may hold later records (a day early: the line's time is UTC).
  const QDate first = newest.isValid() ? newest.date().addDays(-1) : today_.addDays(-1);
  const QDir dir(logFolder_);
  for (const QString& name :
       dir.entryList({QStringLiteral("jobs-*.jsonl")}, QDir::Files, QDir::Name)) {
    const QDate day = records::JobRecordFileDay(name);
    if (!day.isValid() || day < first) continue;
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::ReadOnly)) continue;
    const QByteArray bytes = file.readAll();
    qsizetype at = 0;
    while (at < bytes.size()) {
      qsizetype end = bytes.indexOf('\n', at);
      if (end < 0) end = bytes.size();
      const QByteArrayView text(bytes.constData() + at, end - at);
      at = end + 1;
      records::JobRecord record;
      if (!records::ParseJobRecordLine(text, &record)) continue;  // cut or damaged: skipped
      if ((newest.isValid() && record.startedAt <= newest) || record.startedAt >= started_) {
        continue;
      }
      link.Send(QLatin1String(line::kEntryJob), line::LineJobFields(records::LineJobOf(record)));
    }
  }
}

}  // namespace kestrel::station
