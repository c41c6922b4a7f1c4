// One help text per tool: the tool prints it for --help, and the man page made from it keeps
// its sections, its usage lines as they stand and its text safe for roff.
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>

using kestrel::testing::BinPath;
using kestrel::testing::SourceDir;
using kestrel::testing::StationDir;

namespace {

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(Manual, ToolsPrintTheirHelpTextAsWritten) {
  for (const char* tool : {"kestrel", "kestrel-cli"}) {
    QProcess p;
    p.start(BinPath(QString::fromLatin1(tool)), {QStringLiteral("--help")});
    ASSERT_TRUE(p.waitForFinished(10000)) << tool;
    EXPECT_EQ(p.exitCode(), 0) << tool;
    EXPECT_EQ(p.readAllStandardOutput(),
              ReadAll(SourceDir() + "/resources/manual/" + tool + ".txt"))
        << tool;
  }
}

TEST(Manual, ManPageFollowsTheShapeOfTheText) {
  StationDir dir;
  const QString text = dir.Write("tool.txt",
                                 "tool - does a thing\n"
                                 "\n"
                                 "Usage:\n"
                                 "  tool [--opt] FILE\n"
                                 "  tool --help\n"
                                 "\n"
                                 "A paragraph with a back\\slash.\n"
                                 ".starts with a dot\n"
                                 "\n"
                                 "Options:\n"
                                 "  --opt\n"
                                 "      What it does.\n");
  QProcess p;
  p.start(QStringLiteral(KESTREL_MANUAL_GEN),
          {text, QStringLiteral("9.8"), dir.File("tool.cpp"), dir.File("tool.1")});
  ASSERT_TRUE(p.waitForFinished(10000));
  ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
  EXPECT_EQ(ReadAll(dir.File("tool.1")),
            ".TH TOOL 1 \"\" \"Kestrel 9.8\" \"Kestrel\"\n"
            ".SH NAME\n"
            "tool \\- does a thing\n"
            ".SH SYNOPSIS\n"
            ".nf\n"
            "tool [\\-\\-opt] FILE\n"
            "tool \\-\\-help\n"
            ".fi\n"
            ".PP\n"
            "A paragraph with a back\\eslash.\n"
            "\\&.starts with a dot\n"
            ".SH OPTIONS\n"
            ".TP\n"
            ".B \\-\\-opt\n"
            "What it does.\n");
  // The C++ side holds the text itself, quotes and backslashes escaped.
  EXPECT_TRUE(ReadAll(dir.File("tool.cpp")).contains("back\\\\slash.\\n"));
}

}  // namespace
