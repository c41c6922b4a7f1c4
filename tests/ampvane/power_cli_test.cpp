// kestrel-cli power against the power simulator.
#include "tests/ampvane/power_sim_process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QProcess>

namespace kestrel::testing {
namespace {

struct CliResult {
  int exitCode = -1;
  QByteArray out;
  QByteArray err;
};

CliResult RunPower(const StationDir& dir, const QStringList& args) {
  QProcess p;
  p.start(BinPath(QStringLiteral("kestrel-cli")),
          QStringList{QStringLiteral("power"), QStringLiteral("--station-dir"), dir.path()} + args);
  CliResult r;
  if (!p.waitForFinished(20000)) {
    p.kill();
    p.waitForFinished();
    return r;
  }
  r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = p.readAllStandardOutput();
  r.err = p.readAllStandardError();
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

}  // namespace
}  // namespace kestrel::testing
