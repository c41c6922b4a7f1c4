// Station accounts (admin): a login role per station in the group kestrel_station, made with
// a generated password, and the service-file section and password-file line that let the
// station PC log in without a password in Kestrel.ini. Reporting accounts are made the same way
// in the group kestrel_reporter.
#include "line/line_database.h"
#include "line/line_session.h"
#include "line/line_uri.h"

#include <QRandomGenerator>

namespace kestrel::line {
namespace {

constexpr int kPasswordChars = 24;

QString NewPassword() {
  static const char kAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789";
  constexpr int kSize = static_cast<int>(sizeof kAlphabet) - 1;
  QString password;
  for (int i = 0; i < kPasswordChars; ++i) {
    password += QLatin1Char(kAlphabet[QRandomGenerator::system()->bounded(kSize)]);
  }
  return password;
}

// A password-file field: ':' and '\' escaped.
QString PassField(QString text) {
  text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
  text.replace(QLatin1Char(':'), QStringLiteral("\\:"));
  return text;
}

// A service name made of the station's name: letters, digits, '.', '_' and '-'.
QString ServiceName(const QString& station) {
  QString name;
  for (const QChar c : station) {
    const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                       (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                       (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.') ||
                       c == QLatin1Char('_') || c == QLatin1Char('-');
    name += plain ? c : QLatin1Char('_');
  }
  return name;
}

// What the station PC needs, from the admin's connection: its host, port, database and TLS
// settings, the server's own view where the connection does not say.
void Compose(LineSession& s, const LineConnection& c, LineStationAccount* a) {
  QString host = c.host;
  QString port = c.port > 0 ? QString::number(c.port) : c.ports;
  QString database = c.database;
  QSqlQuery q(s.Db());
  if (q.exec(QStringLiteral("SELECT coalesce(host(inet_server_addr()), ''), "
                            "coalesce(inet_server_port()::text, ''), current_database()")) &&
      q.next()) {
    if (host.isEmpty()) host = q.value(0).toString();
    if (port.isEmpty()) port = q.value(1).toString();
    if (database.isEmpty()) database = q.value(2).toString();
  }
  if (port.isEmpty()) port = QStringLiteral("5432");
  a->serviceName = ServiceName(a->name);
  QString section = QStringLiteral("[%1]\n").arg(a->serviceName);
  if (!host.isEmpty()) section += QStringLiteral("host=%1\n").arg(host);
  section += QStringLiteral("port=%1\ndbname=%2\nuser=%3\n").arg(port, database, a->name);
  for (const QString& option : c.options.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
    const QString key = option.section(QLatin1Char('='), 0, 0);
    if (key.startsWith(QLatin1String("ssl")) || key == QLatin1String("connect_timeout") ||
        key == QLatin1String("target_session_attrs")) {
      section += option + QLatin1Char('\n');
    }
  }
  a->serviceSection = section;
  // One password-file line per server of the list, each with its port (or the one port).
  const QStringList hosts = host.split(QLatin1Char(','));
  const QStringList ports = port.split(QLatin1Char(','));
  QStringList lines;
  for (qsizetype i = 0; i < hosts.size(); ++i) {
    const QString& h = hosts.at(i);
    const QString passHost =
        h.isEmpty() || h.startsWith(QLatin1Char('/')) ? QStringLiteral("localhost") : h;
    QString p = ports.size() == hosts.size() ? ports.at(i) : ports.front();
    if (p.isEmpty()) p = QStringLiteral("5432");
    lines << QStringList{PassField(passHost), p, PassField(database), PassField(a->name),
                         PassField(a->password)}
                 .join(QLatin1Char(':'));
  }
  a->passwordLine = lines.join(QLatin1Char('\n'));
}

// A login role made by the schema's function `sql` (the name and the password bound).
LineResult AddAccount(LineSession& s, const char* sql, const QString& name,
                      LineStationAccount* account) {
  LineResult r = s.ConnectHere(true);
  if (!r.ok()) return r;
  LineStationAccount a;
  a.name = name;
  a.password = NewPassword();
  QSqlQuery& q = s.Prepared(sql);
  q.addBindValue(name);
  q.addBindValue(a.password);
  if (!q.exec()) return s.Answer(q.lastError());
  q.finish();
  LineConnection c;
  ParseLineUri(s.uri(), &c);
  Compose(s, c, &a);
  *account = a;
  return {};
}

}  // namespace

LineResult LineDatabase::AddStation(const QString& name, LineStationAccount* account) {
  return session_->Call([&] {
    return AddAccount(*session_, "SELECT line_add_station(?::text, ?::text)", name, account);
  });
}

LineResult LineDatabase::AddReporter(const QString& name, LineStationAccount* account) {
  return session_->Call([&] {
    return AddAccount(*session_, "SELECT line_add_reporter(?::text, ?::text)", name, account);
  });
}

LineResult LineDatabase::RemoveStation(const QString& name, bool release, int* released) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = s.Prepared("SELECT line_remove_station(?::text, ?::boolean)");
    q.addBindValue(name);
    q.addBindValue(release);
    if (!q.exec() || !q.next()) return s.Answer(q.lastError());
    if (released != nullptr) *released = q.value(0).toInt();
    q.finish();
    return {};
  });
}

LineResult LineDatabase::ListStations(std::vector<LineStationInfo>* stations) {
  return session_->Call([&]() -> LineResult {
    LineSession& s = *session_;
    LineResult r = s.ConnectHere(true);
    if (!r.ok()) return r;
    QSqlQuery& q = s.Prepared("SELECT name, account, reserved, phones FROM line_stations()");
    if (!q.exec()) return s.Answer(q.lastError());
    while (q.next()) {
      stations->push_back({q.value(0).toString(), q.value(1).toBool(), q.value(2).toLongLong(),
                           q.value(3).toLongLong()});
    }
    q.finish();
    return {};
  });
}

}  // namespace kestrel::line
