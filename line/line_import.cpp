#include "line/line_import.h"

#include "line/line_session.h"
#include "line/sql_connections.h"

#include <QFile>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <algorithm>
#include <atomic>
#include <future>
#include <vector>

namespace kestrel::line {
namespace {

// The IMEI.txt name of each part, and the slot it fills.
struct Part {
  const char* label;
  const char* slot;
};
constexpr int kImportAttempts = 3;

constexpr Part kParts[] = {{"IMEI", "IMEI1"},  {"IMEI2", "IMEI2"}, {"IMEI3", "IMEI3"},
                           {"IMEI4", "IMEI4"}, {"WIFI", "WIFI"},   {"BT", "BT"},
                           {"SN1", "SN1"},     {"SN2", "SN2"}};

const char* SlotOfLabel(const QByteArray& label) {
  for (const Part& p : kParts) {
    if (label == p.label) return p.slot;
  }
  return nullptr;
}

// The batches on their way: the one the database takes now, while the next is read and put
// together on the caller's thread.
class BatchPipe {
 public:
  BatchPipe(LineDatabase& line, LineImportCounts* counts) : line_(line), counts_(counts) {}
  ~BatchPipe() { Wait(); }

  // Hands the batch on once the one before is taken; the batch is emptied.
  LineResult Submit(std::vector<LineImportPhone>* batch) {
    if (batch->empty()) return {};
    LineImportBatch next = MakeImportBatch(*batch);
    batch->clear();
    const LineResult r = Wait();
    if (!r.ok()) return r;
    pending_ = std::async(std::launch::async, [this, b = std::move(next)] {
      Outcome o;
      o.result = line_.ImportBatch(b, &o.imported, &o.skipped);
      return o;
    });
    return {};
  }
  // Waits for the batch on its way; its result.
  LineResult Wait() {
    if (!pending_.valid()) return {};
    const Outcome o = pending_.get();
    if (o.result.ok()) {
      counts_->imported += o.imported;
      counts_->skipped += o.skipped;
    }
    return o.result;
  }

 private:
  struct Outcome {
    LineResult result;
    int imported = 0;
    int skipped = 0;
  };
  LineDatabase& line_;
  LineImportCounts* counts_;
  std::future<Outcome> pending_;
};

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
  BatchPipe pipe(line, counts);
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
      const LineResult r = pipe.Submit(&batch);
      if (!r.ok()) return r;
    }
  }
  const LineResult r = pipe.Submit(&batch);
  return r.ok() ? pipe.Wait() : r;
}

LineResult ImportDatabase(LineDatabase& line, const QString& path, LineImportCounts* counts,
                          int batchLines) {
  static std::atomic<int> serial{0};
  const QString name = QStringLiteral("kestrel-line-import-%1").arg(++serial);
  LineResult result;
  {
    QSqlDatabase db = sql::Add(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(path);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
    QSqlQuery q(db);
    if (!db.open() || !q.exec(QStringLiteral("SELECT * FROM IMEI"))) {
      result.status = LineStatus::Refused;
      result.message = QStringLiteral("cannot read the table IMEI of %1").arg(path);
    } else {
      // Column name, IMEI.txt label and slot, in the order IMEI.txt writes them.
      const std::vector<std::pair<QString, Part>> order = {
          {QStringLiteral("IMEI"), kParts[0]},
          {QStringLiteral("IMEI2"), kParts[1]},
          {QStringLiteral("IMEI3"), kParts[2]},
          {QStringLiteral("IMEI4"), kParts[3]},
          {QStringLiteral("WIFI MAC ADDR"), kParts[4]},
          {QStringLiteral("BLUETOOTH ADDR"), kParts[5]},
          {QStringLiteral("SN1"), kParts[6]},
          {QStringLiteral("SN2"), kParts[7]}};
      std::vector<LineImportPhone> batch;
      BatchPipe pipe(line, counts);
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
          result = pipe.Submit(&batch);
          if (!result.ok()) break;
        }
      }
      if (result.ok()) result = pipe.Submit(&batch);
      if (result.ok()) result = pipe.Wait();
    }
    db.close();
  }
  sql::Remove(name);
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

LineImportBatch MakeImportBatch(const std::vector<LineImportPhone>& phones) {
  LineImportBatch b;
  b.phones = static_cast<int>(phones.size());
  QStringList lineNo, stamps, records, idLine, kinds, slotNames, values;
  // A phone holding an identity of an earlier phone of the batch is left out here; the
  // statement leaves out those the line knows.
  QSet<QString> seen;
  seen.reserve(static_cast<qsizetype>(phones.size()) * 4);
  for (const LineImportPhone& p : phones) {
    std::vector<LineIdentity> ids;
    QString why;
    if (!LineIdentities(p.items, &ids, &why) || ids.empty()) continue;
    const bool repeated = std::any_of(ids.begin(), ids.end(), [&](const LineIdentity& id) {
      return seen.contains(id.kind + QLatin1Char(':') + id.value);
    });
    if (repeated) continue;
    for (const LineIdentity& id : ids) seen.insert(id.kind + QLatin1Char(':') + id.value);
    const QString n = QString::number(p.sourceLine);
    lineNo << n;
    stamps << p.stamp;
    records << p.record;
    for (const LineIdentity& id : ids) {
      idLine << n;
      kinds << id.kind;
      slotNames << id.slot;
      values << id.value;
    }
  }
  b.lineNo = LineArrayLiteral(lineNo);
  b.stamps = LineArrayLiteral(stamps);
  b.records = LineArrayLiteral(records);
  b.idLine = LineArrayLiteral(idLine);
  b.kinds = LineArrayLiteral(kinds);
  b.slotNames = LineArrayLiteral(slotNames);
  b.values = LineArrayLiteral(values);
  return b;
}

LineResult LineDatabase::ImportPhones(const std::vector<LineImportPhone>& phones, int* imported,
                                      int* skipped) {
  return ImportBatch(MakeImportBatch(phones), imported, skipped);
}

LineResult LineDatabase::ImportBatch(const LineImportBatch& b, int* imported, int* skipped) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    if (s.acting().isEmpty()) return LineRefused(QStringLiteral("no station name"));
    for (int attempt = 0; attempt < kImportAttempts; ++attempt) {
      if (!s.Db().transaction()) return s.FailDb();
      // One statement: the phones none of whose identities the line knows, their identities
      // as passed, and one event for the batch with its count and the range of its phone rows
      // (line_history finds a phone's there).
      QSqlQuery& q = s.Prepared(
          "WITH rec AS (SELECT * FROM unnest(?::bigint[], ?::text[], ?::text[]) AS r(n, stamp, "
          "record)), "
          "cand AS (SELECT * FROM unnest(?::bigint[], ?::text[], ?::text[], ?::text[]) "
          "AS c(n, kind, slot, value)), "
          "bad AS (SELECT DISTINCT c.n FROM cand c JOIN line_identity i ON i.kind = c.kind AND "
          "i.value = c.value), "
          "ph AS (INSERT INTO line_phone (station, stamp, record, source_line) "
          "SELECT ?::text, stamp, record, n FROM rec WHERE n NOT IN (SELECT n FROM bad) "
          "RETURNING id, source_line), "
          "ins AS (INSERT INTO line_identity (kind, value, slot, station, state, phone_id, "
          "passed_at) SELECT c.kind, c.value, c.slot, ?::text, 'passed', ph.id, now() "
          "FROM cand c JOIN ph ON ph.source_line = c.n RETURNING 1), "
          "ev AS (INSERT INTO line_event (event, station, phone_id, phone_last, detail) "
          "SELECT 'imported', ?::text, min(ph.id), max(ph.id), count(*) || ' phones, lines ' || "
          "min(ph.source_line) || '-' || max(ph.source_line) FROM ph HAVING count(*) > 0) "
          "SELECT (SELECT count(*) FROM ph), (SELECT count(*) FROM ins)");
      q.addBindValue(b.lineNo);
      q.addBindValue(b.stamps);
      q.addBindValue(b.records);
      q.addBindValue(b.idLine);
      q.addBindValue(b.kinds);
      q.addBindValue(b.slotNames);
      q.addBindValue(b.values);
      q.addBindValue(s.acting());
      q.addBindValue(s.acting());
      q.addBindValue(s.acting());
      if (!q.exec()) {
        const QSqlError e = q.lastError();
        q.finish();
        const QString code = e.nativeErrorCode();
        if (code == QLatin1String("23505") || code == QLatin1String("23P01")) {
          // A station took one of these values meanwhile: the next attempt skips that phone.
          s.Db().rollback();
          continue;
        }
        return s.Answer(e, true);
      }
      q.next();
      const int done = q.value(0).toInt();
      q.finish();
      if (!s.Db().commit()) return s.FailDb();
      *imported = done;
      *skipped = b.phones - done;
      return {};
    }
    return LineUnreachable(QStringLiteral("the import kept meeting values taken meanwhile"));
  });
}

LineResult ImportResultFile(LineDatabase& line, const QString& path, LineImportCounts* counts,
                            int batchLines) {
  *counts = {};
  if (IsSqliteFile(path)) return ImportDatabase(line, path, counts, batchLines);
  return ImportText(line, path, counts, batchLines);
}

}  // namespace kestrel::line
