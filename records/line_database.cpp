#include "records/line_database.h"

#include "records/database_thread.h"
#include "records/line_uri.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <atomic>
#include <tuple>
#include <map>
#include <set>
#include <utility>

namespace kestrel::records {
namespace {

const QString kDriver = QStringLiteral("QPSQL");
constexpr int kDefaultConnectTimeoutSeconds = 5;
constexpr int kStatementTimeoutMs = 15000;
// The key of the lock that lets one `init` at a time change the schema.
constexpr qlonglong kInitLockKey = 0x4b6c696e65;  // "Kline"
constexpr int kClaimAttempts = 20;
constexpr int kImportAttempts = 3;

QString NextConnectionName() {
  static std::atomic<int> counter{0};
  return QStringLiteral("kestrel-line-%1").arg(++counter);
}

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

// A PostgreSQL array literal of texts, each element quoted.
QString ArrayLiteral(const QStringList& values) {
  QString out = QStringLiteral("{");
  for (qsizetype i = 0; i < values.size(); ++i) {
    if (i > 0) out += QLatin1Char(',');
    QString v = values.at(i);
    v.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    v.replace(QLatin1Char('"'), QStringLiteral("\\\""));
    out += QLatin1Char('"') + v + QLatin1Char('"');
  }
  return out + QLatin1Char('}');
}

bool IsConstraintError(const QSqlError& e) {
  const QString code = e.nativeErrorCode();
  return code == QLatin1String("23505") || code == QLatin1String("23P01");
}

QString KindName(LineRangeKind kind) {
  switch (kind) {
    case LineRangeKind::Imei:
      return QStringLiteral("IMEI");
    case LineRangeKind::Bluetooth:
      return QStringLiteral("BT");
    case LineRangeKind::Wifi:
      return QStringLiteral("WIFI");
  }
  return {};
}

QString ValueText(int kind, qlonglong v) {
  if (kind == 1) return QStringLiteral("%1").arg(v, 14, 10, QLatin1Char('0'));
  return QStringLiteral("%1").arg(v, 12, 16, QLatin1Char('0'));
}

LineResult Unreachable(const QString& why) {
  LineResult r;
  r.status = LineStatus::Unreachable;
  r.message = why;
  return r;
}

LineResult Refused(const QString& why) {
  LineResult r;
  r.status = LineStatus::Refused;
  r.message = why;
  return r;
}

// The value of an identity as a block value: an IMEI's body, an address's number; -1 when the
// identity takes no block value.
std::pair<int, qlonglong> BlockValueOf(const QString& kind, const QString& value) {
  bool ok = false;
  if (kind == QLatin1String("IMEI")) {
    const qlonglong imei = value.toLongLong(&ok);
    if (ok && value.size() == 15) return {1, imei / 10};
  } else if (kind == QLatin1String("BT") || kind == QLatin1String("WIFI")) {
    const qlonglong address = value.toLongLong(&ok, 16);
    if (ok && value.size() == 12) return {kind == QLatin1String("BT") ? 2 : 3, address};
  }
  return {0, -1};
}

struct Identity {
  QString kind;
  QString slot;
  QString value;
};

// The items as identities: validated, normalised, the same (kind, value) once.
bool Identities(const LineItems& items, std::vector<Identity>* out, QString* why) {
  std::set<std::pair<QString, QString>> seen;
  for (const LineItem& item : items) {
    if (!ValidLineItem(item, why)) return false;
    Identity id{LineKindOfSlot(item.slot), item.slot, LineValueOf(item.slot, item.value)};
    if (seen.insert({id.kind, id.value}).second) out->push_back(id);
  }
  return true;
}

}  // namespace

int LineSchemaVersion() {
  return static_cast<int>(SchemaSteps().size());
}

// The connection and every operation, on the database thread.
class LineDatabase::Session {
 public:
  Session() : name_(NextConnectionName()) {}
  ~Session() {
    Call([this] {
      CloseHere();
      return 0;
    });
  }

  template <class F>
  std::invoke_result_t<F> Call(F f) {
    return thread_.Call(std::move(f));
  }

  void Configure(const QString& uri, const QString& station, int waitMs) {
    CloseHere();
    uri_ = uri;
    station_ = station;
    waitMs_ = waitMs;
  }

  void CloseHere() {
    schemaOk_ = false;
    queries_.clear();
    if (!QSqlDatabase::contains(name_)) return;
    {
      QSqlDatabase db = QSqlDatabase::database(name_, false);
      db.close();
    }
    QSqlDatabase::removeDatabase(name_);
  }

  LineResult ConnectHere(bool checkSchema) {
    if (QSqlDatabase::contains(name_) && QSqlDatabase::database(name_, false).isOpen()) {
      if (!checkSchema || schemaOk_) return {};
      const LineResult checked = CheckSchema();
      if (!checked.ok()) CloseHere();
      return checked;
    }
    CloseHere();
    if (!QSqlDatabase::isDriverAvailable(kDriver)) {
      return Unreachable(QStringLiteral("the PostgreSQL driver of QtSql is not installed"));
    }
    LineConnection c;
    QString why;
    if (!ParseLineUri(uri_, &c, &why)) return Unreachable(QStringLiteral("bad URI: ") + why);
    QString options = c.options;
    if (!options.contains(QLatin1String("connect_timeout="))) {
      if (!options.isEmpty()) options += QLatin1Char(';');
      options += QStringLiteral("connect_timeout=%1").arg(kDefaultConnectTimeoutSeconds);
    }
    LineResult result;
    {
      QSqlDatabase db = QSqlDatabase::addDatabase(kDriver, name_);
      if (!c.host.isEmpty()) db.setHostName(c.host);
      if (c.port > 0) db.setPort(c.port);
      if (!c.database.isEmpty()) db.setDatabaseName(c.database);
      if (!c.user.isEmpty()) db.setUserName(c.user);
      if (!c.password.isEmpty()) db.setPassword(c.password);
      db.setConnectOptions(options);
      if (!db.open()) {
        result = Unreachable(QStringLiteral("cannot connect: ") + Db().lastError().text().trimmed());
      } else {
        result = SetUpSession(db, checkSchema);
      }
    }
    if (!result.ok()) CloseHere();
    return result;
  }

  LineResult InitHere(int* version) {
    LineResult r = ConnectHere(false);
    if (!r.ok()) return r;
    if (!Db().transaction()) return FailDb();
    QSqlQuery q(Db());
    const QStringList steps = SchemaSteps();
    int have = 0;
    if (!q.exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kInitLockKey)) ||
        !q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS line_schema (version integer NOT NULL)")) ||
        !q.exec(QStringLiteral("SELECT version FROM line_schema"))) {
      return Fail(q.lastError());
    }
    if (q.next()) {
      have = q.value(0).toInt();
    } else if (!q.exec(QStringLiteral("INSERT INTO line_schema (version) VALUES (0)"))) {
      return Fail(q.lastError());
    }
    if (have > steps.size()) {
      Db().rollback();
      CloseHere();
      return Refused(QStringLiteral("the line database has schema version %1, newer than this "
                                    "build's %2")
                         .arg(have)
                         .arg(steps.size()));
    }
    for (int step = have; step < steps.size(); ++step) {
      if (!q.exec(steps.at(step))) return Fail(q.lastError());
    }
    q.prepare(QStringLiteral("UPDATE line_schema SET version = ?"));
    q.addBindValue(static_cast<int>(steps.size()));
    if (!q.exec()) return Fail(q.lastError());
    q.finish();
    if (!Db().commit()) return FailDb();
    schemaOk_ = true;
    if (version != nullptr) *version = static_cast<int>(steps.size());
    return {};
  }

  LineResult AddRangeHere(LineRangeKind kind, std::uint64_t first, std::uint64_t last) {
    LineResult r = ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = Prepared(
        "INSERT INTO line_range (kind, first_value, last_value, next_value) "
        "VALUES (?::smallint, ?::bigint, ?::bigint, ?::bigint)");
    q.addBindValue(static_cast<int>(kind));
    q.addBindValue(static_cast<qlonglong>(first));
    q.addBindValue(static_cast<qlonglong>(last));
    q.addBindValue(static_cast<qlonglong>(first));
    if (!q.exec()) {
      if (IsConstraintError(q.lastError())) {
        q.finish();
        return Refused(QStringLiteral("the range overlaps one of the line's %1 ranges").arg(KindName(kind)));
      }
      if (q.lastError().nativeErrorCode() == QLatin1String("23514")) {
        q.finish();
        return Refused(QStringLiteral("the range does not fit the %1 values").arg(KindName(kind)));
      }
      return Fail(q.lastError());
    }
    q.finish();
    return {};
  }

  LineResult NextRunHere(LineRangeKind kind, int count, int blockSize, std::uint64_t* first) {
    LineResult r = ConnectHere(true);
    if (!r.ok()) return r;
    if (!Db().transaction()) return FailDb();
    for (int attempt = 0; attempt < 10 * kClaimAttempts; ++attempt) {
      qlonglong id = 0, next = 0, last = 0;
      bool found = false;
      if (!OpenBlock(kind, &found, &id, &next, &last, &r)) return r;
      if (found && last - next + 1 >= count) {
        // Values of the run the line knows already (typed on some station, imported) are
        // stepped over for good.
        qlonglong known = -1;
        if (!LastKnownIn(kind, next, next + count - 1, &known, &r)) return r;
        if (known < 0) {
          if (!Db().commit()) return FailDb();
          *first = static_cast<std::uint64_t>(next);
          return {};
        }
        QSqlQuery& skip =
            Prepared("UPDATE line_block SET next_value = ?::bigint WHERE id = ?::bigint");
        skip.addBindValue(known + 1);
        skip.addBindValue(id);
        if (!skip.exec()) return Fail(skip.lastError());
        skip.finish();
        continue;
      }
      if (found) {
        // Too few left for one phone: the rest of the block stays this station's, unused.
        QSqlQuery& close =
            Prepared("UPDATE line_block SET next_value = last_value + 1 WHERE id = ?::bigint");
        close.addBindValue(id);
        if (!close.exec()) return Fail(close.lastError());
        close.finish();
      }
      bool claimed = false;
      if (!ClaimBlock(kind, std::max(blockSize, count), &claimed, &r)) return r;
      if (!claimed) break;
    }
    Db().rollback();
    return Refused(
        QStringLiteral("no %1 consecutive unused %2 values left in the line's ranges")
            .arg(count)
            .arg(KindName(kind)));
  }

  LineResult AllocateHere(LineRangeKind kind, int count, int blockSize,
                          std::vector<std::uint64_t>* values) {
    LineResult r = ConnectHere(true);
    if (!r.ok()) return r;
    if (!Db().transaction()) return FailDb();
    std::vector<std::uint64_t> taken;
    int attempts = 0;
    while (static_cast<int>(taken.size()) < count) {
      qlonglong id = 0, next = 0, last = 0;
      bool found = false;
      if (!OpenBlock(kind, &found, &id, &next, &last, &r)) return r;
      if (!found) {
        bool claimed = false;
        const int need = count - static_cast<int>(taken.size());
        if (++attempts > kClaimAttempts ||
            !ClaimBlock(kind, std::max(blockSize, need), &claimed, &r)) {
          if (!r.ok()) return r;
          claimed = false;
        }
        if (!claimed) {
          Db().rollback();
          return Refused(QStringLiteral("the line's %1 ranges are used up").arg(KindName(kind)));
        }
        continue;
      }
      const qlonglong take =
          std::min<qlonglong>(last - next + 1, count - static_cast<qlonglong>(taken.size()));
      QSqlQuery& use = Prepared(
          "UPDATE line_block SET next_value = next_value + ?::bigint WHERE id = ?::bigint");
      use.addBindValue(take);
      use.addBindValue(id);
      if (!use.exec()) return Fail(use.lastError());
      use.finish();
      for (qlonglong v = next; v < next + take; ++v) taken.push_back(static_cast<std::uint64_t>(v));
    }
    if (!Db().commit()) return FailDb();
    *values = std::move(taken);
    return {};
  }

  LineResult ReserveHere(const LineItems& items) {
    std::vector<Identity> ids;
    QString why;
    if (!Identities(items, &ids, &why)) return Refused(why);
    if (station_.isEmpty()) return Refused(QStringLiteral("no station name"));
    // One statement takes every value: inserted, or taken over from this station's own
    // reservation; the station's other reservations go. Values missing from its answer are
    // held elsewhere.
    static const char* const kSql =
        "WITH req AS (SELECT * FROM unnest(?::text[], ?::text[], ?::text[]) AS r(kind, slot, value)), "
        "ins AS (INSERT INTO line_identity (kind, value, slot, station, state, reservation) "
        "SELECT kind, value, slot, ?::text, 'reserved', txid_current() FROM req "
        "ON CONFLICT (kind, value) DO UPDATE SET reservation = EXCLUDED.reservation, "
        "slot = EXCLUDED.slot, reserved_at = now() "
        "WHERE line_identity.station = EXCLUDED.station AND line_identity.state = 'reserved' "
        "RETURNING kind, value), "
        "del AS (DELETE FROM line_identity d WHERE d.station = ?::text AND d.state = 'reserved' "
        "AND NOT EXISTS (SELECT 1 FROM req WHERE req.kind = d.kind AND req.value = d.value)) "
        "SELECT r.kind, r.slot, r.value FROM req r WHERE NOT EXISTS "
        "(SELECT 1 FROM ins WHERE ins.kind = r.kind AND ins.value = r.value)";
    return TakeAll(ids, kSql, [this](QSqlQuery& q, const Arrays& a) {
      q.addBindValue(a.kinds);
      q.addBindValue(a.slotList);
      q.addBindValue(a.values);
      q.addBindValue(station_);
      q.addBindValue(station_);
    });
  }

  LineResult ConfirmHere(const LineItems& items, const QString& stamp, const QString& record) {
    std::vector<Identity> ids;
    QString why;
    if (!Identities(items, &ids, &why)) return Refused(why);
    if (station_.isEmpty()) return Refused(QStringLiteral("no station name"));
    // One statement records the phone, passes every value (free, or reserved by this station)
    // and moves this station's blocks past the IMEI bodies and addresses used.
    static const char* const kSql =
        "WITH req AS (SELECT * FROM unnest(?::text[], ?::text[], ?::text[]) AS r(kind, slot, value)), "
        "used AS (SELECT * FROM unnest(?::smallint[], ?::bigint[]) AS u(kind, v)), "
        "ph AS (INSERT INTO line_phone (station, stamp, record) VALUES (?::text, ?::text, ?::text) "
        "RETURNING id), "
        "ins AS (INSERT INTO line_identity (kind, value, slot, station, state, phone_id, passed_at) "
        "SELECT kind, value, slot, ?::text, 'passed', (SELECT id FROM ph), now() FROM req "
        "ON CONFLICT (kind, value) DO UPDATE SET state = 'passed', phone_id = EXCLUDED.phone_id, "
        "passed_at = now(), slot = EXCLUDED.slot "
        "WHERE line_identity.station = EXCLUDED.station AND line_identity.state = 'reserved' "
        "RETURNING kind, value), "
        "blk AS (UPDATE line_block b SET next_value = greatest(b.next_value, (SELECT max(u.v) + 1 "
        "FROM used u WHERE u.kind = b.kind AND u.v BETWEEN b.first_value AND b.last_value)) "
        "WHERE b.station = ?::text AND EXISTS (SELECT 1 FROM used u WHERE u.kind = b.kind AND "
        "u.v BETWEEN b.first_value AND b.last_value)) "
        "SELECT r.kind, r.slot, r.value FROM req r WHERE NOT EXISTS "
        "(SELECT 1 FROM ins WHERE ins.kind = r.kind AND ins.value = r.value)";
    return TakeAll(ids, kSql, [&](QSqlQuery& q, const Arrays& a) {
      q.addBindValue(a.kinds);
      q.addBindValue(a.slotList);
      q.addBindValue(a.values);
      q.addBindValue(a.blockKinds);
      q.addBindValue(a.blockValues);
      q.addBindValue(station_);
      q.addBindValue(stamp);
      q.addBindValue(record);
      q.addBindValue(station_);
      q.addBindValue(station_);
    });
  }

  LineResult ReleaseHere(int* count) {
    LineResult r = ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q =
        Prepared("DELETE FROM line_identity WHERE station = ?::text AND state = 'reserved'");
    q.addBindValue(station_);
    if (!q.exec()) return Fail(q.lastError());
    if (count != nullptr) *count = q.numRowsAffected();
    q.finish();
    return {};
  }

  LineResult ReservationsHere(LineItems* items) {
    LineResult r = ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = Prepared(
        "SELECT slot, value FROM line_identity WHERE station = ?::text AND state = 'reserved' "
        "ORDER BY slot");
    q.addBindValue(station_);
    if (!q.exec()) return Fail(q.lastError());
    while (q.next()) items->push_back({q.value(0).toString(), q.value(1).toString()});
    q.finish();
    return {};
  }

  LineResult FindHere(const QString& value, std::vector<LineFound>* found) {
    LineResult r = ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = Prepared(
        "SELECT i.kind, i.value, i.slot, i.station, i.state, "
        "to_char(i.reserved_at, 'YYYY-MM-DD HH24:MI:SS'), "
        "coalesce(to_char(i.passed_at, 'YYYY-MM-DD HH24:MI:SS'), ''), coalesce(p.record, '') "
        "FROM line_identity i LEFT JOIN line_phone p ON p.id = i.phone_id "
        "WHERE i.value = ?::text OR i.value = lower(?::text) ORDER BY i.kind");
    q.addBindValue(value);
    q.addBindValue(value);
    if (!q.exec()) return Fail(q.lastError());
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
  }

  LineResult StatusHere(QStringList* lines) {
    LineResult r = ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery q(Db());
    if (!q.exec(QStringLiteral("SELECT kind, first_value, last_value, next_value FROM line_range "
                               "ORDER BY kind, first_value"))) {
      return Fail(q.lastError());
    }
    while (q.next()) {
      const int kind = q.value(0).toInt();
      const qlonglong next = q.value(3).toLongLong(), last = q.value(2).toLongLong();
      *lines << QStringLiteral("range %1 %2-%3 free %4")
                    .arg(KindName(static_cast<LineRangeKind>(kind)),
                         ValueText(kind, q.value(1).toLongLong()), ValueText(kind, last))
                    .arg(last - next + 1);
    }
    if (!q.exec(QStringLiteral("SELECT station, kind, first_value, last_value, next_value FROM "
                               "line_block WHERE next_value <= last_value ORDER BY station, kind, id"))) {
      return Fail(q.lastError());
    }
    while (q.next()) {
      const int kind = q.value(1).toInt();
      *lines << QStringLiteral("block %1 %2 %3-%4 next %5")
                    .arg(q.value(0).toString(), KindName(static_cast<LineRangeKind>(kind)),
                         ValueText(kind, q.value(2).toLongLong()),
                         ValueText(kind, q.value(3).toLongLong()),
                         ValueText(kind, q.value(4).toLongLong()));
    }
    if (!q.exec(QStringLiteral(
            "SELECT station, count(*) FILTER (WHERE state = 'reserved'), "
            "count(*) FILTER (WHERE state = 'passed'), "
            "count(DISTINCT phone_id) FROM line_identity GROUP BY station ORDER BY station"))) {
      return Fail(q.lastError());
    }
    while (q.next()) {
      *lines << QStringLiteral("station %1 reserved %2 passed %3 phones %4")
                    .arg(q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                         q.value(3).toString());
    }
    return {};
  }

  LineResult ImportHere(const std::vector<LineImportPhone>& phones, int* imported, int* skipped) {
    if (station_.isEmpty()) return Refused(QStringLiteral("no station name"));
    QStringList lineNo, stamps, records, idLine, kinds, slotNames, values;
    for (const LineImportPhone& p : phones) {
      std::vector<Identity> ids;
      QString why;
      if (!Identities(p.items, &ids, &why) || ids.empty()) continue;
      const QString n = QString::number(p.sourceLine);
      lineNo << n;
      stamps << p.stamp;
      records << p.record;
      for (const Identity& id : ids) {
        idLine << n;
        kinds << id.kind;
        slotNames << id.slot;
        values << id.value;
      }
    }
    LineResult r = ConnectHere(true);
    if (!r.ok()) return r;
    for (int attempt = 0; attempt < kImportAttempts; ++attempt) {
      if (!Db().transaction()) return FailDb();
      QSqlQuery& q = Prepared(
          "WITH rec AS (SELECT * FROM unnest(?::bigint[], ?::text[], ?::text[]) AS r(n, stamp, "
          "record)), "
          "cand AS (SELECT * FROM unnest(?::bigint[], ?::text[], ?::text[], ?::text[]) "
          "AS c(n, kind, slot, value)), "
          "bad AS (SELECT c.n FROM cand c JOIN line_identity i ON i.kind = c.kind AND "
          "i.value = c.value UNION SELECT c.n FROM cand c JOIN cand d ON d.kind = c.kind AND "
          "d.value = c.value AND d.n < c.n), "
          "ph AS (INSERT INTO line_phone (station, stamp, record, source_line) "
          "SELECT ?::text, stamp, record, n FROM rec WHERE n NOT IN (SELECT n FROM bad) "
          "RETURNING id, source_line), "
          "ins AS (INSERT INTO line_identity (kind, value, slot, station, state, phone_id, "
          "passed_at) SELECT c.kind, c.value, c.slot, ?::text, 'passed', ph.id, now() "
          "FROM cand c JOIN ph ON ph.source_line = c.n RETURNING 1) "
          "SELECT (SELECT count(*) FROM ph), (SELECT count(*) FROM ins)");
      q.addBindValue(ArrayLiteral(lineNo));
      q.addBindValue(ArrayLiteral(stamps));
      q.addBindValue(ArrayLiteral(records));
      q.addBindValue(ArrayLiteral(idLine));
      q.addBindValue(ArrayLiteral(kinds));
      q.addBindValue(ArrayLiteral(slotNames));
      q.addBindValue(ArrayLiteral(values));
      q.addBindValue(station_);
      q.addBindValue(station_);
      if (!q.exec()) {
        const QSqlError e = q.lastError();
        q.finish();
        if (IsConstraintError(e)) {
          // A station took one of these values meanwhile: the next attempt skips that phone.
          Db().rollback();
          continue;
        }
        return Fail(e);
      }
      q.next();
      const int done = q.value(0).toInt();
      q.finish();
      if (!Db().commit()) return FailDb();
      *imported = done;
      *skipped = static_cast<int>(phones.size()) - done;
      return {};
    }
    return Unreachable(QStringLiteral("the import kept meeting values taken meanwhile"));
  }

 private:
  QSqlDatabase Db() const { return QSqlDatabase::database(name_, false); }

  LineResult SetUpSession(QSqlDatabase& db, bool checkSchema) {
    QSqlQuery q(db);
    // Keepalives: the server drops the connection of a station that vanished (power cut,
    // cable pulled) within half a minute, and with it the station's lock on its name.
    if (!q.exec(QStringLiteral("SET client_min_messages = warning")) ||
        !q.exec(QStringLiteral("SET statement_timeout = %1").arg(kStatementTimeoutMs)) ||
        !q.exec(QStringLiteral("SET tcp_keepalives_idle = 10")) ||
        !q.exec(QStringLiteral("SET tcp_keepalives_interval = 5")) ||
        !q.exec(QStringLiteral("SET tcp_keepalives_count = 3"))) {
      return Unreachable(q.lastError().text());
    }
    if (!station_.isEmpty()) {
      bool locked = false;
      if (waitMs_ > 0) {
        if (!q.exec(QStringLiteral("SET lock_timeout = %1").arg(waitMs_))) {
          return Unreachable(q.lastError().text());
        }
        q.prepare(QStringLiteral("SELECT pg_advisory_lock(hashtextextended(?::text, 0))"));
        q.addBindValue(station_);
        locked = q.exec();
        if (!locked && q.lastError().nativeErrorCode() != QLatin1String("55P03")) {
          return Unreachable(q.lastError().text());
        }
        q.finish();
        if (!q.exec(QStringLiteral("SET lock_timeout = 0"))) return Unreachable(q.lastError().text());
      } else {
        q.prepare(QStringLiteral("SELECT pg_try_advisory_lock(hashtextextended(?::text, 0))"));
        q.addBindValue(station_);
        if (!q.exec() || !q.next()) return Unreachable(q.lastError().text());
        locked = q.value(0).toBool();
        q.finish();
      }
      if (!locked) {
        return Unreachable(
            QStringLiteral("station name %1 is in use by another connection to the line database")
                .arg(station_));
      }
    }
    return checkSchema ? CheckSchema() : LineResult{};
  }

  LineResult CheckSchema() {
    QSqlQuery q(Db());
    {
      if (!q.exec(QStringLiteral("SELECT version FROM line_schema"))) {
        if (q.lastError().nativeErrorCode() == QLatin1String("42P01")) {
          return Unreachable(QStringLiteral(
              "the line database has no schema yet (kestrel-cli line init)"));
        }
        return Unreachable(q.lastError().text());
      }
      const int version = q.next() ? q.value(0).toInt() : 0;
      if (version != LineSchemaVersion()) {
        return Unreachable(QStringLiteral("the line database has schema version %1, this build "
                                          "needs %2 (kestrel-cli line init)")
                               .arg(version)
                               .arg(LineSchemaVersion()));
      }
    }
    schemaOk_ = true;
    return {};
  }

  // The statement prepared once per connection.
  QSqlQuery& Prepared(const char* sql) {
    auto it = queries_.find(sql);
    if (it == queries_.end()) {
      auto q = std::make_unique<QSqlQuery>(Db());
      q->prepare(QString::fromLatin1(sql));
      it = queries_.emplace(sql, std::move(q)).first;
    }
    return *it->second;
  }

  // A failed statement: the transaction is rolled back and the connection closed, so that the
  // next call connects again.
  LineResult FailDb() {
    const QSqlError e = Db().lastError();
    return Fail(e);
  }

  LineResult Fail(const QSqlError& e) {
    const QString why = e.text().trimmed();
    if (Db().isOpen()) Db().rollback();
    CloseHere();
    return Unreachable(why.isEmpty() ? QStringLiteral("the line database failed") : why);
  }

  // Who holds an identity that this station could not have. *held false: the row has gone
  // meanwhile (try again).
  bool Holder(const Identity& id, LineResult* r, bool* held) {
    QSqlQuery& q =
        Prepared("SELECT station, state FROM line_identity WHERE kind = ?::text AND value = ?::text");
    q.addBindValue(id.kind);
    q.addBindValue(id.value);
    if (!q.exec()) {
      *r = Fail(q.lastError());
      return false;
    }
    *held = q.next();
    if (*held) {
      r->status = LineStatus::Refused;
      r->slot = id.slot;
      r->value = id.value;
      r->holder = q.value(0).toString();
      r->state = q.value(1).toString();
      r->message = QStringLiteral("%1 %2 is %3 by %4")
                       .arg(id.slot, id.value,
                            r->state == QLatin1String("passed") ? QStringLiteral("already passed")
                                                                : QStringLiteral("reserved"),
                            r->holder);
    }
    q.finish();
    return true;
  }

  struct Arrays {
    QString kinds, slotList, values;  // the identities, as array literals
    QString blockKinds, blockValues;  // their block values (IMEI bodies, addresses)
  };

  // Runs a statement that takes every identity in one transaction and answers with the ones
  // it could not take; commits when it took all, else rolls back and names the holder of the
  // first. The identities go in (kind, value) order, so two stations wanting some of the same
  // values lock them in the same order and never wait on each other in a circle.
  template <class Bind>
  LineResult TakeAll(std::vector<Identity> ids, const char* sql, Bind bind) {
    std::sort(ids.begin(), ids.end(), [](const Identity& x, const Identity& y) {
      return std::tie(x.kind, x.value) < std::tie(y.kind, y.value);
    });
    QStringList kinds, slotNames, values, blockKinds, blockValues;
    for (const Identity& id : ids) {
      kinds << id.kind;
      slotNames << id.slot;
      values << id.value;
      const auto [kind, value] = BlockValueOf(id.kind, id.value);
      if (kind == 0) continue;
      blockKinds << QString::number(kind);
      blockValues << QString::number(value);
    }
    const Arrays arrays{ArrayLiteral(kinds), ArrayLiteral(slotNames), ArrayLiteral(values),
                        ArrayLiteral(blockKinds), ArrayLiteral(blockValues)};
    LineResult r = ConnectHere(true);
    if (!r.ok()) return r;
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (!Db().transaction()) return FailDb();
      QSqlQuery& q = Prepared(sql);
      bind(q, arrays);
      if (!q.exec()) return Fail(q.lastError());
      std::vector<Identity> missing;
      while (q.next()) {
        missing.push_back({q.value(0).toString(), q.value(1).toString(), q.value(2).toString()});
      }
      q.finish();
      if (missing.empty()) {
        if (!Db().commit()) return FailDb();
        return {};
      }
      bool held = false;
      if (!Holder(missing.front(), &r, &held)) return r;
      Db().rollback();
      if (held) return r;
      // The row that stood in the way went meanwhile: try again.
    }
    return Unreachable(QStringLiteral("the reservation did not settle"));
  }

  // The highest value in [first, last] of the kind that the line holds as an identity, or -1.
  // Fixed-width texts (14-digit bodies with their check digit, 12 lower-case hexadecimal
  // digits) order as their numbers, so this is one range of the primary key.
  bool LastKnownIn(LineRangeKind kind, qlonglong first, qlonglong last, qlonglong* known,
                   LineResult* r) {
    const int k = static_cast<int>(kind);
    QString low = ValueText(k, first), high = ValueText(k, last);
    if (kind == LineRangeKind::Imei) {
      low += QLatin1Char('0');
      high += QLatin1Char('9');
    }
    QSqlQuery& q = Prepared(
        "SELECT max(value) FROM line_identity WHERE kind = ?::text AND value >= ?::text AND "
        "value <= ?::text");
    q.addBindValue(KindName(kind));
    q.addBindValue(low);
    q.addBindValue(high);
    if (!q.exec() || !q.next()) {
      *r = Fail(q.lastError());
      return false;
    }
    const QString value = q.value(0).toString();
    q.finish();
    *known = -1;
    if (value.isEmpty()) return true;
    bool ok = false;
    *known = kind == LineRangeKind::Imei ? value.left(14).toLongLong(&ok) : value.toLongLong(&ok, 16);
    if (!ok) *known = -1;
    return true;
  }

  // This station's first block of the kind with values left, locked.
  bool OpenBlock(LineRangeKind kind, bool* found, qlonglong* id, qlonglong* next, qlonglong* last,
                 LineResult* r) {
    QSqlQuery& q = Prepared(
        "SELECT id, next_value, last_value FROM line_block WHERE kind = ?::smallint AND "
        "station = ?::text AND next_value <= last_value ORDER BY id LIMIT 1 FOR UPDATE");
    q.addBindValue(static_cast<int>(kind));
    q.addBindValue(station_);
    if (!q.exec()) {
      *r = Fail(q.lastError());
      return false;
    }
    *found = q.next();
    if (*found) {
      *id = q.value(0).toLongLong();
      *next = q.value(1).toLongLong();
      *last = q.value(2).toLongLong();
    }
    q.finish();
    return true;
  }

  // Claims a block of up to `size` values for this station from the first range with values
  // left. The range row is locked and moved on in the same statement, so two stations never
  // get the same values; the blocks' exclusion constraint stands behind that.
  bool ClaimBlock(LineRangeKind kind, int size, bool* claimed, LineResult* r) {
    *claimed = false;
    for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
      QSqlQuery& q = Prepared(
          "WITH r AS (SELECT id, next_value, least(?::bigint, last_value - next_value + 1) AS take "
          "FROM line_range WHERE kind = ?::smallint AND next_value <= last_value "
          "ORDER BY first_value LIMIT 1 FOR UPDATE), "
          "u AS (UPDATE line_range t SET next_value = t.next_value + r.take FROM r "
          "WHERE t.id = r.id RETURNING r.id, r.next_value AS first_value, r.take) "
          "INSERT INTO line_block (range_id, kind, station, first_value, last_value, next_value) "
          "SELECT id, ?::smallint, ?::text, first_value, first_value + take - 1, first_value "
          "FROM u RETURNING id");
      q.addBindValue(static_cast<qlonglong>(size));
      q.addBindValue(static_cast<int>(kind));
      q.addBindValue(static_cast<int>(kind));
      q.addBindValue(station_);
      if (!q.exec()) {
        *r = Fail(q.lastError());
        return false;
      }
      *claimed = q.next();
      q.finish();
      if (*claimed) return true;
      // The range locked may have been used up by another station meanwhile: look again
      // while any range has values left.
      QSqlQuery& left = Prepared(
          "SELECT EXISTS (SELECT 1 FROM line_range WHERE kind = ?::smallint AND "
          "next_value <= last_value)");
      left.addBindValue(static_cast<int>(kind));
      if (!left.exec() || !left.next()) {
        *r = Fail(left.lastError());
        return false;
      }
      const bool any = left.value(0).toBool();
      left.finish();
      if (!any) return true;
    }
    return true;
  }

  const QString name_;
  QString uri_;
  QString station_;
  int waitMs_ = 0;
  bool schemaOk_ = false;  // the open connection's schema version was checked
  std::map<std::string, std::unique_ptr<QSqlQuery>> queries_;
  DatabaseThread thread_;  // last: its thread ends before the state above goes
};

LineDatabase::LineDatabase() : session_(std::make_unique<Session>()) {}

LineDatabase::~LineDatabase() = default;

void LineDatabase::Configure(const QString& uri, const QString& station, int stationLockWaitMs) {
  station_ = station;
  session_->Call([&] {
    session_->Configure(uri, station, stationLockWaitMs);
    return 0;
  });
}

LineResult LineDatabase::Connect() {
  return session_->Call([&] { return session_->ConnectHere(true); });
}

void LineDatabase::Close() {
  session_->Call([&] {
    session_->CloseHere();
    return 0;
  });
}

LineResult LineDatabase::Init(int* version) {
  return session_->Call([&] { return session_->InitHere(version); });
}

LineResult LineDatabase::AddRange(LineRangeKind kind, std::uint64_t first, std::uint64_t last) {
  return session_->Call([&] { return session_->AddRangeHere(kind, first, last); });
}

LineResult LineDatabase::NextRun(LineRangeKind kind, int count, int blockSize,
                                 std::uint64_t* first) {
  return session_->Call([&] { return session_->NextRunHere(kind, count, blockSize, first); });
}

LineResult LineDatabase::Allocate(LineRangeKind kind, int count, int blockSize,
                                  std::vector<std::uint64_t>* values) {
  return session_->Call([&] { return session_->AllocateHere(kind, count, blockSize, values); });
}

LineResult LineDatabase::Reserve(const LineItems& items) {
  return session_->Call([&] { return session_->ReserveHere(items); });
}

LineResult LineDatabase::Confirm(const LineItems& items, const QString& stamp,
                                 const QString& record) {
  return session_->Call([&] { return session_->ConfirmHere(items, stamp, record); });
}

LineResult LineDatabase::Release(int* count) {
  return session_->Call([&] { return session_->ReleaseHere(count); });
}

LineResult LineDatabase::Reservations(LineItems* items) {
  return session_->Call([&] { return session_->ReservationsHere(items); });
}

LineResult LineDatabase::Find(const QString& value, std::vector<LineFound>* found) {
  return session_->Call([&] { return session_->FindHere(value, found); });
}

LineResult LineDatabase::Status(QStringList* lines) {
  return session_->Call([&] { return session_->StatusHere(lines); });
}

LineResult LineDatabase::ImportPhones(const std::vector<LineImportPhone>& phones, int* imported,
                                      int* skipped) {
  return session_->Call([&] { return session_->ImportHere(phones, imported, skipped); });
}

}  // namespace kestrel::records
