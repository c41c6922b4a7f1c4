// A throwaway CUPS for the label tests and the job benchmark: cupsd of the installed system
// with its own configuration folder (a temporary folder) listening on 127.0.0.1 at a free port,
// and cups-pdf queues writing their PDFs into a folder of it. Clients reach it through
// CUPS_SERVER=Address().
//
// cups-pdf reads its settings from /etc/cups (cups-pdf-INSTANCE.conf for the device URI
// cups-pdf:/INSTANCE, the only place it looks), so each queue gets a file of its own there,
// removed again with the server; its backend runs only under a cupsd started as root. A
// watchdog stops the server and removes those files should the test process die first.
#pragma once

#include "tests/support/child_process.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>

namespace kestrel::testing {

class CupsServer {
 public:
  static constexpr const char* kCupsd = "/usr/sbin/cupsd";
  static constexpr const char* kPdfBackend = "/usr/lib/cups/backend/cups-pdf";
  static constexpr const char* kPdfPpd = "/usr/share/ppd/cups-pdf/CUPS-PDF_noopt.ppd";

  CupsServer() = default;
  ~CupsServer() { Stop(); }
  CupsServer(const CupsServer&) = delete;
  CupsServer& operator=(const CupsServer&) = delete;

  // Starts cupsd. False with the reason when it cannot run here.
  bool Start(QString* why) {
    for (const char* file : {kCupsd, kPdfBackend, kPdfPpd}) {
      if (!QFileInfo::exists(QLatin1String(file))) {
        return Fail(why, QStringLiteral("%1 is not installed").arg(QLatin1String(file)));
      }
    }
    if (::geteuid() != 0) {
      return Fail(why,
                  QStringLiteral("cups-pdf's backend runs only under a cupsd started as root"));
    }
    dir_ =
        std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/kestrel-cups-XXXXXX"));
    if (!dir_->isValid()) return Fail(why, QStringLiteral("no temporary folder"));
    // The filters run as the user lp: they need to pass through the folder and write to tmp.
    ::chmod(QFile::encodeName(dir_->path()).constData(), 0755);
    for (const char* sub : {"cache", "state", "spool", "tmp", "out", "ppd"})
      QDir(dir_->path()).mkdir(sub);
    ::chmod(QFile::encodeName(Path("tmp")).constData(), 01777);
    for (int attempt = 0; attempt < 5; ++attempt) {
      port_ = FreePort();
      WriteConfiguration();
      if (StartServer()) {
        StartWatchdog();
        return true;
      }
    }
    return Fail(why, QStringLiteral("cupsd did not start: ") + ErrorLog().right(2000));
  }

  // "127.0.0.1:PORT", for CUPS_SERVER and lpadmin -h.
  QString Address() const { return QStringLiteral("127.0.0.1:%1").arg(port_); }
  // Where the cups-pdf queues put their PDFs.
  QString OutputFolder() const { return Path("out"); }
  QString ErrorLog() const {
    QFile f(Path("error_log"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
  }

  // A cups-pdf queue named `name` (also made the server's default printer when `isDefault`).
  bool AddPdfQueue(const QString& name, QString* why, bool isDefault = false) {
    static std::atomic<int> counter{0};
    const QString instance = QStringLiteral("kestrel-%1-%2").arg(::getpid()).arg(++counter);
    const QString conf = QStringLiteral("/etc/cups/cups-pdf-%1.conf").arg(instance);
    QFile f(conf);
    if (!f.open(QIODevice::WriteOnly)) return Fail(why, QStringLiteral("cannot write ") + conf);
    const QByteArray out = QFile::encodeName(OutputFolder());
    f.write("Out " + out + "\nAnonDirName " + out + "\nSpool " +
            QFile::encodeName(Path("cups-pdf-spool")) + "\nLog " +
            QFile::encodeName(Path("cups-pdf-log")) + "\nGrp root\n");
    f.close();
    pdfConfigs_ << conf;
    QStringList args{QStringLiteral("-h"), Address(),
                     QStringLiteral("-p"), name,
                     QStringLiteral("-v"), QStringLiteral("cups-pdf:/") + instance,
                     QStringLiteral("-P"), QLatin1String(kPdfPpd),
                     QStringLiteral("-E")};
    ChildRun run = RunChild(QStringLiteral("/usr/sbin/lpadmin"), args);
    if (run.exitCode != 0)
      return Fail(why, QStringLiteral("lpadmin: ") + QString::fromLocal8Bit(run.err));
    if (isDefault) {
      run = RunChild(QStringLiteral("/usr/sbin/lpadmin"),
                     {QStringLiteral("-h"), Address(), QStringLiteral("-d"), name});
      if (run.exitCode != 0)
        return Fail(why, QStringLiteral("lpadmin -d: ") + QString::fromLocal8Bit(run.err));
    }
    return true;
  }

  // Stops (cupsdisable) or resumes (cupsenable) a queue; true when done.
  bool StopQueue(const QString& name) { return Tool("cupsdisable", name); }
  bool ResumeQueue(const QString& name) { return Tool("cupsenable", name); }

  // The PDFs in the output folder, oldest first.
  QStringList Pdfs() const {
    QStringList paths;
    const QDir out(OutputFolder());
    for (const QFileInfo& f :
         out.entryInfoList({QStringLiteral("*.pdf")}, QDir::Files, QDir::Time | QDir::Reversed)) {
      paths << f.filePath();
    }
    return paths;
  }
  // Waits up to `ms` for the next PDF of the output folder and takes it out of the folder
  // (cups-pdf names a PDF by its job's title, so a second job of the same title would write
  // over it). A PDF is taken once its size has stayed the same for 50 ms. Its new path, or
  // empty when none came.
  QString TakePdf(int ms) {
    QElapsedTimer t;
    t.start();
    do {
      const QStringList pdfs = Pdfs();
      if (!pdfs.isEmpty() && Settled(pdfs.first())) {
        static std::atomic<int> taken{0};
        QDir().mkpath(Path("taken"));
        const QString to = Path("taken") + QStringLiteral("/label-%1.pdf").arg(++taken);
        if (QFile::rename(pdfs.first(), to)) return to;
      }
      QThread::msleep(10);
    } while (t.elapsed() < ms);
    return {};
  }

  void Stop() {
    if (server_) {
      server_->Terminate(5000);
      server_.reset();
    }
    for (const QString& conf : pdfConfigs_) QFile::remove(conf);
    pdfConfigs_.clear();
    if (watchdog_) watchdog_->Kill();
    watchdog_.reset();
  }

 private:
  static bool Fail(QString* why, const QString& text) {
    if (why != nullptr) *why = text;
    return false;
  }
  QString Path(const char* name) const { return dir_->filePath(QLatin1String(name)); }

  static bool Settled(const QString& pdf) {
    const qint64 before = QFileInfo(pdf).size();
    QThread::msleep(50);
    const qint64 after = QFileInfo(pdf).size();
    return before == after && after > 0;
  }

  bool Tool(const char* tool, const QString& queue) {
    const ChildRun run = RunChild(QStringLiteral("/usr/sbin/") + QLatin1String(tool),
                                  {QStringLiteral("-h"), Address(), queue});
    return run.exitCode == 0;
  }

  void WriteConfiguration() {
    QFile conf(Path("cupsd.conf"));
    conf.open(QIODevice::WriteOnly);
    conf.write("Listen 127.0.0.1:" + QByteArray::number(port_) +
               "\nLogLevel info\nBrowsing Off\n"
               "DefaultAuthType None\nWebInterface No\nDefaultPolicy open\nMaxJobs 0\n"
               "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
               "<Policy open>\n  <Limit All>\n    Order deny,allow\n    Allow all\n  </Limit>\n"
               "</Policy>\n");
    conf.close();
    QFile files(Path("cups-files.conf"));
    files.open(QIODevice::WriteOnly);
    const QByteArray root = QFile::encodeName(dir_->path());
    files.write("ServerRoot " + root + "\nAccessLog " + root + "/access_log\nErrorLog " + root +
                "/error_log\nPageLog " + root + "/page_log\nCacheDir " + root +
                "/cache\nStateDir " + root + "/state\nRequestRoot " + root + "/spool\nTempDir " +
                root + "/tmp\nSandboxing Relaxed\n");
    files.close();
  }

  bool StartServer() {
    server_ = std::make_unique<ChildProcess>();
    if (!server_->Start(QLatin1String(kCupsd),
                        {QStringLiteral("-f"), QStringLiteral("-c"), Path("cupsd.conf"),
                         QStringLiteral("-s"), Path("cups-files.conf")})) {
      server_.reset();
      return false;
    }
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 15000) {
      if (!server_->running()) break;
      if (Listening()) return true;
      QThread::msleep(20);
    }
    server_->Terminate(2000);
    server_.reset();
    return false;
  }

  bool Listening() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port_));
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
  }

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

  // Stops the server and removes the cups-pdf files should this process die without Stop.
  void StartWatchdog() {
    watchdog_ = std::make_unique<ChildProcess>();
    watchdog_->Start(QStringLiteral("/bin/sh"),
                     {QStringLiteral("-c"),
                      QStringLiteral("while kill -0 %1 2>/dev/null; do sleep 1; done; kill %2 "
                                     "2>/dev/null; rm -f /etc/cups/cups-pdf-kestrel-%1-*.conf")
                          .arg(::getpid())
                          .arg(server_->pid())});
  }

  std::unique_ptr<QTemporaryDir> dir_;
  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<ChildProcess> watchdog_;
  QStringList pdfConfigs_;
  int port_ = 0;
};

}  // namespace kestrel::testing
