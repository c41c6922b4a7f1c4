// One help text per tool: the tool prints it for --help, and the man page made from it keeps
// its sections, its usage lines as they stand and its text safe for roff.
#include "tests/support/child_process.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QFile>

using kestrel::testing::BinPath;
using kestrel::testing::ChildRun;
using kestrel::testing::RunChild;
using kestrel::testing::SourceDir;
using kestrel::testing::StationDir;

namespace {

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(Manual, ToolsPrintTheirHelpTextAsWritten) {
  for (const char* tool : {"kestrel", "kestrel-cli"}) {
    const ChildRun p = RunChild(BinPath(QString::fromLatin1(tool)), {QStringLiteral("--help")}, {},
                                10000);
    ASSERT_TRUE(p.finished) << tool;
    EXPECT_EQ(p.exitCode, 0) << tool;
    EXPECT_EQ(p.out,
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
  const ChildRun p =
      RunChild(QStringLiteral(KESTREL_MANUAL_GEN),
               {text, QStringLiteral("9.8"), dir.File("tool.cpp"), dir.File("tool.1")}, {}, 10000);
  ASSERT_TRUE(p.finished);
  ASSERT_EQ(p.exitCode, 0) << p.err.toStdString();
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
