// What a station needs of the line to work on its own and catch up afterwards: its blocks with
// what of them it may write alone (line_own_blocks), and the hand-off of its outbox's entries
// (line_hand_on_reserve, line_hand_on_confirm), each taken once by its key.
#include "line/line_database.h"
#include "line/line_session.h"

namespace kestrel::line {
namespace {

// The answer (outcome, again, slot, value, holder, state) of a hand-off.
LineResult HandOnAnswer(LineSession& s, QSqlQuery& q, LineHandOn& entry) {
  if (!q.exec() || !q.next()) return s.Answer(q.lastError());
  const QString outcome = q.value(0).toString();
  entry.again = q.value(1).toBool();
  // A refusal's row names the identity from its third column on.
  const LineResult r = outcome == QLatin1String("handed-on") ? LineResult{} : LineHeldRefusal(q, 2);
  q.finish();
  return r;
}

}  // namespace

LineResult LineDatabase::OwnBlocks(std::vector<LineBlock>* blocks) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = s.Prepared(
        "SELECT id, kind, first_value, last_value, next_value, usable_last FROM line_own_blocks(?)");
    q.addBindValue(s.StationArgument());
    if (!q.exec()) return s.Answer(q.lastError());
    std::vector<LineBlock> found;
    while (q.next()) {
      LineBlock b;
      b.id = q.value(0).toLongLong();
      b.kind = static_cast<LineRangeKind>(q.value(1).toInt());
      b.first = static_cast<std::uint64_t>(q.value(2).toLongLong());
      b.last = static_cast<std::uint64_t>(q.value(3).toLongLong());
      b.next = static_cast<std::uint64_t>(q.value(4).toLongLong());
      b.usable = static_cast<std::uint64_t>(q.value(5).toLongLong());
      found.push_back(b);
    }
    q.finish();
    *blocks = std::move(found);
    return {};
  });
}

LineResult LineDatabase::HandOnReserve(LineHandOn& entry, const LineItems& items) {
  return HandOn(entry, items,
                "SELECT outcome, again, slot, value, holder, state FROM line_hand_on_reserve(?, "
                "?::text, ?::timestamptz, ?::text[], ?::text[])",
                {});
}

LineResult LineDatabase::HandOnConfirm(LineHandOn& entry, const LineItems& items,
                                       const QString& stamp, const QString& record) {
  return HandOn(entry, items,
                "SELECT outcome, again, slot, value, holder, state FROM line_hand_on_confirm(?, "
                "?::text, ?::timestamptz, ?::text[], ?::text[], ?::text, ?::text)",
                {stamp, record});
}

LineResult LineDatabase::HandOn(LineHandOn& entry, const LineItems& items, const char* sql,
                                const QStringList& more) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    std::vector<LineIdentity> ids;
    QString why;
    if (!LineIdentities(items, &ids, &why) || ids.empty()) {
      return LineRefused(why.isEmpty() ? QStringLiteral("no identities") : why);
    }
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    const auto [slotList, values] = LineIdentityArrays(ids);
    QSqlQuery& q = s.Prepared(sql);
    q.addBindValue(s.StationArgument());
    q.addBindValue(entry.entry);
    q.addBindValue(entry.written.toUTC());
    q.addBindValue(slotList);
    q.addBindValue(values);
    for (const QString& value : more) q.addBindValue(value);
    return HandOnAnswer(s, q, entry);
  });
}

}  // namespace kestrel::line
