// A job's identities: reserved before the phone is touched, confirmed when it is saved, given
// back by hand. Each is one call of the schema's functions (line_reserve, line_confirm,
// line_release, line_held), which act for the session's station and name the holder of an
// identity they would not give.
#include "line/line_database.h"
#include "line/line_session.h"

namespace kestrel::line {
namespace {

// Runs a statement that answers with the identity it would not give, if any.
LineResult TakeAll(LineSession& s, QSqlQuery& q) {
  if (!q.exec()) return s.Answer(q.lastError());
  LineResult r;
  if (q.next()) r = LineHeldRefusal(q);
  q.finish();
  return r;
}

}  // namespace

LineResult LineDatabase::Reserve(const LineItems& items) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    std::vector<LineIdentity> ids;
    QString why;
    if (!LineIdentities(items, &ids, &why)) return LineRefused(why);
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    const auto [slotList, values] = LineIdentityArrays(ids);
    QSqlQuery& q =
        s.Prepared("SELECT slot, value, holder, state FROM line_reserve(?, ?::text[], ?::text[])");
    q.addBindValue(s.StationArgument());
    q.addBindValue(slotList);
    q.addBindValue(values);
    return TakeAll(s, q);
  });
}

LineResult LineDatabase::Confirm(const LineItems& items, const QString& stamp,
                                 const QString& record) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    std::vector<LineIdentity> ids;
    QString why;
    if (!LineIdentities(items, &ids, &why)) return LineRefused(why);
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    const auto [slotList, values] = LineIdentityArrays(ids);
    QSqlQuery& q = s.Prepared(
        "SELECT slot, value, holder, state FROM line_confirm(?, ?::text[], ?::text[], ?::text, "
        "?::text)");
    q.addBindValue(s.StationArgument());
    q.addBindValue(slotList);
    q.addBindValue(values);
    q.addBindValue(stamp);
    q.addBindValue(record);
    return TakeAll(s, q);
  });
}

LineResult LineDatabase::Release(int* count) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = s.Prepared("SELECT line_release(?)");
    q.addBindValue(s.StationArgument());
    if (!q.exec() || !q.next()) return s.Answer(q.lastError());
    if (count != nullptr) *count = q.value(0).toInt();
    q.finish();
    return {};
  });
}

LineResult LineDatabase::Reservations(LineItems* items) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = s.Prepared("SELECT slot, value FROM line_held(?)");
    q.addBindValue(s.StationArgument());
    if (!q.exec()) return s.Answer(q.lastError());
    while (q.next()) items->push_back({q.value(0).toString(), q.value(1).toString()});
    q.finish();
    return {};
  });
}

}  // namespace kestrel::line
