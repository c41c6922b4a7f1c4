// The shared throwaway server of a line-database test binary and the skip rule: the tests are
// skipped, with a message, only where no PostgreSQL server is installed; a server that is
// installed but does not start fails them.
#pragma once

#include "line/line_database.h"
#include "tests/support/line_server.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

#include <gtest/gtest.h>

namespace kestrel::testing {

inline LineServer* SharedLineServer(QString* why) {
  static LineServer server;
  static QString reason;
  static const bool started = server.Start(&reason);
  if (!started) *why = reason;
  return started ? &server : nullptr;
}

}  // namespace kestrel::testing

// In a test's SetUp: skips without a server binary, fails when the server does not start;
// then `server` points to it.
#define KESTREL_REQUIRE_LINE_SERVER(server)                                              \
  do {                                                                                   \
    if (::kestrel::testing::LineServer::BinDir().isEmpty()) {                            \
      GTEST_SKIP() << "SKIPPED: no PostgreSQL server installed (postgresql package); "   \
                      "the line database is not tested here";                            \
    }                                                                                    \
    QString why_;                                                                        \
    server = ::kestrel::testing::SharedLineServer(&why_);                                \
    ASSERT_NE(server, nullptr) << why_.toStdString();                                    \
  } while (false)

namespace kestrel::testing {

// A test with a fresh, empty database of its own on the shared server (`name_`, `uri_` as the
// admin connects to it). A fixture that builds on it calls SetUp first and returns when it
// skipped or failed.
class LineDatabaseFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    KESTREL_REQUIRE_LINE_SERVER(server_);
    ASSERT_TRUE(server_->Resume());
    name_ = server_->NewDatabase();
    ASSERT_FALSE(name_.isEmpty());
    uri_ = server_->Uri(name_);
  }
  bool Unready() const { return IsSkipped() || HasFatalFailure(); }

  // The database's first value of `sql`, run as the server's superuser.
  QString Sql(const QString& sql) {
    QString value;
    EXPECT_TRUE(server_->Exec(name_, sql, &value)) << sql.toStdString();
    return value;
  }

  // The URI an account logs in with; joined, not .arg()ed: the encoded name holds '%'.
  QString Uri(const line::LineStationAccount& a) const {
    return "postgresql://" + QString::fromLatin1(QUrl::toPercentEncoding(a.name)) + ":" +
           QString::fromLatin1(QUrl::toPercentEncoding(a.password)) +
           "@127.0.0.1:" + QString::number(server_->port()) + "/" + name_;
  }

  // Runs SQL logged in as the account: the SQLSTATE of its error ("" when it ran), and its
  // first value into `value`.
  QString As(const line::LineStationAccount& a, const QString& sql, QString* value = nullptr) {
    const QString connection = QStringLiteral("kestrel-test-account");
    QString code;
    {
      QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
      db.setHostName(QStringLiteral("127.0.0.1"));
      db.setPort(server_->port());
      db.setDatabaseName(name_);
      db.setUserName(a.name);
      db.setPassword(a.password);
      if (db.open()) {
        QSqlQuery q(db);
        code = q.exec(sql) ? QString() : q.lastError().nativeErrorCode();
        if (value != nullptr && q.next()) *value = q.value(0).toString();
      } else {
        code = QStringLiteral("cannot connect: ") + db.lastError().text();
      }
      db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return code;
  }

  LineServer* server_ = nullptr;
  QString name_;
  QString uri_;
};

}  // namespace kestrel::testing
