// The start-up of the built station executable, run as a process on a copy of it in a
// temporary folder (so that the language module is beside it or not) with its own station
// folder, on Qt's offscreen platform. KESTREL_STARTUP_TRACE=1 makes it report what it chose;
// KESTREL_EXIT_AFTER_MS closes its window.
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using kestrel::testing::BinDir;
using kestrel::testing::BinPath;
using kestrel::testing::ChildProcess;

namespace {

const char kModule[] = "libResQuillon.so";
const char kPhoneLibrary[] = "libkestrel-oxbind.so.1";

class Station {
 public:
  explicit Station(bool withModule) {
    QDir(root_.path()).mkpath(QStringLiteral("exe"));
    QDir(root_.path()).mkpath(QStringLiteral("station"));
    // The phone library goes with the executable, as it is installed.
    ok_ = QFile::copy(BinPath("kestrel"), Exe()) &&
          QFile::copy(BinDir() + "/" + kPhoneLibrary,
                      root_.filePath(QStringLiteral("exe/")) + kPhoneLibrary);
    if (withModule) ok_ = ok_ && InstallModuleFile(BinDir() + "/language/" + kModule);
  }

  bool ok() const { return ok_; }
  QString Exe() const { return root_.filePath(QStringLiteral("exe/kestrel")); }
  QString Folder() const { return root_.filePath(QStringLiteral("station")); }
  QString Ini() const { return Folder() + QStringLiteral("/Kestrel.ini"); }

  bool InstallModuleFile(const QString& from) const {
    return QFile::copy(from, root_.filePath(QStringLiteral("exe/")) + kModule);
  }
  void WriteIni(const QByteArray& text) const {
    QFile f(Ini());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
  }

  ChildProcess* Start(bool failPhone, bool closeWindow) {
    const QMap<QString, QString> env{
        {QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen")},
        {QStringLiteral("KESTREL_STARTUP_TRACE"), QStringLiteral("1")},
        {QStringLiteral("KESTREL_STATION_DIR"), QString()},
        {QStringLiteral("KESTREL_FAIL_CREATE_PHONE"), failPhone ? QStringLiteral("1") : QString()},
        {QStringLiteral("KESTREL_EXIT_AFTER_MS"), closeWindow ? QStringLiteral("300") : QString()}};
    process_.Start(Exe(), {QStringLiteral("--station-dir"), Folder()}, env,
                   ChildProcess::Streams::kOutAndErr);
    return &process_;
  }

  // Runs to the end; false when it did not end within the time-out (it is then killed).
  bool Run(bool failPhone = false, int timeoutMs = 60000) {
    Start(failPhone, !failPhone);
    process_.ReadAll(timeoutMs);
    const bool ended = !process_.running();
    process_.Kill();
    err_ = QString::fromLocal8Bit(process_.TakeErr());
    return ended;
  }
  int exitCode() const { return process_.exitCode(); }
  const QString& err() const { return err_; }

  // Every entry of the station folder with its size, time and mode (a FIFO's times change
  // as it is written: only its presence counts).
  QStringList Snapshot() const {
    QStringList out;
    QDirIterator it(Folder(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
      it.next();
      struct stat st {};
      lstat(QFile::encodeName(it.filePath()).constData(), &st);
      if (S_ISFIFO(st.st_mode)) {
        out << it.filePath() + QStringLiteral(" fifo");
        continue;
      }
      out << QStringLiteral("%1 %2 %3.%4 %5")
                 .arg(it.filePath())
                 .arg(st.st_size)
                 .arg(st.st_mtim.tv_sec)
                 .arg(st.st_mtim.tv_nsec)
                 .arg(st.st_mode);
    }
    out.sort();
    return out;
  }

 private:
  QTemporaryDir root_;
  ChildProcess process_;
  QString err_;
  bool ok_ = false;
};

}  // namespace

// Kestrel.ini as a FIFO: a reader blocks until a writer comes. The text given is what that one
// read gets; a reader after it would block for good.
int FeedFifoOnce(const QString& path, ChildProcess* p, const QByteArray& text) {
  int fd = -1;
  QElapsedTimer clock;
  clock.start();
  while (fd < 0 && clock.elapsed() < 30000 && p->running()) {
    fd = open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) QThread::msleep(10);
  }
  if (fd < 0) return -1;
  const ssize_t n = write(fd, text.constData(), static_cast<size_t>(text.size()));
  close(fd);
  return static_cast<int>(n);
}

TEST(Startup, WithoutAPhoneHandleOnlyTheLibrarySettingIsReadAndNothingWrittenOrShown) {
  Station station(true);
  ASSERT_TRUE(station.ok());
  // The settings file is read once, for [PHONE] Library, before the handle is made. Had the
  // station read its settings again, it would never end; nor would it had it shown its window.
  ASSERT_EQ(mkfifo(QFile::encodeName(station.Ini()).constData(), 0644), 0);
  QDir(station.Folder()).mkpath(QStringLiteral("Log"));
  const QStringList before = station.Snapshot();
  QThread::msleep(20);  // so that a rewrite would show in the times

  ChildProcess* p = station.Start(/*failPhone=*/true, /*closeWindow=*/false);
  const QByteArray text = "[PHONE]\nLibrary=\n[Control]\nLanguage=0\n";
  ASSERT_EQ(FeedFifoOnce(station.Ini(), p, text), text.size())
      << "the library setting was not read";
  p->ReadAll(20000);
  const bool ended = !p->running();
  p->Kill();
  ASSERT_TRUE(ended) << "the station did not end by itself";
  EXPECT_EQ(p->exitCode(), 1);
  const QString err = QString::fromLocal8Bit(p->TakeErr());
  EXPECT_FALSE(err.contains(QStringLiteral("kestrel:"))) << err.toStdString();
  EXPECT_EQ(station.Snapshot(), before);
}

TEST(Startup, WithAPhoneHandleTheSettingsAreReadForTheLanguageRule) {
  // The positive control of the test above: the same FIFO is opened by a station that got its
  // handle.
  Station station(true);
  ASSERT_TRUE(station.ok());
  ASSERT_EQ(mkfifo(QFile::encodeName(station.Ini()).constData(), 0644), 0);
  ChildProcess* p = station.Start(/*failPhone=*/false, /*closeWindow=*/true);
  int fd = -1;
  QElapsedTimer clock;
  clock.start();
  while (fd < 0 && clock.elapsed() < 30000 && p->running()) {
    fd = open(QFile::encodeName(station.Ini()).constData(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) QThread::msleep(10);
  }
  ASSERT_GE(fd, 0) << "the station never opened Kestrel.ini";
  // Later readers (the station window) get a plain file; this reader gets the FIFO's text.
  {
    const QString plain = station.Folder() + QStringLiteral("/plain.ini");
    QFile f(plain);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("[Control]\nLanguage=1\n");
    f.close();
    ASSERT_EQ(
        rename(QFile::encodeName(plain).constData(), QFile::encodeName(station.Ini()).constData()),
        0);
  }
  const char text[] = "[Control]\nLanguage=1\n";
  ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
  close(fd);
  p->ReadAll(60000);
  ASSERT_FALSE(p->running());
  const QString err = QString::fromLocal8Bit(p->TakeErr());
  EXPECT_EQ(p->exitCode(), 0);
  EXPECT_TRUE(err.contains(QStringLiteral("language module: not used (Language=1)")))
      << err.toStdString();
}

TEST(Startup, LanguageRuleChoosesTheModuleOrTheBuiltInTexts) {
  struct Case {
    const char* name;
    bool module;
    const char* ini;  // null: no Kestrel.ini
    bool loaded;
  };
  for (const Case& c : {Case{"no ini, module beside", true, nullptr, true},
                        Case{"Language=0", true, "[Control]\nLanguage=0\n", true},
                        Case{"Language not a number", true, "[control]\nlanguage=x1\n", true},
                        Case{"Language=1", true, "[Control]\nLanguage=1\n", false},
                        Case{"Language=-2", true, "[Control]\nLanguage=-2\n", false},
                        Case{"no ini, no module", false, nullptr, false}}) {
    SCOPED_TRACE(c.name);
    Station station(c.module);
    ASSERT_TRUE(station.ok());
    if (c.ini != nullptr) station.WriteIni(c.ini);
    ASSERT_TRUE(station.Run());
    EXPECT_EQ(station.exitCode(), 0);
    const QString& err = station.err();
    EXPECT_EQ(err.contains(QStringLiteral("language module: loaded")), c.loaded)
        << err.toStdString();
    EXPECT_EQ(err.contains(QStringLiteral("string 109: Ready\n")), c.loaded) << err.toStdString();
    EXPECT_EQ(err.contains(QStringLiteral("string 109: מוכן\n")), !c.loaded) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("station window closed"))) << err.toStdString();
  }
}

TEST(Startup, ABrokenModuleFileLeavesTheBuiltInTexts) {
  Station station(false);
  ASSERT_TRUE(station.ok());
  QTemporaryDir scratch;
  QFile junk(scratch.filePath(QStringLiteral("junk")));
  ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
  junk.write(
      "\x7F"
      "ELF but not really");
  junk.close();
  ASSERT_TRUE(station.InstallModuleFile(junk.fileName()));
  ASSERT_TRUE(station.Run());
  EXPECT_EQ(station.exitCode(), 0);
  EXPECT_TRUE(station.err().contains(QStringLiteral("language module: built-in resources")))
      << station.err().toStdString();
}

TEST(Startup, ProductVersionFromTheExecutablesOwnBlock) {
  Station station(false);
  ASSERT_TRUE(station.ok());
  ASSERT_TRUE(station.Run());
  EXPECT_TRUE(station.err().contains(QStringLiteral("product version: 1.0.0.1\n")))
      << station.err().toStdString();

  const QString objcopy = QStandardPaths::findExecutable(QStringLiteral("objcopy"));
  if (objcopy.isEmpty()) GTEST_SKIP() << "objcopy is not installed";
  Station stripped(false);
  ASSERT_TRUE(stripped.ok());
  ASSERT_EQ(kestrel::testing::RunChild(
                objcopy, {QStringLiteral("--remove-section=.kestrel_version"), stripped.Exe()})
                .exitCode,
            0);
  ASSERT_TRUE(stripped.Run());
  EXPECT_EQ(stripped.exitCode(), 0);
  EXPECT_TRUE(stripped.err().contains(QStringLiteral("product version: \n")))
      << stripped.err().toStdString();
}
