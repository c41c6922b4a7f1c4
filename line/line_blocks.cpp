// The line's ranges (admin) and the stations' blocks of them: the next run of values for a
// station's next phone, and values taken at once. The blocks' logic is the schema's
// (line_next_run, line_allocate, line_claim_block in line/line_schema.sql).
#include "line/line_database.h"
#include "line/line_session.h"

#include <algorithm>

namespace kestrel::line {
namespace {

bool IsConstraintError(const QSqlError& e) {
  const QString code = e.nativeErrorCode();
  return code == QLatin1String("23505") || code == QLatin1String("23P01");
}

}  // namespace

LineResult LineDatabase::AddRange(LineRangeKind kind, std::uint64_t first, std::uint64_t last) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = s.Prepared(
        "INSERT INTO line_range (kind, first_value, last_value, next_value) "
        "VALUES (?::smallint, ?::bigint, ?::bigint, ?::bigint)");
    q.addBindValue(static_cast<int>(kind));
    q.addBindValue(static_cast<qlonglong>(first));
    q.addBindValue(static_cast<qlonglong>(last));
    q.addBindValue(static_cast<qlonglong>(first));
    if (!q.exec()) {
      const QSqlError e = q.lastError();
      q.finish();
      if (IsConstraintError(e)) {
        return LineRefused(QStringLiteral("the range overlaps one of the line's %1 ranges")
                               .arg(LineKindName(kind)));
      }
      if (e.nativeErrorCode() == QLatin1String("23514")) {
        return LineRefused(
            QStringLiteral("the range does not fit the %1 values").arg(LineKindName(kind)));
      }
      return s.Answer(e);
    }
    q.finish();
    return {};
  });
}

LineResult LineDatabase::NextRun(LineRangeKind kind, int count, int blockSize,
                                 std::uint64_t* first) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = s.Prepared("SELECT line_next_run(?, ?::smallint, ?::integer, ?::integer)");
    q.addBindValue(s.StationArgument());
    q.addBindValue(static_cast<int>(kind));
    q.addBindValue(count);
    q.addBindValue(blockSize);
    if (!q.exec() || !q.next()) return s.Answer(q.lastError());
    *first = static_cast<std::uint64_t>(q.value(0).toLongLong());
    q.finish();
    return {};
  });
}

LineResult LineDatabase::Allocate(LineRangeKind kind, int count, int blockSize,
                                  std::vector<std::uint64_t>* values) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = s.Prepared("SELECT line_allocate(?, ?::smallint, ?::integer, ?::integer)");
    q.addBindValue(s.StationArgument());
    q.addBindValue(static_cast<int>(kind));
    q.addBindValue(count);
    q.addBindValue(blockSize);
    if (!q.exec()) return s.Answer(q.lastError());
    std::vector<std::uint64_t> taken;
    while (q.next()) taken.push_back(static_cast<std::uint64_t>(q.value(0).toLongLong()));
    q.finish();
    *values = std::move(taken);
    return {};
  });
}

}  // namespace kestrel::line
