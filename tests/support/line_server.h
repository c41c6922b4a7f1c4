// A throwaway PostgreSQL server for the line-database tests and benchmark: initdb and pg_ctl
// of the installed server (Debian's /usr/lib/postgresql/N/bin, or KESTREL_PG_BINDIR) in a
// temporary folder, listening on 127.0.0.1 at a free port and on a socket in that folder.
// Run as root, the server runs as the user postgres. A watchdog stops it should the test
// process die without its destructor. Each test takes a database of its own (NewDatabase).
// The superuser kestrel comes in without a password (also for replication: StartStandbyOf
// makes a streaming standby of a running server); every other role (the line's stations and
// admins) with its password (scram-sha-256), unless the options give pg_hba.conf.
#pragma once

#include "tests/support/child_process.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVersionNumber>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <utility>
#include <vector>

namespace kestrel::testing {

struct LineServerOptions {
  bool durable = false;  // fsync on, as a line runs it (the benchmark); otherwise off, for speed
  QByteArray conf;       // more lines of postgresql.conf
  QByteArray hba;        // pg_hba.conf in full; empty: the default above
  // Files written into the data folder before the server starts (readable by it alone), such
  // as a TLS certificate and key.
  std::vector<std::pair<QString, QByteArray>> files;
};

class LineServer {
 public:
  LineServer() = default;
  ~LineServer() {
    Stop();
    if (watchdog_) watchdog_->Kill();
  }
  LineServer(const LineServer&) = delete;
  LineServer& operator=(const LineServer&) = delete;

  // The folder of initdb and pg_ctl; empty when no server is installed.
  static QString BinDir() {
    const QString given = qEnvironmentVariable("KESTREL_PG_BINDIR");
    if (!given.isEmpty()) return QFile::exists(given + "/initdb") ? given : QString();
    QString best;
    QVersionNumber bestVersion;
    const QDir root(QStringLiteral("/usr/lib/postgresql"));
    for (const QString& v : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
      const QString bin = root.filePath(v + "/bin");
      const QVersionNumber number = QVersionNumber::fromString(v);
      if (QFile::exists(bin + "/initdb") && QFile::exists(bin + "/pg_ctl") &&
          (best.isEmpty() || number > bestVersion)) {
        best = bin;
        bestVersion = number;
      }
    }
    return best;
  }

  // Creates and starts the server. `durable`: fsync on, as a line runs it (the benchmark);
  // otherwise off, for speed. False with a reason.
  bool Start(QString* why, bool durable = false) {
    LineServerOptions options;
    options.durable = durable;
    return Start(why, options);
  }

  bool Start(QString* why, const LineServerOptions& options) {
    const bool durable = options.durable;
    bin_ = BinDir();
    if (bin_.isEmpty()) return Fail(why, "no PostgreSQL server (initdb) is installed");
    if (::geteuid() == 0) {
      const passwd* pw = ::getpwnam("postgres");
      if (pw == nullptr) return Fail(why, "running as root, but there is no user postgres");
      uid_ = pw->pw_uid;
      gid_ = pw->pw_gid;
    }
    dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/kestrel-pg-XXXXXX");
    if (!dir_->isValid()) return Fail(why, "no temporary folder");
    if (uid_ != 0 && ::chown(QFile::encodeName(dir_->path()).constData(), uid_, gid_) != 0) {
      return Fail(why, "cannot hand the temporary folder to postgres");
    }
    QByteArray out;
    if (Run(bin_ + "/initdb", {"-D", Data(), "-U", "kestrel", "--auth=trust", "-E", "UTF8",
                               "--no-sync", "--no-instructions"},
            &out) != 0) {
      return Fail(why, "initdb failed: " + QString::fromLocal8Bit(out));
    }
    QFile conf(Data() + "/postgresql.conf");
    if (!conf.open(QIODevice::Append)) return Fail(why, "cannot extend postgresql.conf");
    conf.write("listen_addresses = '127.0.0.1'\nmax_connections = 200\n"
               "shared_buffers = 32MB\nunix_socket_directories = '" +
               QFile::encodeName(dir_->path()) + "'\n");
    conf.write(durable ? "fsync = on\nsynchronous_commit = on\n"
                       : "fsync = off\nsynchronous_commit = off\nfull_page_writes = off\n");
    conf.write(options.conf);
    conf.close();
    QFile hba(Data() + "/pg_hba.conf");
    if (!hba.open(QIODevice::WriteOnly | QIODevice::Truncate)) return Fail(why, "cannot write pg_hba.conf");
    hba.write(!options.hba.isEmpty() ? options.hba
                                     : QByteArray("local all all trust\n"
                                                  "host all kestrel 127.0.0.1/32 trust\n"
                                                  "host replication kestrel 127.0.0.1/32 trust\n"
                                                  "host all all 127.0.0.1/32 scram-sha-256\n"));
    hba.close();
    for (const auto& [name, bytes] : options.files) {
      const QString path = Data() + "/" + name;
      QFile f(path);
      if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size()) {
        return Fail(why, "cannot write " + name);
      }
      f.close();
      f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
      if (uid_ != 0 && ::chown(QFile::encodeName(path).constData(), uid_, gid_) != 0) {
        return Fail(why, "cannot hand " + name + " to postgres");
      }
    }
    for (int attempt = 0; attempt < 5; ++attempt) {
      port_ = FreePort();
      if (StartServer()) {
        StartWatchdog();
        return true;
      }
    }
    QFile log(dir_->filePath("log"));
    log.open(QIODevice::ReadOnly);
    return Fail(why, "the server did not start: " + QString::fromLocal8Bit(log.readAll()));
  }

  // A streaming standby of `primary` (which runs): its data folder made with pg_basebackup,
  // started on a port of its own. Once promoted it has no standby of its own, so it waits for
  // none (synchronous_standby_names empty). False with a reason.
  bool StartStandbyOf(const LineServer& primary, QString* why) {
    bin_ = primary.bin_;
    uid_ = primary.uid_;
    gid_ = primary.gid_;
    dir_ = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/kestrel-pg-XXXXXX");
    if (!dir_->isValid()) return Fail(why, "no temporary folder");
    if (uid_ != 0 && ::chown(QFile::encodeName(dir_->path()).constData(), uid_, gid_) != 0) {
      return Fail(why, "cannot hand the temporary folder to postgres");
    }
    QByteArray out;
    if (Run(bin_ + "/pg_basebackup", {"-h", "127.0.0.1", "-p", QString::number(primary.port_),
                                      "-U", "kestrel", "-D", Data(), "-X", "stream", "-R",
                                      "-c", "fast", "--no-sync"},
            &out) != 0) {
      return Fail(why, "pg_basebackup failed: " + QString::fromLocal8Bit(out));
    }
    QFile conf(Data() + "/postgresql.conf");
    if (!conf.open(QIODevice::Append)) return Fail(why, "cannot extend postgresql.conf");
    conf.write("unix_socket_directories = '" + QFile::encodeName(dir_->path()) +
               "'\nsynchronous_standby_names = ''\n");
    conf.close();
    for (int attempt = 0; attempt < 5; ++attempt) {
      port_ = FreePort();
      if (StartServer()) {
        StartWatchdog();
        return true;
      }
    }
    QFile log(dir_->filePath("log"));
    log.open(QIODevice::ReadOnly);
    return Fail(why, "the standby did not start: " + QString::fromLocal8Bit(log.readAll()));
  }

  // Makes a standby the primary (pg_ctl promote, waiting until it takes writes).
  bool Promote() {
    QByteArray out;
    return Run(bin_ + "/pg_ctl", {"-D", Data(), "-w", "-t", "60", "promote"}, &out) == 0;
  }

  // Stops the server as a crash would (immediate shutdown: no checkpoint, connections cut).
  bool StopImmediately() {
    if (!running_) return true;
    QByteArray out;
    running_ = Run(bin_ + "/pg_ctl", {"-D", Data(), "-m", "immediate", "-w", "stop"}, &out) != 0;
    return !running_;
  }

  // Stops the server (fast shutdown: connections are cut); Resume starts it again on the same
  // port.
  bool Stop() {
    if (!running_) return true;
    QByteArray out;
    running_ = Run(bin_ + "/pg_ctl", {"-D", Data(), "-m", "fast", "-w", "stop"}, &out) != 0;
    return !running_;
  }
  bool Resume() { return running_ || StartServer(); }

  int port() const { return port_; }
  QString Uri(const QString& database) const {
    return QStringLiteral("postgresql://kestrel@127.0.0.1:%1/%2").arg(port_).arg(database);
  }

  // A new empty database; its name, or empty on failure.
  QString NewDatabase() {
    static std::atomic<int> counter{0};
    const QString name = QStringLiteral("line_%1_%2").arg(::getpid()).arg(++counter);
    const QString connection = "kestrel-test-admin-" + name;
    bool ok = false;
    {
      QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", connection);
      db.setHostName("127.0.0.1");
      db.setPort(port_);
      db.setUserName("kestrel");
      db.setDatabaseName("postgres");
      if (db.open()) {
        QSqlQuery q(db);
        ok = q.exec("CREATE DATABASE " + name);
      }
      db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return ok ? name : QString();
  }

  // Runs SQL on a database as the server's superuser; false on an error.
  bool Exec(const QString& database, const QString& sql, QString* firstValue = nullptr) {
    const QString connection = "kestrel-test-exec";
    bool ok = false;
    {
      QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", connection);
      db.setHostName("127.0.0.1");
      db.setPort(port_);
      db.setUserName("kestrel");
      db.setDatabaseName(database);
      if (db.open()) {
        QSqlQuery q(db);
        ok = q.exec(sql);
        if (ok && firstValue != nullptr) *firstValue = q.next() ? q.value(0).toString() : QString();
      }
      db.close();
    }
    QSqlDatabase::removeDatabase(connection);
    return ok;
  }

 private:
  static bool Fail(QString* why, const QString& text) {
    if (why != nullptr) *why = text;
    return false;
  }

  QString Data() const { return dir_->filePath("data"); }

  bool StartServer() {
    QByteArray out;
    running_ = Run(bin_ + "/pg_ctl", {"-D", Data(), "-l", dir_->filePath("log"), "-o",
                                      QStringLiteral("-p %1").arg(port_), "-w", "-t", "60",
                                      "start"},
                   &out) == 0;
    return running_;
  }

  // A port nothing listens on now (the kernel's choice).
  static int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      port = ntohs(a.sin_port);
    }
    ::close(fd);
    return port;
  }

  // The program's command line as the server's user.
  QStringList AsServerUser(const QString& program, const QStringList& args) const {
    if (uid_ == 0) return QStringList{program} + args;
    return QStringList{"/usr/bin/setpriv", "--reuid=postgres", "--regid=postgres",
                       "--init-groups", program} +
           args;
  }

  int Run(const QString& program, const QStringList& args, QByteArray* out) const {
    const QStringList line = AsServerUser(program, args);
    ChildProcess child;
    if (!child.Start(line.first(), line.mid(1))) return -1;
    *out = child.ReadAll(90000);
    return child.exitCode();
  }

  void StartWatchdog() {
    if (watchdog_) return;
    QStringList stop = AsServerUser(bin_ + "/pg_ctl", {"-D", Data(), "-m", "immediate", "stop"});
    for (QString& part : stop) part = "'" + part + "'";
    watchdog_ = std::make_unique<ChildProcess>();
    watchdog_->Start("/bin/sh", {"-c", QStringLiteral("while kill -0 %1 2>/dev/null; do sleep 1; "
                                                      "done; %2 >/dev/null 2>&1")
                                           .arg(::getpid())
                                           .arg(stop.join(' '))});
  }

  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<ChildProcess> watchdog_;
  QString bin_;
  uid_t uid_ = 0;  // the server user when run as root; 0: the server runs as we do
  gid_t gid_ = 0;
  int port_ = 0;
  bool running_ = false;
};

}  // namespace kestrel::testing
