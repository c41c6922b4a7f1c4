// The line database's address: a libpq connection URI,
//   postgresql://[user[:password]@][host][:port][/database][?name=value&...]
// (also "postgres://"), or libpq's keyword form "name=value name=value ...", most often just
// "service=line1": libpq then reads the connection from the service file (~/.pg_service.conf,
// or the file PGSERVICEFILE names) and the password from the password file (~/.pgpass, or
// PGPASSFILE), so that Kestrel.ini holds no secret. In the URI the host may be
// percent-encoded (a socket folder such as %2Frun%2Fpg) or given as the parameter host=;
// parameters host, port, user, password, dbname override the parts before them; service,
// passfile, connect_timeout, sslmode, sslrootcert, sslcert, sslkey, sslcrl, application_name,
// keepalives and keepalives_idle are handed to libpq; any other parameter is refused.
#pragma once

#include <QString>

namespace kestrel::line {

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

// The URI (or keyword form) with its password replaced by "***" (an empty URI stays empty),
// for showing.
QString LineUriForDisplay(const QString& uri);

}  // namespace kestrel::line
