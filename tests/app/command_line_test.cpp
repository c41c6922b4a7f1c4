// The command lines of kestrel and kestrel-cli, through the real executables: options in any
// order, --help and --version wherever they stand, and every wrong command line refused with the
// usage and exit code 2 before anything starts (no phone library, no window, no file touched).
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QFile>

#include <utility>
#include <vector>

using kestrel::testing::BinPath;
using kestrel::testing::ChildRun;
using kestrel::testing::RunChild;
using kestrel::testing::SourceDir;
using kestrel::testing::StationDir;

namespace {

QByteArray HelpText(const char* tool) {
  QFile f(SourceDir() + QStringLiteral("/resources/manual/") + QLatin1String(tool) +
          QStringLiteral(".txt"));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList Args(const std::vector<const char*>& words, const QString& dir) {
  QStringList out;
  for (const char* w : words) {
    QString a = QString::fromUtf8(w);
    a.replace(QStringLiteral("DIR"), dir);
    out << a;
  }
  return out;
}

// The station with its start-up trace on: a start that went past the command line says which
// station folder it chose; a window that did open is closed again at once.
ChildRun Station(const QStringList& args) {
  return RunChild(BinPath(QStringLiteral("kestrel")), args,
                  {{QStringLiteral("KESTREL_STARTUP_TRACE"), QStringLiteral("1")},
                   {QStringLiteral("KESTREL_EXIT_AFTER_MS"), QStringLiteral("100")}},
                  20000);
}

TEST(StationCommandLine, OptionsInAnyOrder) {
  StationDir dir;
  dir.Write(QStringLiteral("Kestrel.ini"), "[Control]\nLanguage=1\n");
  struct Case {
    std::vector<const char*> args;
    int exit;
    const char* out;  // the start of standard output
  };
  const Case cases[] = {
      {{"--station-dir", "DIR", "--version"}, 0, "kestrel 1.0.0.1\nphone library: "},
      {{"--version", "--station-dir", "DIR"}, 0, "kestrel 1.0.0.1\nphone library: "},
      {{"--station-dir=DIR", "--version"}, 0, "kestrel 1.0.0.1\nphone library: "},
      {{"--station-dir", "DIR", "--help"}, 0, "kestrel - production-line station"},
      {{"-h", "--version"}, 0, "kestrel - production-line station"},
  };
  for (const Case& c : cases) {
    const QStringList args = Args(c.args, dir.path());
    const ChildRun r = Station(args);
    ASSERT_TRUE(r.finished) << args.join(' ').toStdString();
    EXPECT_EQ(r.exitCode, c.exit) << args.join(' ').toStdString() << "\n" << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith(c.out)) << args.join(' ').toStdString() << "\n"
                                         << r.out.toStdString();
    EXPECT_FALSE(r.err.contains("station folder:")) << args.join(' ').toStdString();
  }
  EXPECT_EQ(Station({QStringLiteral("--help")}).out, HelpText("kestrel"));
}

TEST(StationCommandLine, WrongArgumentsAreRefusedBeforeAnythingStarts) {
  StationDir dir;
  dir.Write(QStringLiteral("Kestrel.ini"), "[Control]\nLanguage=1\n");
  struct Case {
    std::vector<const char*> args;
    const char* why;
  };
  const Case cases[] = {
      {{"--bogus"}, "Unknown option 'bogus'"},
      {{"--station-dir", "DIR", "--bogus"}, "Unknown option 'bogus'"},
      {{"--bogus", "--help"}, "Unknown option 'bogus'"},
      {{"--station-dir"}, "Missing value after '--station-dir'"},
      {{"--version", "--station-dir"}, "Missing value after '--station-dir'"},
      {{"--station-dir="}, "--station-dir needs a folder"},
      {{"--station-dir", "DIR", "stray"}, "unexpected argument 'stray'"},
      {{"-platform", "offscreen"}, "Unknown option 'platform'"},
  };
  for (const Case& c : cases) {
    const QStringList args = Args(c.args, dir.path());
    const ChildRun r = Station(args);
    ASSERT_TRUE(r.finished) << args.join(' ').toStdString();
    EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString();
    EXPECT_TRUE(r.out.isEmpty()) << args.join(' ').toStdString();
    EXPECT_TRUE(r.err.startsWith("kestrel: " + QByteArray(c.why)))
        << args.join(' ').toStdString() << "\n" << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("Usage:\n  kestrel [--station-dir DIR]\n"));
    EXPECT_FALSE(r.err.contains("station folder:")) << args.join(' ').toStdString();
  }
  EXPECT_FALSE(QFile::exists(dir.File(QStringLiteral("Kestrel.lock"))));
}

TEST(StationCommandLine, VersionNamesAPhoneLibraryThatCannotBeUsed) {
  StationDir dir;
  dir.Write(QStringLiteral("Kestrel.ini"), "[PHONE]\nLibrary=no-such-phone-library.so\n");
  for (const QStringList& args :
       {QStringList{QStringLiteral("--station-dir"), dir.path(), QStringLiteral("--version")},
        QStringList{QStringLiteral("--version"), QStringLiteral("--station-dir"), dir.path()}}) {
    const ChildRun r = Station(args);
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "kestrel 1.0.0.1\n");
    EXPECT_TRUE(r.err.contains("no-such-phone-library.so")) << r.err.toStdString();
  }
}

ChildRun Cli(const QStringList& args) {
  return RunChild(BinPath(QStringLiteral("kestrel-cli")), args, {}, 20000);
}

TEST(CliCommandLine, OptionsBeforeAndAfterTheCommandWordMeanTheSame) {
  StationDir dir;
  dir.Write(QStringLiteral("Kestrel.ini"), "[General]\nCurrentStationName=S-ARGS\n");
  // Each group: command lines that must print the same, and what the output must hold.
  const std::vector<std::pair<std::vector<std::vector<const char*>>, const char*>>
      groups = {
          {{{"settings", "--station-dir", "DIR"},
            {"--station-dir", "DIR", "settings"},
            {"settings", "--station-dir=DIR"},
            {"--station-dir=DIR", "settings"}},
           "CurrentStationName=S-ARGS"},
          {{{"records", "--station-dir", "DIR", "check", "356938035643809", "--index", "2"},
            {"--station-dir", "DIR", "records", "--index", "2", "check", "356938035643809"},
            {"records", "check", "--index=2", "356938035643809", "--station-dir", "DIR"}},
           "CheckRepeat is off"},
          {{{"report", "--station-dir", "DIR", "--from", "2026-01-01", "--to", "2026-01-02"},
            {"--station-dir", "DIR", "report", "--to", "2026-01-02", "--from", "2026-01-01"},
            {"report", "--to=2026-01-02", "--station-dir=DIR", "--from=2026-01-01"}},
           "period: 2026-01-01 to 2026-01-02"},
      };
  for (const auto& [lines, word] : groups) {
    const ChildRun first = Cli(Args(lines.front(), dir.path()));
    ASSERT_TRUE(first.finished);
    EXPECT_TRUE((first.out + first.err).contains(word))
        << first.out.toStdString() << first.err.toStdString();
    for (const auto& line : lines) {
      const QStringList args = Args(line, dir.path());
      const ChildRun r = Cli(args);
      EXPECT_EQ(r.exitCode, first.exitCode) << args.join(' ').toStdString();
      EXPECT_EQ(r.out, first.out) << args.join(' ').toStdString();
      EXPECT_EQ(r.err, first.err) << args.join(' ').toStdString();
    }
  }
}

TEST(CliCommandLine, HelpVersionAndWrongArguments) {
  StationDir dir;
  const QByteArray version = Cli({QStringLiteral("--version")}).out;
  EXPECT_EQ(version, "kestrel-cli 1.0.0.1\n");
  for (const auto& args : {QStringList{"settings", "--version"}, QStringList{"report", "--version"},
                           QStringList{"--version", "imei", "full"}}) {
    const ChildRun r = Cli(args);
    EXPECT_EQ(r.exitCode, 0) << args.join(' ').toStdString();
    EXPECT_EQ(r.out, version) << args.join(' ').toStdString();
  }
  for (const auto& args : {QStringList{"phone", "--help"}, QStringList{"line", "-h", "status"}}) {
    const ChildRun r = Cli(args);
    EXPECT_EQ(r.exitCode, 0) << args.join(' ').toStdString();
    EXPECT_EQ(r.out, HelpText("kestrel-cli")) << args.join(' ').toStdString();
  }
  struct Case {
    std::vector<const char*> args;
    const char* why;  // empty: the usage alone
  };
  const Case cases[] = {
      {{}, ""},
      {{"--bogus", "settings"}, "unknown option '--bogus' before the command"},
      {{"--save", "settings"}, "unknown option '--save' before the command"},
      {{"settings", "--bogus"}, "unknown option '--bogus' of settings"},
      {{"settings", "--save=1"}, "--save takes no value"},
      {{"report", "--station-dir", "DIR", "--from"}, "--from needs a value"},
      {{"--station-dir"}, "--station-dir needs a value"},
      {{"--station-dir=", "settings"}, "--station-dir needs a folder"},
      {{"--station-dir", "DIR"}, "a command is needed"},
      {{"nosuch", "--station-dir", "DIR"}, "unknown command 'nosuch'"},
      {{"phone", "--port", "1", "-x", "version"}, "unknown option '-x' of phone"},
  };
  for (const Case& c : cases) {
    const QStringList args = Args(c.args, dir.path());
    const ChildRun r = Cli(args);
    ASSERT_TRUE(r.finished) << args.join(' ').toStdString();
    EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString();
    EXPECT_TRUE(r.out.isEmpty()) << args.join(' ').toStdString();
    const QByteArray why = c.why[0] ? "kestrel-cli: " + QByteArray(c.why) + "\n" : QByteArray();
    EXPECT_TRUE(r.err.startsWith(why + "Usage:\n  kestrel-cli settings"))
        << args.join(' ').toStdString() << "\n" << r.err.toStdString();
  }
  // A negative number is a word, not an option.
  const ChildRun r = Cli({QStringLiteral("imei"), QStringLiteral("verify"), QStringLiteral("-1")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "-1 bad\n");
}

}  // namespace
