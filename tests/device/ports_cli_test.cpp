// kestrel-cli ports: a COM number given to a cable through its stable by-id name follows the
// phone when the device behind the name changes (re-plugged into another USB socket), and
// the arguments it refuses. The by-id folder is a folder of the test (KESTREL_SERIAL_BY_ID),
// the phones are simulators on pseudo-terminals.
#include "tests/support/child_process.h"
#include "tests/device/phone_sim_process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

using kestrel::testing::BinPath;
using kestrel::testing::PhoneSimProcess;
using kestrel::testing::StationDir;

namespace {

struct CliResult {
  int exitCode = -1;
  QStringList lines;
};

class PortsCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QDir().mkpath(scratch_.File("by-id")));
    ASSERT_TRUE(QDir().mkpath(scratch_.File("sim-ports")));
  }

  CliResult Cli(const QStringList& args) {
    kestrel::testing::ChildProcess p;
    CliResult r;
    const QMap<QString, QString> env{{"KESTREL_SYSTEM_PORTS", "0"},
                                     {"KESTREL_SERIAL_BY_ID", ById()},
                                     {"KESTREL_OXBIND_REPLY_TIMEOUT_MS", "150"},
                                     {"KESTREL_OXBIND_ATTEMPTS", "1"}};
    if (!p.Start(BinPath("kestrel-cli"),
                 QStringList{args.value(0), "--station-dir", station_.path()} + args.mid(1), env))
      return r;
    const QByteArray out = p.ReadAll(10000);
    if (p.running()) return r;
    r.exitCode = p.exitCode();
    r.lines = QString::fromLocal8Bit(out).split('\n', Qt::SkipEmptyParts);
    return r;
  }

  QString ById() const { return scratch_.File("by-id"); }
  // What udev does when the cable is plugged in: the name points to the device it got now.
  void Name(const QString& name, const QString& device) {
    const QString path = ById() + "/" + name;
    QFile::remove(path);
    ASSERT_TRUE(QFile::link(device, path));
  }
  std::unique_ptr<PhoneSimProcess> Phone(int com, const QString& tag) {
    auto sim = std::make_unique<PhoneSimProcess>(
        scratch_.File("sim-ports"), com, scratch_.File("phone.json"), scratch_.File(tag + ".log"));
    EXPECT_TRUE(sim->Start());
    return sim;
  }

  StationDir station_;
  StationDir scratch_;
};

const char kName[] = "usb-Kestrel_Phone_0001-if00";

TEST_F(PortsCliTest, AssignedNumberFollowsTheCableToItsNewDevice) {
  auto first = Phone(40, "first");
  ASSERT_FALSE(first->device().isEmpty());
  Name(kName, first->device());

  // Given by its device path: the link goes to the by-id name, not to the device.
  CliResult r = Cli({"ports", "assign", "5", first->device()});
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.lines, QStringList{QStringLiteral("COM5 -> %1/%2").arg(ById(), kName)});
  EXPECT_EQ(QFileInfo(station_.File("ports/COM5")).symLinkTarget(), ById() + "/" + kName);
  EXPECT_EQ(Cli({"phone", "--port", "5", "version"}).exitCode, 0);

  // Unplugged: the number stays assigned, without a device.
  QFile::remove(ById() + "/" + kName);
  EXPECT_EQ(Cli({"ports", "list"}).lines,
            QStringList{QStringLiteral("COM5 device=- by-id=%1 driver=- link=ports/COM5 -> %2/%1")
                            .arg(kName, ById())});

  // Re-plugged: another device (the first one is still there, so the two differ).
  auto second = Phone(41, "second");
  ASSERT_NE(second->device(), first->device());
  Name(kName, second->device());
  first.reset();

  r = Cli({"phone", "--port", "5", "version"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_TRUE(r.lines.value(0).startsWith("VERSION=")) << r.lines.join('|').toStdString();
  EXPECT_TRUE(second->LoggedCalls().contains("KV_GetMsVersion"))
      << second->LogLines().join('\n').toStdString();

  r = Cli({"ports", "list"});
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.lines,
            QStringList{QStringLiteral("COM5 device=%1 by-id=%2 driver=- link=ports/COM5 -> %3/%2")
                            .arg(second->device(), kName, ById())});

  ASSERT_EQ(Cli({"ports", "unassign", "5"}).exitCode, 0);
  EXPECT_FALSE(QFileInfo(station_.File("ports/COM5")).isSymLink());
  EXPECT_NE(Cli({"phone", "--port", "5", "version"}).exitCode, 0);
  // A named device the map does not hold is still listed, without a number.
  EXPECT_EQ(
      Cli({"ports", "list"}).lines,
      QStringList{QStringLiteral("- device=%1 by-id=%2 driver=-").arg(second->device(), kName)});
}

TEST_F(PortsCliTest, AssignByNameReplacesTheNumberInAnyCase) {
  const QString device = scratch_.Write("tty-fake", "");
  Name(kName, device);
  ASSERT_TRUE(QDir().mkpath(station_.File("ports")));
  ASSERT_TRUE(QFile::link(scratch_.Write("old", ""), station_.File("ports/com7")));

  ASSERT_EQ(Cli({"ports", "assign", "7", kName}).exitCode, 0);
  EXPECT_EQ(QDir(station_.File("ports"))
                .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
            QStringList{"COM7"});
  EXPECT_EQ(QFileInfo(station_.File("ports/COM7")).canonicalFilePath(),
            QFileInfo(device).canonicalFilePath());
}

TEST_F(PortsCliTest, RefusesWhatItCannotDo) {
  const QString unnamed = scratch_.Write("tty-unnamed", "");
  const QString named = scratch_.Write("tty-named", "");
  Name(kName, named);
  Name("usb-Gone-if00", scratch_.File("missing"));
  const struct {
    QStringList args;
    int exitCode;
  } cases[] = {
      {{"ports", "assign", "3", unnamed}, 1},          // no by-id name points to it
      {{"ports", "assign", "3", "usb-Gone-if00"}, 1},  // the name's device has gone
      {{"ports", "assign", "3", "usb-Nothing"}, 1},
      {{"ports", "assign", "0", named}, 2},
      {{"ports", "assign", "1000", named}, 2},
      {{"ports", "assign", "x", named}, 2},
      {{"ports", "assign", "3"}, 2},
      {{"ports", "unassign", "3"}, 1},  // nothing holds 3
      {{"ports", "rename"}, 2},
      {{"ports"}, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Cli(c.args).exitCode, c.exitCode) << c.args.join(' ').toStdString();
  }
  EXPECT_FALSE(QFileInfo::exists(station_.File("ports/COM3")));
}

}  // namespace
