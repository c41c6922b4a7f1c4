#include "records/line_import.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <atomic>
#include <vector>

namespace kestrel::records {
namespace {

// The IMEI.txt name of each part, and the slot it fills.
struct Part {
  const char* label;
  const char* slot;
};
constexpr Part kParts[] = {{"IMEI", "IMEI1"}, {"IMEI2", "IMEI2"}, {"IMEI3", "IMEI3"},
                           {"IMEI4", "IMEI4"}, {"WIFI", "WIFI"},   {"BT", "BT"},
                           {"SN1", "SN1"},     {"SN2", "SN2"}};

const char* SlotOfLabel(const QByteArray& label) {
  for (const Part& p : kParts) {
    if (label == p.label) return p.slot;
  }
  return nullptr;
}

LineResult Flush(LineDatabase& line, std::vector<LineImportPhone>* batch,
                 LineImportCounts* counts) {
  if (batch->empty()) return {};
  int imported = 0;
  int skipped = 0;
  const LineResult r = line.ImportPhones(*batch, &imported, &skipped);
  if (!r.ok()) return r;
  counts->imported += imported;
  counts->skipped += skipped;
  batch->clear();
  return {};
}

bool IsSqliteFile(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return false;
  return f.read(16) == QByteArray("SQLite format 3\0", 16);
}

LineResult ImportText(LineDatabase& line, const QString& path, LineImportCounts* counts,
                      int batchLines) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) {
    LineResult r;
    r.status = LineStatus::Refused;
    r.message = QStringLiteral("cannot read %1").arg(path);
    return r;
  }
  std::vector<LineImportPhone> batch;
  qint64 number = 0;
  while (!f.atEnd()) {
    QByteArray text = f.readLine();
    ++number;
    while (text.endsWith('\n') || text.endsWith('\r')) text.chop(1);
    if (text.isEmpty()) continue;
    LineImportPhone phone;
    if (!ParseResultLine(text, &phone)) {
      ++counts->skipped;
      continue;
    }
    phone.sourceLine = number;
    batch.push_back(std::move(phone));
    if (static_cast<int>(batch.size()) >= batchLines) {
      const LineResult r = Flush(line, &batch, counts);
      if (!r.ok()) return r;
    }
  }
  return Flush(line, &batch, counts);
}

LineResult ImportDatabase(LineDatabase& line, const QString& path, LineImportCounts* counts,
                          int batchLines) {
  static std::atomic<int> serial{0};
  const QString name = QStringLiteral("kestrel-line-import-%1").arg(++serial);
  LineResult result;
  {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    QSqlQuery q(db);
    if (!db.open() || !q.exec(QStringLiteral("SELECT * FROM IMEI"))) {
      result.status = LineStatus::Refused;
      result.message = QStringLiteral("cannot read the table IMEI of %1").arg(path);
    } else {
      // Column name, IMEI.txt label and slot, in the order IMEI.txt writes them.
      const std::vector<std::pair<QString, Part>> order = {
          {QStringLiteral("IMEI"), kParts[0]},           {QStringLiteral("IMEI2"), kParts[1]},
          {QStringLiteral("IMEI3"), kParts[2]},          {QStringLiteral("IMEI4"), kParts[3]},
          {QStringLiteral("WIFI MAC ADDR"), kParts[4]},  {QStringLiteral("BLUETOOTH ADDR"), kParts[5]},
          {QStringLiteral("SN1"), kParts[6]},            {QStringLiteral("SN2"), kParts[7]}};
      std::vector<LineImportPhone> batch;
      qint64 number = 0;
      const QSqlRecord shape = q.record();
      while (q.next()) {
        ++number;
        LineImportPhone phone;
        phone.sourceLine = number;
        const int timeAt = shape.indexOf(QStringLiteral("Time"));
        phone.stamp = timeAt >= 0 ? q.value(timeAt).toString() : QString();
        QString record = phone.stamp;
        for (const auto& [column, part] : order) {
          const int at = shape.indexOf(column);
          if (at < 0) continue;
          const QString value = q.value(at).toString();
          if (value.isEmpty()) continue;
          record += QStringLiteral(", %1:%2").arg(QLatin1String(part.label), value);
          phone.items.push_back({QLatin1String(part.slot), value});
        }
        phone.record = record;
        batch.push_back(std::move(phone));
        if (static_cast<int>(batch.size()) >= batchLines) {
          result = Flush(line, &batch, counts);
          if (!result.ok()) break;
        }
      }
      if (result.ok()) result = Flush(line, &batch, counts);
    }
    db.close();
  }
  QSqlDatabase::removeDatabase(name);
  return result;
}

}  // namespace

bool ParseResultLine(const QByteArray& line, LineImportPhone* phone) {
  const QList<QByteArray> parts = line.split(',');
  if (parts.size() < 2) return false;
  phone->stamp = QString::fromLatin1(parts.at(0).trimmed());
  phone->record = QString::fromLatin1(line);
  phone->items.clear();
  for (qsizetype i = 1; i < parts.size(); ++i) {
    const QByteArray part = parts.at(i).trimmed();
    const qsizetype colon = part.indexOf(':');
    if (colon <= 0) return false;
    const char* slot = SlotOfLabel(part.left(colon));
    if (slot == nullptr) return false;
    phone->items.push_back({QLatin1String(slot), QString::fromLatin1(part.mid(colon + 1))});
  }
  return phone->items.front().slot == QLatin1String("IMEI1");
}

LineResult ImportResultFile(LineDatabase& line, const QString& path, LineImportCounts* counts,
                            int batchLines) {
  *counts = {};
  if (IsSqliteFile(path)) return ImportDatabase(line, path, counts, batchLines);
  return ImportText(line, path, counts, batchLines);
}

}  // namespace kestrel::records
