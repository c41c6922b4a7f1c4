// The line database's address: a libpq connection URI,
//   postgresql://[user[:password]@][host][:port][/database][?name=value&...]
// (also "postgres://"), or libpq's keyword form "name=value name=value ...", most often just
// "service=line1": libpq then reads the connection from the service file (~/.pg_service.conf,
// or the file PGSERVICEFILE names) and the password from the password file (~/.pgpass, or
// PGPASSFILE), so that Kestrel.ini holds no secret. In the URI the host may be
// percent-encoded (a socket folder such as %2Frun%2Fpg) or given as the parameter host=;
// parameters host, port, user, password, dbname override the parts before them; service,
// passfile, connect_timeout, sslmode, sslrootcert, sslcert, sslkey, sslcrl, application_name,
// keepalives, keepalives_idle and target_session_attrs are handed to libpq; any other
// parameter is refused.
//
// Several servers, a primary and its standbys, are libpq's host list: "host1:5432,host2:5433"
// in the URI, "host=host1,host2 port=5432,5433" in the keyword form (one port for all, or one
// per host). With target_session_attrs=read-write libpq connects to whichever of them takes
// writes, so a station follows the primary when a standby is promoted.
#pragma once

#include <QString>

namespace kestrel::line {

struct LineConnection {
  QString host;      // empty: libpq's default (the local socket); several: "h1,h2"
  int port = -1;     // -1: libpq's default (5432), or one port per host in `ports`
  QString ports;     // one port per host ("5432,5433", an empty one libpq's default); else empty
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
