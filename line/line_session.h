// The line database's connection and session, shared by the files of each concern
// (line/line_database.h lists them). Everything here runs on the session's database thread.
#pragma once

#include "line/database_thread.h"
#include "line/line_database.h"
#include "line/sql_connections.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kestrel::line {

// A PostgreSQL array literal of texts, each element quoted.
QString LineArrayLiteral(const QStringList& values);

// An identity as the line keeps it.
struct LineIdentity {
  QString kind;
  QString slot;
  QString value;
};

// The items as identities: validated, normalised, the same (kind, value) once.
bool LineIdentities(const LineItems& items, std::vector<LineIdentity>* out, QString* why);

// The identities' slots and values as array literals, in (kind, value) order.
std::pair<QString, QString> LineIdentityArrays(std::vector<LineIdentity> ids);

// The refusal that names the first identity the line would not give: its slot, value, holder
// and state, from the answer's current row (slot, value, holder, state from column `first`).
LineResult LineHeldRefusal(const QSqlQuery& answer, int first = 0);

class LineSession {
 public:
  LineSession();
  ~LineSession();

  template <class F>
  std::invoke_result_t<F> Call(F f) {
    return thread_.Call(std::move(f));
  }

  void Configure(const QString& uri, const QString& station, int waitMs, LineActor actor);
  void CloseHere();
  // Connects when not connected. `checkSchema`: opens the session in the schema's terms
  // (line_open): the station it acts for, its lock, the schema version.
  LineResult ConnectHere(bool checkSchema);

  QSqlDatabase Db() const { return sql::Get(name_); }
  // The statement prepared once per connection.
  QSqlQuery& Prepared(const char* sql);

  // A failed statement: the transaction is rolled back and the connection closed, so that the
  // next call connects again.
  LineResult Fail(const QSqlError& e);
  LineResult FailDb() { return Fail(Db().lastError()); }
  // A failed statement's answer: the schema's refusals (no value left, a bad value, no
  // station, not allowed) are Refused and keep the connection; anything else is Fail.
  LineResult Answer(const QSqlError& e, bool inTransaction = false);

  // The station the session acts for, as the functions take it (NULL for none).
  QVariant StationArgument() const;
  const QString& uri() const { return uri_; }
  const QString& acting() const { return acting_; }
  bool admin() const { return admin_; }
  void SetSchemaChecked() { schemaOk_ = true; }

 private:
  LineResult SetUpSession(QSqlDatabase& db);
  LineResult OpenSession();
  LineResult OpenedVersion(int version, bool serves);
  LineResult OlderSchema();

  const QString name_;
  QString uri_;
  QString station_;
  int waitMs_ = 0;
  LineActor actor_ = LineActor::Station;
  QString acting_;
  bool admin_ = false;
  bool schemaOk_ = false;  // the open connection's session was opened and its version checked
  std::map<std::string, std::unique_ptr<QSqlQuery>> queries_;
  DatabaseThread thread_;  // last: its thread ends before the state above goes
};

// The text of the server's message: its first line, without the severity and the code.
QString LineServerMessage(const QSqlError& e);

}  // namespace kestrel::line
