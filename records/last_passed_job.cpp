#include "records/last_passed_job.h"

#include <QDir>
#include <QFile>

#include <algorithm>

namespace kestrel::records {

bool LastPassedWriteJob(const QString& logFolder, JobRecord* out) {
  const QDir dir(logFolder);
  QStringList files;
  for (const QString& name : dir.entryList({QStringLiteral("jobs-*.jsonl")}, QDir::Files)) {
    if (JobRecordFileDay(name).isValid()) files << name;
  }
  // The names sort by day.
  std::sort(files.begin(), files.end(), std::greater<>());
  for (const QString& name : files) {
    QFile file(dir.filePath(name));
    if (!file.open(QIODevice::ReadOnly)) continue;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
      if (!line->contains("\"passed\"")) continue;  // most lines are not
      JobRecord r;
      if (ParseJobRecordLine(*line, &r) && r.kind == QLatin1String("write") &&
          r.outcome == QLatin1String("passed")) {
        *out = std::move(r);
        return true;
      }
    }
  }
  return false;
}

}  // namespace kestrel::records
