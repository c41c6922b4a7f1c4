// The line database's address: a libpq connection URI,
//   postgresql://[user[:password]@][host][:port][/database][?name=value&...]
// (also "postgres://"). The host may be percent-encoded (a socket folder such as %2Frun%2Fpg)
// or given as the parameter host=; parameters host, port, user, password, dbname override
// the parts before them; connect_timeout, sslmode, application_name, keepalives and
// keepalives_idle are handed to libpq; any other parameter is refused.
#pragma once

#include <QString>

namespace kestrel::records {

struct LineConnection {
  QString host;      // empty: libpq's default (the local socket)
  int port = -1;     // -1: libpq's default (5432)
  QString database;  // empty: the user's name
  QString user;
  QString password;
  QString options;  // libpq parameters as QPSQL connect options ("name=value;...")
};

// False (with a reason) when `uri` is not such a URI.
bool ParseLineUri(const QString& uri, LineConnection* connection, QString* error = nullptr);

// The URI with its password replaced by "***" (an empty URI stays empty), for showing.
QString LineUriForDisplay(const QString& uri);

}  // namespace kestrel::records
