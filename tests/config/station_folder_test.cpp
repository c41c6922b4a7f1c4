// The station-folder rule: the option, the environment, the executable's folder when it
// holds a Kestrel.ini or is writable, else the user's data folder made with a starter
// Kestrel.ini.
#include "config/station_folder.h"
#include "config/settings_load.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <unistd.h>

using kestrel::testing::StationDir;
namespace config = kestrel::config;

namespace {

class StationFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = qgetenv("XDG_DATA_HOME");
    savedStation_ = qgetenv("KESTREL_STATION_DIR");
    qputenv("XDG_DATA_HOME", data_.path().toLocal8Bit());
    qunsetenv("KESTREL_STATION_DIR");
  }
  void TearDown() override {
    for (const QString& d : readOnly_)
      QFile::setPermissions(d, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("XDG_DATA_HOME", saved_);
    if (savedStation_.isEmpty()) {
      qunsetenv("KESTREL_STATION_DIR");
    } else {
      qputenv("KESTREL_STATION_DIR", savedStation_);
    }
  }

  // An executable's folder that this process cannot write to, as /usr/lib/kestrel of an
  // installed station. Permission bits do not stop root; a folder that does not exist does.
  QString ReadOnlyFolder(const QString& name, bool withIni) {
    const QString dir = exe_.File(name);
    QDir().mkpath(dir);
    if (withIni) exe_.Write(name + "/Kestrel.ini", "[General]\n");
    QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner);
    readOnly_ << dir;
    if (::access(QFile::encodeName(dir).constData(), W_OK) == 0 && !withIni) {
      return exe_.File(name + "-absent");
    }
    return dir;
  }

  QString UserFolder() const { return data_.path() + "/kestrel/station"; }

  StationDir data_;
  StationDir exe_;
  StationDir other_;
  QStringList readOnly_;
  QByteArray saved_;
  QByteArray savedStation_;
};

TEST_F(StationFolderTest, FirstStepThatAppliesWins) {
  const QString writable = exe_.File("writable");
  QDir().mkpath(writable);
  const QString withIni = ReadOnlyFolder("with-ini", true);
  const QString readOnly = ReadOnlyFolder("read-only", false);
  const QString option = other_.File("option");
  const QString env = other_.File("env");
  enum Expect { kOption, kEnv, kExe, kUser };
  const struct {
    const char* name;
    QStringList args;
    QString envValue;
    QString exe;
    Expect expect;
  } cases[] = {
      {"option over everything", {"--station-dir", option}, env, withIni, kOption},
      {"option with =", {"--station-dir=" + option}, QString(), readOnly, kOption},
      {"environment", {"-x"}, env, withIni, kEnv},
      {"executable's folder with Kestrel.ini", {}, QString(), withIni, kExe},
      {"writable executable's folder", {}, QString(), writable, kExe},
      {"read-only executable's folder", {}, QString(), readOnly, kUser},
  };
  for (const auto& c : cases) {
    if (c.envValue.isEmpty()) {
      qunsetenv("KESTREL_STATION_DIR");
    } else {
      qputenv("KESTREL_STATION_DIR", c.envValue.toLocal8Bit());
    }
    const QString expected = c.expect == kOption ? option
                             : c.expect == kEnv  ? env
                             : c.expect == kExe  ? c.exe
                                                 : UserFolder();
    EXPECT_EQ(config::ResolveStationFolder(c.args, c.exe).toStdString(), expected.toStdString())
        << c.name;
    // Only the last step makes a folder.
    EXPECT_EQ(QFileInfo::exists(UserFolder()), c.expect == kUser) << c.name;
  }
}

TEST_F(StationFolderTest, UserFolderGetsAStarterThatLoadsAsAStation) {
  const QString folder = config::ResolveStationFolder({}, ReadOnlyFolder("exe", false));
  ASSERT_EQ(folder, UserFolder());
  QFile ini(folder + "/Kestrel.ini");
  ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
  EXPECT_EQ(ini.readAll(), config::StarterSettingsText());

  const config::StationSettings s = config::LoadSettings(folder + "/Kestrel.ini", {});
  EXPECT_EQ(s.OperationMode, 1);
  EXPECT_EQ(s.Port, 1);
  EXPECT_EQ(s.IMEI1Enabled, 1);
  EXPECT_EQ(s.SaveIMEI, 1);
  EXPECT_EQ(s.SaveToTxt, 1);
  EXPECT_EQ(s.CheckRepeat, 1);
}

TEST_F(StationFolderTest, UserFolderKeepsTheOperatorsSettings) {
  QDir().mkpath(UserFolder());
  QFile f(UserFolder() + "/Kestrel.ini");
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("[General]\nPort=7\n");
  f.close();
  ASSERT_EQ(config::ResolveStationFolder({}, ReadOnlyFolder("exe", false)), UserFolder());
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), "[General]\nPort=7\n");
}

TEST_F(StationFolderTest, DataHomeFallsBackToHomeWhenUnsetOrRelative) {
  const QByteArray home = qgetenv("HOME");
  for (const QByteArray& value : {QByteArray(), QByteArray("relative/share")}) {
    qputenv("XDG_DATA_HOME", value);
    EXPECT_EQ(config::UserStationFolder(),
              QDir::cleanPath(QString::fromLocal8Bit(home) + "/.local/share/kestrel/station"))
        << value.constData();
  }
}

}  // namespace
