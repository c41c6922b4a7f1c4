// kestrel-cli power against the power simulator.
#include "tests/ampvane/power_sim_process.h"
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <csignal>

namespace kestrel::testing {
namespace {

struct CliResult {
  int exitCode = -1;
  QByteArray out;
  QByteArray err;
};

CliResult RunPower(const StationDir& dir, const QStringList& args) {
  const ChildRun run = RunChild(
      BinPath(QStringLiteral("kestrel-cli")),
      QStringList{QStringLiteral("power"), QStringLiteral("--station-dir"), dir.path()} + args, {},
      20000);
  CliResult r;
  if (!run.finished) return r;
  r.exitCode = run.exitCode;
  r.out = run.out;
  r.err = run.err;
  return r;
}

TEST(PowerCliTest, IdentifiesSetsAndSwitchesOff) {
  StationDir dir;
  PowerSimProcess sim;
  ASSERT_TRUE(sim.Start());
  dir.Write(QStringLiteral("Ampvane.ini"),
            QStringLiteral("[GPIB0]\n5=%1\n").arg(sim.url()).toUtf8());
  const QStringList at{QStringLiteral("--board"), QStringLiteral("0"), QStringLiteral("--address"),
                       QStringLiteral("5")};

  CliResult r = RunPower(dir, at + QStringList{QStringLiteral("idn")});
  EXPECT_EQ(r.exitCode, 0) << r.err.constData();
  EXPECT_EQ(r.out, "idn Kestrel,PowerSim,0,1.0\n");

  r = RunPower(dir, at + QStringList{QStringLiteral("set"), QStringLiteral("4.25")});
  EXPECT_EQ(r.exitCode, 0) << r.err.constData();
  EXPECT_EQ(r.out, "volts 4.250\noutput on\n");
  EXPECT_EQ(sim.Ask("VOLT?;OUTP?", 2), (QList<QByteArray>{"4.250", "1"}));

  r = RunPower(dir,
               at + QStringList{QStringLiteral("set"), QStringLiteral("0"), QStringLiteral("1")});
  EXPECT_EQ(r.exitCode, 0) << r.err.constData();
  EXPECT_EQ(sim.Ask("VOLT?;OUTP?", 2), (QList<QByteArray>{"0.000", "0"}));

  ASSERT_EQ(RunPower(dir, at + QStringList{QStringLiteral("set"), QStringLiteral("5")}).exitCode,
            0);
  r = RunPower(dir, at + QStringList{QStringLiteral("off")});
  EXPECT_EQ(r.exitCode, 0) << r.err.constData();
  EXPECT_EQ(r.out, "output off\n");
  EXPECT_EQ(sim.Ask("VOLT?;OUTP?", 2), (QList<QByteArray>{"5.000", "0"}));
}

TEST(PowerCliTest, ExitsWithTheLibraryCodeOrUsage) {
  StationDir dir;
  const QStringList at{QStringLiteral("--board"), QStringLiteral("0"), QStringLiteral("--address"),
                       QStringLiteral("5")};
  EXPECT_EQ(RunPower(dir, at + QStringList{QStringLiteral("idn")}).exitCode, 2);  // no map
  dir.Write(QStringLiteral("Ampvane.ini"), "[GPIB0]\n6=tcp://127.0.0.1:1\n");
  const CliResult r = RunPower(dir, at + QStringList{QStringLiteral("idn")});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_TRUE(r.err.contains("no instrument mapped")) << r.err.constData();
  EXPECT_TRUE(r.out.isEmpty());

  EXPECT_EQ(RunPower(dir, {QStringLiteral("idn")}).exitCode, 2);
  EXPECT_EQ(RunPower(dir, at + QStringList{QStringLiteral("set"), QStringLiteral("x")}).exitCode,
            2);
  EXPECT_EQ(RunPower(dir, at + QStringList{QStringLiteral("dance")}).exitCode, 2);
}

// Whether a process still runs: its /proc entry is there and it is not a zombie (an orphan
// whose reaper has not come yet).
bool Alive(pid_t pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return false;
  const QByteArray text = stat.readAll();
  const qsizetype close = text.lastIndexOf(')');
  return close >= 0 && text.mid(close + 2, 1) != "Z";
}

TEST(PowerSimTest, EndsWithTheProcessThatStartedItWhenAsked) {
  for (const bool withParent : {true, false}) {
    SCOPED_TRACE(withParent ? "--exit-with-parent" : "without");
    // A shell starts the simulator in the background, says its pid and ends.
    ChildProcess shell;
    ASSERT_TRUE(shell.Start(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"),
         QStringLiteral("\"$0\" --listen 0 --log /dev/null %1 >/dev/null & echo $!; sleep 1")
             .arg(withParent ? QStringLiteral("--exit-with-parent") : QString()),
         BinPath(QStringLiteral("kestrel-power-sim"))}));
    QByteArray line;
    ASSERT_TRUE(shell.ReadLine(&line, 5000));
    const pid_t sim = line.trimmed().toInt();
    ASSERT_GT(sim, 0);
    ASSERT_TRUE(shell.WaitFinished(10000));
    QElapsedTimer t;
    t.start();
    while (Alive(sim) && t.elapsed() < 3000) QThread::msleep(20);
    EXPECT_EQ(Alive(sim), !withParent);
    if (Alive(sim)) ::kill(sim, SIGKILL);
  }
}

}  // namespace
}  // namespace kestrel::testing
