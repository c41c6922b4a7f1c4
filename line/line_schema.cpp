// The line database's schema: the numbered steps of line/line_schema.sql and `init`, which
// applies the steps a database has not had yet, in order, in one transaction with the new
// number, under a lock that lets one `init` at a time change the schema.
#include "line/line_database.h"
#include "line/line_session.h"

#include <QRegularExpression>

namespace kestrel::line {
namespace {

// The key of the lock that lets one `init` at a time change the schema.
constexpr qlonglong kInitLockKey = 0x4b6c696e65;  // "Kline"

// The schema script cut at its "-- step N" lines: element i is step i + 1.
QStringList SchemaSteps() {
  QStringList steps;
  QString current;
  bool inStep = false;
  static const QRegularExpression marker(QStringLiteral("^-- step (\\d+)\\s*$"));
  for (const QString& line : LineSchemaScript().split(QLatin1Char('\n'))) {
    if (marker.match(line).hasMatch()) {
      if (inStep) steps << current;
      current.clear();
      inStep = true;
    } else if (inStep) {
      current += line + QLatin1Char('\n');
    }
  }
  if (inStep) steps << current;
  return steps;
}

}  // namespace

int LineSchemaVersion() {
  return static_cast<int>(SchemaSteps().size());
}

LineResult LineDatabase::Init(int* version) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    LineResult r = s.ConnectHere(false);
    if (!r.ok()) return r;
    if (!s.Db().transaction()) return s.FailDb();
    QSqlQuery q(s.Db());
    const QStringList steps = SchemaSteps();
    int have = 0;
    // The functions' search path is fixed to the schema that holds the tables (where
    // line_schema is, or the first of the admin's path for a new database), then pg_temp.
    if (!q.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kInitLockKey)) ||
        !q.exec(QStringLiteral(
            "SELECT set_config('search_path', quote_ident(coalesce((SELECT n.nspname FROM "
            "pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace WHERE c.oid = "
            "to_regclass('line_schema')), current_schema(), 'public')) || ', pg_temp', true)")) ||
        !q.exec(
            QStringLiteral("CREATE TABLE IF NOT EXISTS line_schema (version integer NOT NULL)")) ||
        !q.exec(QStringLiteral("SELECT version FROM line_schema"))) {
      return s.Fail(q.lastError());
    }
    if (q.next()) {
      have = q.value(0).toInt();
    } else if (!q.exec(QStringLiteral("INSERT INTO line_schema (version) VALUES (0)"))) {
      return s.Fail(q.lastError());
    }
    if (have > steps.size()) {
      s.Db().rollback();
      s.CloseHere();
      return LineRefused(QStringLiteral("the line database has schema version %1, newer than this "
                                        "build's %2")
                             .arg(have)
                             .arg(steps.size()));
    }
    for (int step = have; step < steps.size(); ++step) {
      if (!q.exec(steps.at(step))) return s.Fail(q.lastError());
    }
    q.prepare(QStringLiteral("UPDATE line_schema SET version = ?"));
    q.addBindValue(static_cast<int>(steps.size()));
    if (!q.exec()) return s.Fail(q.lastError());
    q.finish();
    if (!s.Db().commit()) return s.FailDb();
    // The session's own search path came back with the commit; the next call opens the
    // session in the schema's terms.
    s.CloseHere();
    if (version != nullptr) *version = static_cast<int>(steps.size());
    return {};
  });
}

}  // namespace kestrel::line
