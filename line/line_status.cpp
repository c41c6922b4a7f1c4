// What the line knows: its status in lines of text with the last events (line_status), what
// it holds of one identity (find) and that identity's story (line_history).
#include "line/line_database.h"
#include "line/line_session.h"

namespace kestrel::line {
namespace {

// Lines of a one-column answer.
LineResult Lines(LineSession& s, QSqlQuery& q, QStringList* lines) {
  if (!q.exec()) return s.Answer(q.lastError());
  while (q.next()) *lines << q.value(0).toString();
  q.finish();
  return {};
}

}  // namespace

LineResult LineDatabase::Status(QStringList* lines, int events) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = s.Prepared("SELECT line_status(?::integer)");
    q.addBindValue(events);
    return Lines(s, q, lines);
  });
}

LineResult LineDatabase::History(const QString& value, QStringList* lines) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = s.Prepared("SELECT line_history(?::text)");
    q.addBindValue(value);
    return Lines(s, q, lines);
  });
}

LineResult LineDatabase::Find(const QString& value, std::vector<LineFound>* found) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = s.Prepared(
        "SELECT i.kind, i.value, i.slot, i.station, i.state, "
        "to_char(i.reserved_at, 'YYYY-MM-DD HH24:MI:SS'), "
        "coalesce(to_char(i.passed_at, 'YYYY-MM-DD HH24:MI:SS'), ''), coalesce(p.record, '') "
        "FROM line_identity i LEFT JOIN line_phone p ON p.id = i.phone_id "
        "WHERE i.value = ?::text OR i.value = lower(?::text) ORDER BY i.kind");
    q.addBindValue(value);
    q.addBindValue(value);
    if (!q.exec()) return s.Answer(q.lastError());
    while (q.next()) {
      LineFound f;
      f.kind = q.value(0).toString();
      f.value = q.value(1).toString();
      f.slot = q.value(2).toString();
      f.station = q.value(3).toString();
      f.state = q.value(4).toString();
      f.reservedAt = q.value(5).toString();
      f.passedAt = q.value(6).toString();
      f.record = q.value(7).toString();
      found->push_back(f);
    }
    q.finish();
    return {};
  });
}

}  // namespace kestrel::line
