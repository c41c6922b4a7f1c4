// The line database over TLS, end to end, against a throwaway server of its own that takes
// nothing but TLS on TCP: a CA and a server certificate made with openssl for the test; the
// station logs in through a service file and a password file (nothing secret in Kestrel.ini),
// verify-full vouching for the server; a wrong CA is refused at start-up with a clear message
// and jobs are refused as for an unreachable line; a connection without TLS is refused.
#include "line/line_database.h"
#include "records/result_store.h"

#include "identity/imei.h"
#include "tests/records/records_fakes.h"
#include "tests/support/child_process.h"
#include "tests/support/line_server.h"
#include "tests/support/test_support.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using kestrel::line::LineDatabase;
using kestrel::line::LineResult;
using kestrel::line::LineStatus;
using kestrel::records::ResultStore;
using kestrel::records::testing::FakeReport;
using kestrel::records::testing::FakeSink;
using kestrel::testing::LineServer;
using kestrel::testing::LineServerOptions;
using kestrel::testing::RunChild;
using kestrel::testing::StationDir;

namespace {

// Runs openssl in `dir`; false when it fails.
bool OpenSsl(const QString& dir, const QStringList& args) {
  return RunChild(QStringLiteral("/bin/sh"),
                  {"-c", "cd '" + dir + "' && openssl " + args.join(' ') + " 2>&1"})
             .exitCode == 0;
}

// A CA named `name` in dir: name.key, name.crt.
bool MakeCa(const QString& dir, const QString& name) {
  return OpenSsl(
      dir, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-days", "2", "-subj", "/CN=" + name, "-keyout", name + ".key", "-out", name + ".crt"});
}

QByteArray Read(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool Write(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

}  // namespace

TEST(LineTls, VerifyFullEndToEndAWrongCaAndNoTlsAreRefused) {
  if (LineServer::BinDir().isEmpty()) GTEST_SKIP() << "SKIPPED: no PostgreSQL server installed";
  QTemporaryDir pki;
  ASSERT_TRUE(pki.isValid());
  const QString d = pki.path();
  ASSERT_TRUE(MakeCa(d, "ca"));
  ASSERT_TRUE(MakeCa(d, "wrong-ca"));
  ASSERT_TRUE(Write(d + "/ext", "subjectAltName=IP:127.0.0.1,DNS:localhost\n"));
  ASSERT_TRUE(
      OpenSsl(d, {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                  "-subj", "/CN=127.0.0.1", "-keyout", "server.key", "-out", "server.csr"}));
  ASSERT_TRUE(
      OpenSsl(d, {"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                  "-CAcreateserial", "-days", "2", "-extfile", "ext", "-out", "server.crt"}));

  LineServerOptions options;
  options.conf = "ssl = on\nssl_cert_file = 'server.crt'\nssl_key_file = 'server.key'\n";
  options.hba =
      "local all all trust\n"
      "hostssl all kestrel 127.0.0.1/32 trust\n"
      "hostssl all all 127.0.0.1/32 scram-sha-256\n";
  options.files = {{"server.crt", Read(d + "/server.crt")},
                   {"server.key", Read(d + "/server.key")}};
  LineServer server;
  QString why;
  ASSERT_TRUE(server.Start(&why, options)) << why.toStdString();
  const QString name = server.NewDatabase();
  ASSERT_FALSE(name.isEmpty());

  // The admin over verify-full; the account it makes carries the TLS settings to the station.
  const QString tls = "?sslmode=verify-full&sslrootcert=" + d + "/ca.crt";
  LineDatabase admin;
  admin.Configure(server.Uri(name) + tls, QString());
  ASSERT_TRUE(admin.Init().ok());
  kestrel::line::LineStationAccount account;
  ASSERT_TRUE(admin.AddStation("tls-S1", &account).ok());
  EXPECT_TRUE(account.serviceSection.contains("sslmode=verify-full\n"));
  EXPECT_TRUE(account.serviceSection.contains("sslrootcert=" + d + "/ca.crt\n"));

  // The station PC: its service and password files; Kestrel.ini names the service only.
  ASSERT_TRUE(Write(d + "/pg_service.conf", account.serviceSection.toUtf8()));
  ASSERT_TRUE(Write(d + "/pgpass", account.passwordLine.toUtf8() + "\n"));
  QFile::setPermissions(d + "/pgpass", QFileDevice::ReadOwner | QFileDevice::WriteOwner);
  qputenv("PGSERVICEFILE", (d + "/pg_service.conf").toLocal8Bit());
  qputenv("PGPASSFILE", (d + "/pgpass").toLocal8Bit());
  kestrel::config::StationSettings settings = kestrel::records::testing::TextStation();
  settings.LineDatabase = "service=" + account.serviceName;
  settings.LineStation = "ignored@pc";
  const kestrel::records::RecordIdentities phone{kestrel::identity::FullImei(35000000000001ULL),
                                                 kestrel::identity::FullImei(35000000000002ULL),
                                                 {},
                                                 {},
                                                 "0a0b0c0d0e0f",
                                                 "00037f000001",
                                                 {},
                                                 {}};
  {
    StationDir dir;
    ResultStore store(dir.path());
    FakeSink sink;
    store.OpenForSettings(settings, sink);
    EXPECT_TRUE(sink.shown.isEmpty()) << sink.shown.join('\n').toStdString();
    EXPECT_TRUE(store.LineNotice().isEmpty()) << "no password in Kestrel.ini";
    FakeReport report;
    EXPECT_TRUE(store.ReserveForJob(settings, phone, report)) << report.text().toStdString();
    EXPECT_EQ(store.line(settings).ActingStation(), "tls-S1");
    QString encrypted;
    ASSERT_TRUE(server.Exec(name,
                            "SELECT count(*) FROM pg_stat_ssl s JOIN pg_stat_activity a "
                            "USING (pid) WHERE a.usename = 'tls-S1' AND s.ssl",
                            &encrypted));
    EXPECT_EQ(encrypted, "1");
  }

  // A CA that did not sign the server's certificate: start-up says so, jobs are refused.
  QByteArray wrong = account.serviceSection.toUtf8();
  wrong.replace("/ca.crt", "/wrong-ca.crt");
  ASSERT_TRUE(Write(d + "/pg_service.conf", wrong));
  {
    StationDir dir;
    ResultStore store(dir.path());
    FakeSink sink;
    store.OpenForSettings(settings, sink);
    ASSERT_EQ(sink.shown.size(), 1);
    EXPECT_TRUE(
        sink.shown[0].startsWith("Line database unreachable: cannot connect: the server's "
                                 "TLS certificate is not the one sslrootcert vouches for"))
        << sink.shown[0].toStdString();
    EXPECT_TRUE(sink.shown[0].contains("certificate verify failed")) << sink.shown[0].toStdString();
    FakeReport report;
    EXPECT_FALSE(store.ReserveForJob(settings, phone, report));
    EXPECT_TRUE(report.text().startsWith("Line database unreachable"))
        << report.text().toStdString();
  }

  // Without TLS the server lets nobody in.
  LineDatabase plain;
  plain.Configure(server.Uri(name) + "?sslmode=disable", QString());
  const LineResult refused = plain.Connect();
  EXPECT_EQ(refused.status, LineStatus::Unreachable);
  EXPECT_TRUE(refused.message.contains("no encryption")) << refused.message.toStdString();

  // A password written into Kestrel.ini still works, and the status line says where it goes.
  settings.LineDatabase = "postgresql://tls-S1:" + account.password +
                          "@127.0.0.1:" + QString::number(server.port()) + "/" + name + tls;
  {
    StationDir dir;
    ResultStore store(dir.path());
    FakeSink sink;
    store.OpenForSettings(settings, sink);
    // It connects, and finds the reservation the first start-up left, under its role's name.
    ASSERT_EQ(sink.shown.size(), 1);
    EXPECT_TRUE(sink.shown[0].startsWith("Station tls-S1 holds identities"))
        << sink.shown[0].toStdString();
    EXPECT_TRUE(store.LineNotice().contains("move it to the password file"));
    EXPECT_FALSE(store.LineNotice().contains(account.password));
  }
  qunsetenv("PGSERVICEFILE");
  qunsetenv("PGPASSFILE");
}
