// The Debian packages as built by the test run (package_build) — the station (kestrel), the
// phone library (libkestrel-oxbind1) and its development files (libkestrel-oxbind-dev): their
// control fields, their files, and the programs unpacked from them (dpkg-deb -x) into a
// temporary root and run from there as on an installed station: the executables' folder is not the
// operator's to write, so the station folder is the user's data folder, made at the first start.
// Run as root, the programs run as the user nobody, for whom the unpacked folder is read-only.
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <grp.h>
#include <unistd.h>

using kestrel::testing::BinPath;

namespace {

constexpr uid_t kNobody = 65534;
const QString kLibFolder = QStringLiteral("/usr/lib/kestrel");
const QString kMultiarch = QStringLiteral("/usr/lib/" KESTREL_LIBRARY_ARCH);
constexpr QFile::Permissions kReadOnly = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                         QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;

struct Outcome {
  int exitCode = -1;
  QString out;
  QString err;
};

// The newest package of that name.
QString PackagePath(const QString& name = QStringLiteral("kestrel")) {
  const QDir dir(qEnvironmentVariable("KESTREL_PACKAGE_DIR"));
  const QStringList debs =
      dir.entryList({name + QStringLiteral("_*.deb")}, QDir::Files, QDir::Time);
  return debs.isEmpty() ? QString() : dir.filePath(debs.first());
}

const QStringList kPackages{QStringLiteral("kestrel"), QStringLiteral("libkestrel-oxbind1"),
                            QStringLiteral("libkestrel-oxbind-dev")};

Outcome Execute(const QString& program, const QStringList& args,
                const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
                bool asOperator = false, int timeoutMs = 60000) {
  QProcess p;
  p.setProcessEnvironment(env);
  if (asOperator && ::geteuid() == 0) {
    p.setChildProcessModifier([] {
      if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
        ::_exit(126);
      }
    });
  }
  p.start(program, args);
  Outcome r;
  if (!p.waitForFinished(timeoutMs)) {
    p.kill();
    p.waitForFinished();
    return r;
  }
  r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
  r.err = QString::fromLocal8Bit(p.readAllStandardError());
  return r;
}

QString BuiltVersion() {
  const QString out =
      Execute(BinPath(QStringLiteral("kestrel")), {QStringLiteral("--version")}).out;
  return out.section(QLatin1Char('\n'), 0, 0).section(QLatin1Char(' '), 1);
}

class PackageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    deb_ = new QString(PackagePath());
    root_ = new QTemporaryDir();
    if (deb_->isEmpty()) return;
    extracted_ = true;
    for (const QString& name : kPackages) {
      const QString deb = PackagePath(name);
      extracted_ = extracted_ && !deb.isEmpty() &&
                   Execute(QStringLiteral("dpkg-deb"), {QStringLiteral("-x"), deb, root_->path()})
                           .exitCode == 0;
    }
    // Read and enter for the operator, write for nobody but the owner: as installed.
    QFile::setPermissions(root_->path(),
                          QFile::permissions(root_->path()) | QFile::ReadOther | QFile::ExeOther);
    QFile::setPermissions(Installed(kLibFolder), kReadOnly);
  }
  static void TearDownTestSuite() {
    QFile::setPermissions(Installed(kLibFolder), kReadOnly | QFile::WriteOwner);
    delete root_;
    delete deb_;
  }

  void SetUp() override {
    ASSERT_FALSE(deb_->isEmpty()) << "no kestrel_*.deb in KESTREL_PACKAGE_DIR";
    ASSERT_TRUE(extracted_);
    // The operator's home, writable by whoever runs the programs.
    QFile::setPermissions(home_.path(), QFile::permissions(home_.path()) | QFile::ReadOther |
                                            QFile::WriteOther | QFile::ExeOther);
  }

  static QString Installed(const QString& path) { return root_->path() + path; }
  QString UserStation() const { return home_.path() + QStringLiteral("/data/kestrel/station"); }

  QProcessEnvironment OperatorEnvironment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"KESTREL_STATION_DIR", "KESTREL_EXIT_AFTER_MS", "KESTREL_BIN_DIR"}) {
      env.remove(QString::fromLatin1(name));
    }
    env.insert(QStringLiteral("HOME"), home_.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), home_.path() + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home_.path() + QStringLiteral("/cache"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home_.path());
    env.insert(QStringLiteral("KESTREL_SYSTEM_PORTS"), QStringLiteral("0"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
  }

  static QString* deb_;
  static QTemporaryDir* root_;
  static bool extracted_;
  QTemporaryDir home_;
};

QString* PackageTest::deb_ = nullptr;
QTemporaryDir* PackageTest::root_ = nullptr;
bool PackageTest::extracted_ = false;

TEST_F(PackageTest, ControlFieldsCarryTheBuiltVersionAndDerivedDependencies) {
  const Outcome r =
      Execute(QStringLiteral("dpkg-deb"), {QStringLiteral("-f"), *deb_, QStringLiteral("Package"),
                                           QStringLiteral("Version"), QStringLiteral("Depends")});
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  const QString version = BuiltVersion();
  ASSERT_FALSE(version.isEmpty());
  EXPECT_TRUE(r.out.contains(QStringLiteral("Package: kestrel\n"))) << r.out.toStdString();
  EXPECT_TRUE(r.out.contains(QStringLiteral("Version: ") + version + QLatin1Char('\n')))
      << r.out.toStdString();
  // Found by dpkg-shlibdeps in the executables, not written by hand.
  for (const char* library : {"libc6", "libqt6widgets6", "libqt6sql6", "libstdc++6", "libzint2.11",
                              "libqt6multimedia6", "libqt6printsupport6"}) {
    EXPECT_TRUE(r.out.contains(QLatin1String(library))) << library << "\n" << r.out.toStdString();
  }
  // The phone library it loads comes in a package of its own, of the same build.
  EXPECT_TRUE(r.out.contains(QStringLiteral("libkestrel-oxbind1 (= %1)").arg(version)))
      << r.out.toStdString();

  struct Case {
    QString package;
    QStringList fields;  // expected among the control fields
  };
  const Case cases[] = {
      {QStringLiteral("libkestrel-oxbind1"),
       {QStringLiteral("Section: libs"), QStringLiteral("Source: kestrel"),
        QStringLiteral("Version: ") + version, QStringLiteral("libc6")}},
      {QStringLiteral("libkestrel-oxbind-dev"),
       {QStringLiteral("Section: libdevel"),
        QStringLiteral("Depends: libkestrel-oxbind1 (= %1)").arg(version)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.package.toStdString());
    const Outcome f =
        Execute(QStringLiteral("dpkg-deb"), {QStringLiteral("-I"), PackagePath(c.package)});
    for (const QString& field : c.fields) {
      EXPECT_TRUE(f.out.contains(field)) << field.toStdString() << "\n" << f.out.toStdString();
    }
  }
  // The library's shlibs entry: programs linking it depend on this version or later.
  const Outcome shlibs =
      Execute(QStringLiteral("dpkg-deb"),
              {QStringLiteral("-I"), PackagePath(QStringLiteral("libkestrel-oxbind1")),
               QStringLiteral("shlibs")});
  EXPECT_EQ(shlibs.out.trimmed(),
            QStringLiteral("libkestrel-oxbind 1 libkestrel-oxbind1 (>= %1)").arg(version));
}

TEST_F(PackageTest, HoldsTheStationAndWhatTheDesktopAndUdevNeed) {
  const struct {
    const char* path;
    bool executable;
  } files[] = {
      {"/usr/lib/kestrel/kestrel", true},
      {"/usr/lib/kestrel/kestrel-cli", true},
      {"/usr/lib/kestrel/kestrel-phone-sim", true},
      {"/usr/lib/kestrel/kestrel-power-sim", true},
      {"/usr/lib/kestrel/kestrel-phone-host", true},
      {"/usr/lib/kestrel/libkestrel-phone-proxy.so", false},
      {"/usr/lib/kestrel/libResQuillon.so", false},
      {"/usr/lib/kestrel/kestrel.html", false},
      {"/usr/bin/kestrel", true},
      {"/usr/bin/kestrel-cli", true},
      {"/usr/bin/kestrel-phone-sim", true},
      {"/usr/bin/kestrel-power-sim", true},
      {"/usr/share/kestrel/imei_db.sql", false},
      {"/usr/share/applications/kestrel.desktop", false},
      {"/usr/share/icons/hicolor/48x48/apps/kestrel.png", false},
      {"/usr/share/icons/hicolor/256x256/apps/kestrel.png", false},
      {"/usr/share/man/man1/kestrel.1.gz", false},
      {"/usr/share/man/man1/kestrel-cli.1.gz", false},
      {"/lib/udev/rules.d/60-kestrel-serial.rules", false},
      {"/usr/share/doc/kestrel/copyright", false},
      {"/usr/share/doc/kestrel/changelog.gz", false},
      {"/usr/lib/" KESTREL_LIBRARY_ARCH "/libkestrel-oxbind.so.1", false},
      {"/usr/lib/" KESTREL_LIBRARY_ARCH "/libkestrel-oxbind.so", false},
      {"/usr/lib/" KESTREL_LIBRARY_ARCH "/pkgconfig/kestrel-oxbind.pc", false},
      {"/usr/include/kestrel/oxbind.h", false},
      {"/usr/share/doc/libkestrel-oxbind1/copyright", false},
      {"/usr/share/doc/libkestrel-oxbind1/changelog.gz", false},
      {"/usr/share/doc/libkestrel-oxbind-dev/copyright", false},
      {"/usr/share/doc/libkestrel-oxbind-dev/changelog.gz", false},
      {"/usr/share/doc/libkestrel-oxbind-dev/ADAPTERS.md", false},
  };
  for (const auto& f : files) {
    const QFileInfo info(Installed(QString::fromLatin1(f.path)));
    EXPECT_TRUE(info.exists()) << f.path;
    EXPECT_EQ(info.isExecutable(), f.executable) << f.path;
  }
  EXPECT_TRUE(QFileInfo(Installed(QStringLiteral("/usr/bin/kestrel"))).isSymLink());
  EXPECT_EQ(QFileInfo(Installed(QStringLiteral("/usr/bin/kestrel"))).symLinkTarget(),
            Installed(QStringLiteral("/usr/lib/kestrel/kestrel")));
}

TEST_F(PackageTest, CliRunsFromTheInstalledTree) {
  const QProcessEnvironment env = OperatorEnvironment();
  Outcome r = Execute(Installed(QStringLiteral("/usr/bin/kestrel-cli")),
                      {QStringLiteral("--version")}, env, true);
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.out, QStringLiteral("kestrel-cli ") + BuiltVersion() + QLatin1Char('\n'));

  // No folder given and the executables' folder read-only: the user's station folder, made
  // with the starter Kestrel.ini, whose settings are printed.
  r = Execute(Installed(QStringLiteral("/usr/bin/kestrel-cli")), {QStringLiteral("settings")}, env,
              true);
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(r.out.contains(QStringLiteral("\nPort=1\n"))) << r.out.toStdString();
  EXPECT_TRUE(r.out.contains(QStringLiteral("\nSaveToTxt=1\n"))) << r.out.toStdString();
  EXPECT_TRUE(QFileInfo::exists(UserStation() + QStringLiteral("/Kestrel.ini")));
  EXPECT_FALSE(QFileInfo::exists(Installed(QStringLiteral("/usr/lib/kestrel/Kestrel.ini"))));
}

TEST_F(PackageTest, StationStartsAndClosesOnTheOffscreenPlatform) {
  QProcessEnvironment env = OperatorEnvironment();
  env.insert(QStringLiteral("KESTREL_STARTUP_TRACE"), QStringLiteral("1"));
  env.insert(QStringLiteral("KESTREL_EXIT_AFTER_MS"), QStringLiteral("500"));
  const Outcome r = Execute(Installed(QStringLiteral("/usr/bin/kestrel")), {}, env, true);
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(QStringLiteral("product version: ") + BuiltVersion() + '\n'))
      << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(QStringLiteral("station folder: ") + UserStation() + '\n'))
      << r.err.toStdString();
  // The module installed beside the executable is the one loaded.
  EXPECT_TRUE(r.err.contains(QStringLiteral("language module: loaded ") +
                             Installed(QStringLiteral("/usr/lib/kestrel/libResQuillon.so"))))
      << r.err.toStdString();
  // The phone library is the one installed in the multiarch folder.
  EXPECT_TRUE(r.err.contains(
      QStringLiteral("phone library: Kestrel Oxbind %1 (%2)\n")
          .arg(BuiltVersion(), Installed(kMultiarch) + QStringLiteral("/libkestrel-oxbind.so.1"))))
      << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(QStringLiteral("station window closed"))) << r.err.toStdString();
  // Closed, the station saved its settings into the user's station folder.
  QFile ini(UserStation() + QStringLiteral("/Kestrel.ini"));
  ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
  EXPECT_TRUE(ini.readAll().contains("DefaultIMEI"));
}

// With [PHONE] Isolate=1 the installed station runs its library in the host installed beside
// it, through the proxy installed there.
TEST_F(PackageTest, StationRunsItsLibraryInTheInstalledHost) {
  // The operator's station folder, made here (and so opened to the operator's account).
  ASSERT_TRUE(QDir().mkpath(UserStation()));
  QFile ini(UserStation() + QStringLiteral("/Kestrel.ini"));
  ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
  ini.write("[PHONE]\nIsolate=1\n");
  ini.close();
  const QFileDevice::Permissions all = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                       QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                       QFileDevice::ReadOther | QFileDevice::WriteOther;
  const QFileDevice::Permissions exec =
      QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther;
  ASSERT_TRUE(ini.setPermissions(all));
  for (QString folder = UserStation(); folder.startsWith(home_.path() + QStringLiteral("/data"));
       folder = QFileInfo(folder).absolutePath()) {
    ASSERT_TRUE(QFile::setPermissions(folder, all | exec)) << folder.toStdString();
  }
  QProcessEnvironment env = OperatorEnvironment();
  env.insert(QStringLiteral("KESTREL_STARTUP_TRACE"), QStringLiteral("1"));
  env.insert(QStringLiteral("KESTREL_EXIT_AFTER_MS"), QStringLiteral("500"));
  const Outcome r = Execute(Installed(QStringLiteral("/usr/bin/kestrel")), {}, env, true);
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(
      QStringLiteral("phone library: Kestrel Oxbind %1 (isolated) (%2)\n")
          .arg(BuiltVersion(), Installed(kMultiarch) + QStringLiteral("/libkestrel-oxbind.so.1"))))
      << r.err.toStdString();
  EXPECT_TRUE(r.err.contains(QStringLiteral("station window closed"))) << r.err.toStdString();
}

// The development package is enough to build against: pkg-config finds the header and the
// library of the unpacked tree, a phone library (one call of it, as a maker starts) and a
// program calling Kestrel's library build, and the program runs on it.
TEST_F(PackageTest, PkgConfigBuildsAgainstTheDevelopmentPackage) {
  const QString pkgConfig = QStandardPaths::findExecutable(QStringLiteral("pkg-config"));
  const QString cc = QStandardPaths::findExecutable(QStringLiteral("cc"));
  if (pkgConfig.isEmpty() || cc.isEmpty()) GTEST_SKIP() << "pkg-config or cc is not installed";
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("PKG_CONFIG_PATH"),
             Installed(kMultiarch) + QStringLiteral("/pkgconfig"));
  env.insert(QStringLiteral("PKG_CONFIG_SYSROOT_DIR"), root_->path());
  const Outcome flags = Execute(
      pkgConfig,
      {QStringLiteral("--cflags"), QStringLiteral("--libs"), QStringLiteral("kestrel-oxbind")},
      env);
  ASSERT_EQ(flags.exitCode, 0) << flags.err.toStdString();
  const QStringList args = flags.out.trimmed().split(QLatin1Char(' '), Qt::SkipEmptyParts);
  EXPECT_TRUE(
      args.contains(QStringLiteral("-I") + Installed(QStringLiteral("/usr/include/kestrel"))))
      << flags.out.toStdString();

  QTemporaryDir work;
  QFile source(work.filePath(QStringLiteral("probe.c")));
  ASSERT_TRUE(source.open(QIODevice::WriteOnly));
  source.write(
      "#include <oxbind.h>\n#include <stdio.h>\n#include <string.h>\n"
      "#ifdef ADAPTER\n"
      "int32_t KV_GetLibraryInfo(KV_LibraryInfo* i) {\n"
      "  memset(i, 0, sizeof *i); i->abiMajor = KV_ABI_MAJOR; strcpy(i->name, \"Probe\");\n"
      "  return KV_OK;\n}\n"
      "#else\n"
      "int main(void) {\n  KV_LibraryInfo i;\n  if (KV_GetLibraryInfo(&i) != KV_OK) return 1;\n"
      "  printf(\"%s %d\\n\", i.name, (int)i.abiMajor);\n  return 0;\n}\n"
      "#endif\n");
  source.close();
  const QStringList strict{QStringLiteral("-std=c99"), QStringLiteral("-pedantic"),
                           QStringLiteral("-Wall"), QStringLiteral("-Werror")};
  Outcome r =
      Execute(cc,
              strict +
                  QStringList{QStringLiteral("-DADAPTER"), QStringLiteral("-shared"),
                              QStringLiteral("-fPIC"), source.fileName(), QStringLiteral("-o"),
                              work.filePath(QStringLiteral("libprobe.so"))} +
                  args,
              env);
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  r = Execute(cc,
              strict +
                  QStringList{source.fileName(), QStringLiteral("-o"),
                              work.filePath(QStringLiteral("probe"))} +
                  args,
              env);
  ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
  QProcessEnvironment run = QProcessEnvironment::systemEnvironment();
  run.insert(QStringLiteral("LD_LIBRARY_PATH"), Installed(kMultiarch));
  r = Execute(work.filePath(QStringLiteral("probe")), {}, run);
  EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
  EXPECT_EQ(r.out, QStringLiteral("Kestrel Oxbind 1\n"));
}

TEST_F(PackageTest, LintianFindsNoError) {
  const QString lintian = QStandardPaths::findExecutable(QStringLiteral("lintian"));
  if (lintian.isEmpty()) GTEST_SKIP() << "lintian is not installed";
  QStringList args{QStringLiteral("--fail-on"), QStringLiteral("error")};
  for (const QString& name : kPackages) args << PackagePath(name);
  const Outcome r = Execute(lintian, args, QProcessEnvironment::systemEnvironment(), false, 240000);
  EXPECT_EQ(r.exitCode, 0) << r.out.toStdString() << r.err.toStdString();
  EXPECT_FALSE(r.out.contains(QStringLiteral("\nE: ")) || r.out.startsWith(QStringLiteral("E: ")))
      << r.out.toStdString();
}

}  // namespace
