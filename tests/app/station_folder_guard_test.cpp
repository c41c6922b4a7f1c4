// The station folder at start-up: a folder that cannot be used stops the start with a message
// (exit 2), a folder another station holds refuses a second station (exit 3), and a lock left
// by a station that was killed is taken over.
#include "app/station_folder_guard.h"
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QThread>

namespace kestrel::app {
namespace {

using kestrel::testing::BinPath;
using kestrel::testing::ChildProcess;
using kestrel::testing::StationDir;

TEST(StationFolderGuardTest, RefusesFoldersItCannotWorkIn) {
  StationDir dir;
  QDir(dir.path()).mkdir(QStringLiteral("Kestrel.ini"));  // a folder where the file should be
  const struct {
    const char* name;
    QString folder;
    bool given;
    int code;
    const char* says;
  } cases[] = {
      {"named folder missing", dir.File(QStringLiteral("nowhere")), true,
       StationFolderGuard::kUnusableFolder, "does not exist"},
      {"Kestrel.ini not a file", dir.path(), true, StationFolderGuard::kUnusableFolder,
       "not a readable file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StationFolderGuard guard;
    QString message;
    EXPECT_EQ(guard.Acquire(c.folder, c.given, &message), c.code);
    EXPECT_TRUE(message.contains(QLatin1String(c.says))) << message.toStdString();
  }
}

TEST(StationFolderGuardTest, OneStationPerFolder) {
  StationDir dir;
  StationFolderGuard first;
  QString message;
  ASSERT_EQ(first.Acquire(dir.path(), true, &message), 0);
  StationFolderGuard second;
  EXPECT_EQ(second.Acquire(dir.path(), true, &message), StationFolderGuard::kFolderHeld);
  EXPECT_TRUE(message.contains(dir.path()));
  EXPECT_TRUE(message.contains(QString::number(QCoreApplication::applicationPid())));
}

// The station executable, its output (standard error included) and exit code.
struct StationRun {
  QByteArray output;
  int code = -1;
};

bool StartStation(ChildProcess& p, const QString& folder, int exitAfterMs) {
  const QString command = QStringLiteral("exec '%1' --station-dir '%2' 2>&1")
                              .arg(BinPath(QStringLiteral("kestrel")), folder);
  return p.Start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command},
                 {{QStringLiteral("KESTREL_EXIT_AFTER_MS"), QString::number(exitAfterMs)},
                  {QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen")},
                  {QStringLiteral("KESTREL_SYSTEM_PORTS"), QStringLiteral("0")}});
}

StationRun RunStation(const QString& folder) {
  ChildProcess p;
  StationRun run;
  if (!StartStation(p, folder, 300)) return run;
  run.output = p.ReadAll(20000);
  run.code = p.exitCode();
  return run;
}

TEST(StationFolderGuardTest, TheStationRefusesABadOrHeldFolderAndTakesOverADeadLock) {
  StationDir dir;
  const StationRun missing = RunStation(dir.File(QStringLiteral("missing")));
  EXPECT_EQ(missing.code, StationFolderGuard::kUnusableFolder);
  EXPECT_TRUE(missing.output.contains("does not exist")) << missing.output.constData();

  // A running station holds the folder: a second one is refused, naming the folder.
  ChildProcess first;
  ASSERT_TRUE(StartStation(first, dir.path(), 60000));
  for (int i = 0; i < 200 && !QFile::exists(dir.File(QStringLiteral("Kestrel.lock"))); ++i) {
    QThread::msleep(25);
  }
  ASSERT_TRUE(QFile::exists(dir.File(QStringLiteral("Kestrel.lock"))));
  const StationRun second = RunStation(dir.path());
  EXPECT_EQ(second.code, StationFolderGuard::kFolderHeld);
  EXPECT_TRUE(second.output.contains(dir.path().toLocal8Bit())) << second.output.constData();

  // Killed, it leaves its lock behind; the next station takes it over and runs.
  first.Kill();
  ASSERT_TRUE(QFile::exists(dir.File(QStringLiteral("Kestrel.lock"))));
  const StationRun third = RunStation(dir.path());
  EXPECT_EQ(third.code, 0) << third.output.constData();
}

}  // namespace
}  // namespace kestrel::app
