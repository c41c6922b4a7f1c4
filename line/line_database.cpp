// The line database's connection and session: connecting, opening the session in the schema's
// terms (whom it acts for, the lock on that name, the schema version) and the answers of
// failed statements. The operations are in the files of their concerns (line_database.h).
#include "line/line_database.h"

#include "line/line_session.h"
#include "line/line_uri.h"
#include "line/sql_connections.h"

#include <QRegularExpression>

#include <algorithm>
#include <atomic>
#include <set>
#include <tuple>
#include <utility>

namespace kestrel::line {
namespace {

const QString kDriver = QStringLiteral("QPSQL");
constexpr int kDefaultConnectTimeoutSeconds = 5;
constexpr int kStatementTimeoutMs = 15000;

QString NextConnectionName() {
  static std::atomic<int> counter{0};
  return QStringLiteral("kestrel-line-%1").arg(++counter);
}

// libpq's reason for a refused connection, with what a TLS failure means here.
QString ConnectFailure(const QString& text) {
  QString why = text.trimmed();
  if (why.contains(QLatin1String("certificate verify failed")) ||
      why.contains(QLatin1String("does not match host name"))) {
    why = QStringLiteral("the server's TLS certificate is not the one sslrootcert vouches for (%1)")
              .arg(why);
  }
  return QStringLiteral("cannot connect: ") + why;
}

}  // namespace

LineResult LineUnreachable(const QString& why) {
  LineResult r;
  r.status = LineStatus::Unreachable;
  r.message = why;
  return r;
}

LineResult LineRefused(const QString& why) {
  LineResult r;
  r.status = LineStatus::Refused;
  r.message = why;
  return r;
}

QString LineArrayLiteral(const QStringList& values) {
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

QString LineKindName(LineRangeKind kind) {
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

bool LineIdentities(const LineItems& items, std::vector<LineIdentity>* out, QString* why) {
  std::set<std::pair<QString, QString>> seen;
  for (const LineItem& item : items) {
    if (!ValidLineItem(item, why)) return false;
    LineIdentity id{LineKindOfSlot(item.slot), item.slot, LineValueOf(item.slot, item.value)};
    if (seen.insert({id.kind, id.value}).second) out->push_back(id);
  }
  return true;
}

std::pair<QString, QString> LineIdentityArrays(std::vector<LineIdentity> ids) {
  std::sort(ids.begin(), ids.end(), [](const LineIdentity& x, const LineIdentity& y) {
    return std::tie(x.kind, x.value) < std::tie(y.kind, y.value);
  });
  QStringList slotList, values;
  for (const LineIdentity& id : ids) {
    slotList << id.slot;
    values << id.value;
  }
  return {LineArrayLiteral(slotList), LineArrayLiteral(values)};
}

LineResult LineHeldRefusal(const QSqlQuery& q, int first) {
  LineResult r;
  r.status = LineStatus::Refused;
  r.slot = q.value(first).toString();
  r.value = q.value(first + 1).toString();
  r.holder = q.value(first + 2).toString();
  r.state = q.value(first + 3).toString();
  QString how = QStringLiteral("is reserved by");
  if (r.state == QLatin1String("passed")) how = QStringLiteral("is already passed by");
  if (r.state == QLatin1String("block")) how = QStringLiteral("lies in the block of");
  if (r.state == QLatin1String("not-own")) how = QStringLiteral("lies in no block of");
  r.message = QStringLiteral("%1 %2 %3 %4").arg(r.slot, r.value, how, r.holder);
  return r;
}

QString LineServerMessage(const QSqlError& e) {
  QString text = e.databaseText().trimmed();
  if (text.isEmpty()) text = e.text().trimmed();
  text = text.section(QLatin1Char('\n'), 0, 0).trimmed();
  static const QRegularExpression severity(QStringLiteral("^(ERROR|FATAL|PANIC):\\s*"));
  static const QRegularExpression code(QStringLiteral("\\s*\\([0-9A-Z]{5}\\)$"));
  text.remove(severity);
  text.remove(code);
  return text;
}

LineSession::LineSession() : name_(NextConnectionName()) {}

LineSession::~LineSession() {
  Call([this] {
    CloseHere();
    return 0;
  });
}

void LineSession::Configure(const QString& uri, const QString& station, int waitMs,
                            LineActor actor) {
  CloseHere();
  uri_ = uri;
  station_ = station;
  waitMs_ = waitMs;
  actor_ = actor;
}

void LineSession::CloseHere() {
  schemaOk_ = false;
  acting_.clear();
  admin_ = false;
  queries_.clear();
  sql::CloseAndRemove(name_);
}

LineResult LineSession::ConnectHere(bool checkSchema) {
  if (sql::Contains(name_) && Db().isOpen()) {
    if (!checkSchema || schemaOk_) return {};
    const LineResult opened = OpenSession();
    if (!opened.ok()) CloseHere();
    return opened;
  }
  CloseHere();
  if (!QSqlDatabase::isDriverAvailable(kDriver)) {
    return LineUnreachable(QStringLiteral("the PostgreSQL driver of QtSql is not installed"));
  }
  LineConnection c;
  QString why;
  if (!ParseLineUri(uri_, &c, &why)) return LineUnreachable(QStringLiteral("bad URI: ") + why);
  QString options = c.options;
  auto addOption = [&options](const QString& option) {
    if (!options.isEmpty()) options += QLatin1Char(';');
    options += option;
  };
  if (!options.contains(QLatin1String("connect_timeout="))) {
    addOption(QStringLiteral("connect_timeout=%1").arg(kDefaultConnectTimeoutSeconds));
  }
  // One port per host: libpq's list, which the driver's single port cannot carry.
  if (!c.ports.isEmpty()) addOption(QStringLiteral("port=") + c.ports);
  LineResult result;
  {
    QSqlDatabase db = sql::Add(kDriver, name_);
    if (!c.host.isEmpty()) db.setHostName(c.host);
    if (c.port > 0) db.setPort(c.port);
    if (!c.database.isEmpty()) db.setDatabaseName(c.database);
    if (!c.user.isEmpty()) db.setUserName(c.user);
    if (!c.password.isEmpty()) db.setPassword(c.password);
    db.setConnectOptions(options);
    if (!db.open()) {
      result = LineUnreachable(ConnectFailure(db.lastError().databaseText().isEmpty()
                                                  ? db.lastError().text()
                                                  : db.lastError().databaseText()));
    } else {
      result = SetUpSession(db);
      if (result.ok() && checkSchema) result = OpenSession();
    }
  }
  if (!result.ok()) CloseHere();
  return result;
}

LineResult LineSession::SetUpSession(QSqlDatabase& db) {
  QSqlQuery q(db);
  // Keepalives: the server drops the connection of a station that vanished (power cut,
  // cable pulled) within half a minute, and with it the station's lock on its name.
  if (!q.exec(QStringLiteral("SET client_min_messages = warning")) ||
      !q.exec(QStringLiteral("SET statement_timeout = %1").arg(kStatementTimeoutMs)) ||
      !q.exec(QStringLiteral("SET tcp_keepalives_idle = 10")) ||
      !q.exec(QStringLiteral("SET tcp_keepalives_interval = 5")) ||
      !q.exec(QStringLiteral("SET tcp_keepalives_count = 3"))) {
    return LineUnreachable(LineServerMessage(q.lastError()));
  }
  return {};
}

LineResult LineSession::OpenSession() {
  QSqlQuery q(Db());
  const bool prepared = q.prepare(QStringLiteral(
      "SELECT station, version, admin, serves FROM line_open_session(?, ?, ?, ?, ?)"));
  q.addBindValue(station_.isEmpty() ? QVariant(QMetaType::fromType<QString>())
                                    : QVariant(station_));
  q.addBindValue(actor_ == LineActor::Named);
  q.addBindValue(actor_ != LineActor::None);
  q.addBindValue(waitMs_);
  q.addBindValue(LineSchemaVersion());
  if (!prepared || !q.exec() || !q.next()) {
    const QSqlError e = q.lastError();
    const QString code = e.nativeErrorCode();
    q.finish();
    if (code == QLatin1String("42883") || code == QLatin1String("42P01")) return OlderSchema();
    if (code == QLatin1String("55P03")) return LineUnreachable(LineServerMessage(e));
    if (code == QLatin1String("42501")) return LineRefused(LineServerMessage(e));
    return LineUnreachable(LineServerMessage(e));
  }
  const int version = q.value(1).toInt();
  const bool serves = q.value(3).toBool();
  acting_ = q.value(0).toString();
  admin_ = q.value(2).toBool();
  q.finish();
  return OpenedVersion(version, serves);
}

// A later schema serves this build as long as it says so; an older one needs `init`.
LineResult LineSession::OpenedVersion(int version, bool serves) {
  if (version < LineSchemaVersion()) {
    return LineUnreachable(QStringLiteral("the line database has schema version %1, this build "
                                          "needs %2 (kestrel-cli line init)")
                               .arg(version)
                               .arg(LineSchemaVersion()));
  }
  if (version > LineSchemaVersion() && !serves) {
    return LineUnreachable(QStringLiteral("the line database has schema version %1, which no "
                                          "longer serves this build's %2 (update the station)")
                               .arg(version)
                               .arg(LineSchemaVersion()));
  }
  schemaOk_ = true;
  return {};
}

// The session could not be opened in the schema's terms: no schema, or one older than this
// build's.
LineResult LineSession::OlderSchema() {
  QSqlQuery q(Db());
  if (!q.exec(QStringLiteral("SELECT version FROM line_schema"))) {
    if (q.lastError().nativeErrorCode() == QLatin1String("42P01")) {
      return LineUnreachable(
          QStringLiteral("the line database has no schema yet (kestrel-cli line init)"));
    }
    return LineUnreachable(QStringLiteral("the line database's schema is older than this "
                                          "build's %1 (kestrel-cli line init)")
                               .arg(LineSchemaVersion()));
  }
  const int version = q.next() ? q.value(0).toInt() : 0;
  return LineUnreachable(QStringLiteral("the line database has schema version %1, this build "
                                        "needs %2 (kestrel-cli line init)")
                             .arg(version)
                             .arg(LineSchemaVersion()));
}

QSqlQuery& LineSession::Prepared(const char* sql) {
  auto it = queries_.find(sql);
  if (it == queries_.end()) {
    auto q = std::make_unique<QSqlQuery>(Db());
    q->prepare(QString::fromLatin1(sql));
    it = queries_.emplace(sql, std::move(q)).first;
  }
  return *it->second;
}

LineResult LineSession::Fail(const QSqlError& e) {
  const QString why = LineServerMessage(e);
  if (Db().isOpen()) Db().rollback();
  CloseHere();
  return LineUnreachable(why.isEmpty() ? QStringLiteral("the line database failed") : why);
}

LineResult LineSession::Answer(const QSqlError& e, bool inTransaction) {
  const QString code = e.nativeErrorCode();
  if (code == QLatin1String("KL001") || code == QLatin1String("KL003") ||
      code == QLatin1String("42501")) {
    if (inTransaction) Db().rollback();
    return LineRefused(LineServerMessage(e));
  }
  return Fail(e);
}

QVariant LineSession::StationArgument() const {
  return acting_.isEmpty() ? QVariant(QMetaType::fromType<QString>()) : QVariant(acting_);
}

LineDatabase::LineDatabase() : session_(std::make_unique<LineSession>()) {}

LineDatabase::~LineDatabase() = default;

void LineDatabase::Configure(const QString& uri, const QString& station, int stationLockWaitMs,
                             LineActor actor) {
  station_ = station;
  session_->Call([&] {
    session_->Configure(uri, station, stationLockWaitMs, actor);
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

QString LineDatabase::ActingStation() {
  return session_->Call([&] { return session_->acting(); });
}

bool LineDatabase::IsAdmin() {
  return session_->Call([&] { return session_->admin(); });
}

}  // namespace kestrel::line
