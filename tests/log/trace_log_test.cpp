#include "log/trace_log.h"
#include "log/trace_scope.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QString>

#include <unistd.h>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kestrel::log {
namespace {

using kestrel::testing::StationDir;

const QString kStamp = QStringLiteral(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3}\] )");

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool Matches(const QByteArray& text, const QString& pattern) {
  return QRegularExpression(QStringLiteral("\\A(?:") + pattern + QStringLiteral(")\\z"))
      .match(QString::fromUtf8(text))
      .hasMatch();
}

QString OptionText(TraceLog& log, int id) {
  char16_t buffer[kOptionTextCapacity] = {};
  EXPECT_EQ(log.GetOption(id, 0, buffer), 1);
  return QString::fromUtf16(buffer);
}

std::uint32_t OptionNumber(TraceLog& log, int id) {
  std::uint32_t v = 0xDEAD;
  EXPECT_EQ(log.GetOption(id, 0, &v), 1);
  return v;
}

// Every test puts the logs under its own station folder.
class TraceLogTest : public ::testing::Test {
 protected:
  void SetUp() override { TraceLog::SetBaseFolder(station_.path()); }
  void TearDown() override { TraceLog::SetBaseFolder(QString()); }
  QString LogFile(const QString& name) const {
    return station_.File(QStringLiteral("Log/") + name);
  }

  StationDir station_;
};

TEST_F(TraceLogTest, ImeiLogIsAppendedInTheLogFolderAndEndsInLfCrLf) {
  for (int cycle : {3, 4}) {
    TraceLog log;
    ASSERT_EQ(log.Open("IMEI.log", 0x7000, 3, 0), 1);
    EXPECT_EQ(log.TextPath(), LogFile(QStringLiteral("IMEI.log")));
    EXPECT_EQ(log.LogFormatW(3, L"%d,%s\n", cycle, L"PASS"), 1);
    EXPECT_EQ(log.Close(), 1);
  }
  EXPECT_TRUE(Matches(ReadAll(LogFile(QStringLiteral("IMEI.log"))),
                      kStamp + "3,PASS\n\r\n" + kStamp + "4,PASS\n\r\n"));
}

TEST_F(TraceLogTest, WithoutAppendFlagTheFileStartsEmpty) {
  station_.Write(QStringLiteral("Log/run.log"), "old content\r\n");
  TraceLog log;
  ASSERT_EQ(log.Open("run.log", 0x4000, 3, 0), 1);
  log.LogText(1, "new");
  log.Close();
  EXPECT_TRUE(Matches(ReadAll(LogFile(QStringLiteral("run.log"))), kStamp + "new\r\n"));
}

TEST_F(TraceLogTest, FileNamesFollowFlagsExtensionAndAbsolutePaths) {
  TraceLog log;
  ASSERT_EQ(log.Open("plain", 0x4000, 3, 0), 1);
  EXPECT_EQ(log.TextPath(), LogFile(QStringLiteral("plain.log")));

  ASSERT_EQ(log.Open("dated.txt", 0x4002, 3, 0), 1);
  const QString today = QDate::currentDate().toString(QStringLiteral("yyyy_MM_dd"));
  // The date is taken at open; a test running across midnight may see yesterday's.
  EXPECT_TRUE(log.TextPath() == LogFile(QStringLiteral("dated_") + today + ".txt") ||
              log.TextPath().startsWith(LogFile(QStringLiteral("dated_"))))
      << log.TextPath().toStdString();

  ASSERT_EQ(log.Open("timed.log", 0x4001, 3, 0), 1);
  EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(/Log/timed_\d{4}(_\d\d){5}_\d{3}\.log$)"))
                  .match(log.TextPath())
                  .hasMatch())
      << log.TextPath().toStdString();

  // An absolute name keeps its own folder and gets no date.
  const QByteArray absolute = station_.File(QStringLiteral("elsewhere/x.log")).toLocal8Bit();
  QDir().mkpath(station_.File(QStringLiteral("elsewhere")));
  ASSERT_EQ(log.Open(absolute.constData(), 0x4003, 3, 0), 1);
  EXPECT_EQ(log.TextPath(), station_.File(QStringLiteral("elsewhere/x.log")));

  // No name: the default file name (the program name, or option 1).
  ASSERT_EQ(log.SetOption(kOptionDefaultName, 0, "station"), 1);
  ASSERT_EQ(log.Open(nullptr, 0x4000, 3, 0), 1);
  EXPECT_EQ(log.TextPath(), LogFile(QStringLiteral("station.log")));
  log.Close();
  EXPECT_EQ(log.TextPath(), QString());
}

TEST_F(TraceLogTest, OpenFailsWhenTheLogFolderCannotBeMade) {
  station_.Write(QStringLiteral("Log"), "a file, not a folder");
  TraceLog log;
  EXPECT_EQ(log.Open("x.log", 0x4000, 3, 0), 0);
  // Writing to a log that is not open does nothing and counts as done.
  EXPECT_EQ(log.LogText(1, "lost"), 1);
}

TEST_F(TraceLogTest, LevelsFilterMessages) {
  struct Case {
    std::uint32_t configured;
    const char* expected;
  };
  for (const Case& c : {Case{4, "4"}, Case{3, "0123"}, Case{5, "012345"}}) {
    TraceLog log;
    ASSERT_EQ(log.Open("levels.log", 0x4000, c.configured, 0), 1);
    log.SetOption(kOptionTimeStamps, 0, nullptr);
    for (std::uint32_t level = 0; level <= 5; ++level) {
      const std::string text = std::to_string(level);
      EXPECT_EQ(log.LogText(level, text.c_str()), 1);  // filtered counts as done
    }
    log.Close();
    QByteArray expected;
    for (const char* p = c.expected; *p != '\0'; ++p) expected += QByteArray(1, *p) + "\r\n";
    EXPECT_EQ(ReadAll(LogFile(QStringLiteral("levels.log"))), expected) << c.configured;
  }
  TraceLog quiet;
  ASSERT_EQ(quiet.Open("quiet.log", 0x4000, 0, 0), 1);
  quiet.LogText(0, "nothing");
  quiet.Close();
  EXPECT_FALSE(QFileInfo::exists(LogFile(QStringLiteral("quiet.log"))));
}

TEST_F(TraceLogTest, RotatesPastTheSizeLimitIntoNumberedFiles) {
  TraceLog log;
  ASSERT_EQ(log.Open("big.log", 0x4000, 3, 1), 1);
  log.SetOption(kOptionTimeStamps, 0, nullptr);
  const std::string chunk(8190, 'x');  // 8192-byte lines with CR LF
  for (int i = 0; i < 5 * 128 + 10; ++i) ASSERT_EQ(log.LogText(1, chunk.c_str()), 1);
  log.Close();
  const qint64 mb = 1 << 20;
  const qint64 first = QFileInfo(LogFile(QStringLiteral("big.log"))).size();
  const qint64 second = QFileInfo(LogFile(QStringLiteral("big_1.log"))).size();
  const qint64 third = QFileInfo(LogFile(QStringLiteral("big_2.log"))).size();
  // A file is continued elsewhere once it holds 2 MB: the write that reaches 2 MB still goes in.
  EXPECT_EQ(first, 2 * mb);
  EXPECT_EQ(second, 2 * mb);
  EXPECT_EQ(first + second + third, (5 * 128 + 10) * 8192);
  EXPECT_FALSE(QFileInfo::exists(LogFile(QStringLiteral("big_3.log"))));
}

TEST_F(TraceLogTest, DatedLogsRotateUnderTheirDatedNamesAndLeaveOtherDaysAlone) {
  // The rotations of earlier days, under the undated and the dated rotation name.
  const QString yesterday = QDate::currentDate().addDays(-1).toString(QStringLiteral("yyyy_MM_dd"));
  for (const QString& name : {QStringLiteral("day_1.log"), "day_" + yesterday + "_1.log"}) {
    station_.Write(QStringLiteral("Log/") + name, "an earlier day\r\n");
  }
  TraceLog log;
  ASSERT_EQ(log.Open("day.log", 0x4002, 3, 1), 1);
  const QString opened = log.TextPath();
  log.SetOption(kOptionTimeStamps, 0, nullptr);
  const std::string chunk(8190, 'x');
  for (int i = 0; i < 2 * 128 + 1; ++i) ASSERT_EQ(log.LogText(1, chunk.c_str()), 1);
  const QString rotated = log.TextPath();
  log.Close();
  ASSERT_TRUE(opened.endsWith(QStringLiteral(".log")));
  EXPECT_EQ(rotated, opened.chopped(4) + QStringLiteral("_1.log"));
  EXPECT_EQ(QFileInfo(rotated).size(), 8192);
  for (const QString& name : {QStringLiteral("day_1.log"), "day_" + yesterday + "_1.log"}) {
    EXPECT_EQ(ReadAll(LogFile(name)), "an earlier day\r\n") << name.toStdString();
  }
}

TEST_F(TraceLogTest, TwentyByteDumpGivesTwoRowsTheSecondFilledOut) {
  TraceLog log;
  ASSERT_EQ(log.Open("dump.log", 0x4000, 3, 0), 1);
  QByteArray data;
  for (int i = 0; i < 20; ++i) data += static_cast<char>(i < 16 ? 'A' + i : 0x6F + i);
  EXPECT_EQ(log.DumpHex(2, data.constData(), data.size(), 1), 1);
  log.SetOption(kOptionTimeStamps, 0, nullptr);
  log.SetOption(kOptionCharColumn, 0, nullptr);
  EXPECT_EQ(log.DumpHex(2, "\x01\x02", 2, 0, 100), 1);
  log.Close();
  const QString indent(26, QLatin1Char(' '));
  const QString expected =
      kStamp + "--> 20\\(0x00000014\\) Bytes\r\n" + indent +
      "00000000h: 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 ; ABCDEFGHIJKLMNOP\r\n" + indent +
      "00000010h: 7F 80 81 82 " + QString(12 * 3, QLatin1Char(' ')) + "; \\.\\.\\.\\.\r\n" +
      "<-- 2\\(0x00000002\\)/100\\(0x00000064\\) Bytes\r\n" + "00000000h: 01 02 " +
      QString(14 * 3, QLatin1Char(' ')) + ";\r\n";
  EXPECT_TRUE(Matches(ReadAll(LogFile(QStringLiteral("dump.log"))), expected))
      << ReadAll(LogFile(QStringLiteral("dump.log"))).toStdString();
}

TEST_F(TraceLogTest, DumpHeaderMarksAndCut) {
  TraceLog log;
  ASSERT_EQ(log.Open("marks.log", 0x4000, 3, 0), 1);
  log.SetOption(kOptionTimeStamps, 0, nullptr);
  log.SetOption(kOptionOffsetColumn, 0, nullptr);
  log.DumpHex(1, "", 0, 2);
  log.DumpHex(1, "", 0, 7);
  log.DumpHex(1, "", 0, 0, 0xFFFFFFFFU);
  log.DumpHex(1, "z", 1, 1);
  log.Close();
  EXPECT_EQ(ReadAll(LogFile(QStringLiteral("marks.log"))),
            QByteArray("<<- 0(0x00000000) Bytes\r\n"
                       "--- 0(0x00000000) Bytes\r\n"
                       "<-- 0(0x00000000)/-1(0xffffffff) Bytes\r\n"
                       "--> 1(0x00000001) Bytes\r\n"
                       "7A ") +
                QByteArray(15 * 3, ' ') + "; z\r\n");
}

TEST_F(TraceLogTest, BytesPerLineOptionBounds) {
  TraceLog log;
  for (const auto& [given, kept] :
       {std::pair<std::uint32_t, std::uint32_t>{0, 16}, {17, 16}, {1, 1}, {8, 8}, {16, 16}}) {
    EXPECT_EQ(log.SetOption(kOptionBytesPerLine, 0, &given), 1);
    EXPECT_EQ(OptionNumber(log, kOptionBytesPerLine), kept) << given;
  }
  const std::uint32_t eight = 8;
  log.SetOption(kOptionBytesPerLine, 0, &eight);
  ASSERT_EQ(log.Open("eight.log", 0x4000, 3, 0), 1);
  log.SetOption(kOptionTimeStamps, 0, nullptr);
  log.DumpHex(1, "0123456789", 10, 1);
  log.Close();
  EXPECT_EQ(ReadAll(LogFile(QStringLiteral("eight.log"))),
            QByteArray("--> 10(0x0000000a) Bytes\r\n"
                       "00000000h: 30 31 32 33 34 35 36 37 ; 01234567\r\n"
                       "00000008h: 38 39                   ; 89\r\n"));
}

TEST_F(TraceLogTest, OptionsSetAndGet) {
  TraceLog log;
  EXPECT_EQ(OptionText(log, kOptionLogFolder), station_.File(QStringLiteral("Log")));
  EXPECT_EQ(OptionText(log, kOptionDefaultName), TraceLog::ProgramName());
  EXPECT_EQ(TraceLog::ProgramName(), QStringLiteral("log_trace_test"));
  EXPECT_EQ(OptionText(log, kOptionCaptureExtension), QStringLiteral(".bin"));
  EXPECT_EQ(OptionNumber(log, kOptionTimeStamps), 1U);
  EXPECT_EQ(OptionNumber(log, kOptionConsole), 0U);
  EXPECT_EQ(OptionNumber(log, kOptionSizeLimit), 0U);

  EXPECT_EQ(log.SetOption(kOptionLogFolder, kFolderBesideStation, "sub"), 1);
  EXPECT_EQ(OptionText(log, kOptionLogFolder), station_.File(QStringLiteral("Log/sub")));
  EXPECT_EQ(log.SetOption(kOptionLogFolder, kFolderInTemp, nullptr), 1);
  EXPECT_EQ(OptionText(log, kOptionLogFolder), QDir::tempPath() + "/Log");
  EXPECT_EQ(log.SetOption(kOptionLogFolder, kFolderExact, nullptr), 0);
  EXPECT_EQ(log.SetOption(kOptionLogFolder, 4, "x"), 0);
  const QByteArray exact = station_.File(QStringLiteral("mine")).toLocal8Bit();
  EXPECT_EQ(log.SetOption(kOptionLogFolder, kFolderExact, exact.constData()), 1);
  ASSERT_EQ(log.Open("in-mine", 0x4000, 3, 0), 1);
  EXPECT_EQ(log.TextPath(), station_.File(QStringLiteral("mine/in-mine.log")));
  log.Close();

  EXPECT_EQ(log.SetOption(kOptionDefaultName, 0, nullptr), 0);
  EXPECT_EQ(log.SetOption(kOptionCaptureExtension, 0, ".cap"), 1);
  EXPECT_EQ(OptionText(log, kOptionCaptureExtension), QStringLiteral(".cap"));
  const std::string longExt(260, 'e');
  EXPECT_EQ(log.SetOption(kOptionCaptureExtension, 0, longExt.c_str()), 0);
  EXPECT_EQ(OptionText(log, kOptionCaptureExtension), QStringLiteral(".cap"));
  const std::uint32_t three = 3;
  EXPECT_EQ(log.SetOption(kOptionConsole, 0, &three), 0);
  EXPECT_EQ(log.SetOption(kOptionSizeLimit, 0, &three), 1);
  EXPECT_EQ(OptionNumber(log, kOptionSizeLimit), 3U);
  EXPECT_EQ(log.SetOption(99, 0, &three), 0);
  EXPECT_EQ(log.GetOption(kOptionSizeLimit, 0, nullptr), 0);
  std::uint32_t sink = 0;
  EXPECT_EQ(log.GetOption(99, 0, &sink), 0);
}

TEST_F(TraceLogTest, CaptureFilesTakeRawBytesByDirection) {
  TraceLog log;
  ASSERT_EQ(log.SetOption(kOptionCaptureExtension, 0, ".cap"), 1);
  ASSERT_EQ(log.Open("link", 0x8000 | 0x0300 | 0x4000, 3, 0), 1);
  EXPECT_EQ(log.ReadCapturePath(), LogFile(QStringLiteral("link_Rd.cap")));
  EXPECT_EQ(log.WriteCapturePath(), LogFile(QStringLiteral("link_Wt.cap")));
  EXPECT_EQ(log.WriteData("in0", 3, 0), 1);
  EXPECT_EQ(log.WriteData("out", 3, 1), 1);
  EXPECT_EQ(log.WriteData("in2", 3, 2), 1);
  EXPECT_EQ(log.WriteData("x", 1, 9), 1);
  log.Close();
  EXPECT_EQ(ReadAll(LogFile(QStringLiteral("link_Rd.cap"))), QByteArray("in0in2"));
  EXPECT_EQ(ReadAll(LogFile(QStringLiteral("link_Wt.cap"))), QByteArray("outx"));
  EXPECT_EQ(ReadAll(LogFile(QStringLiteral("link.log"))), QByteArray());

  // Capture flag alone opens neither a capture file nor the text log; no flag opens the text log.
  TraceLog other;
  ASSERT_EQ(other.Open("only", 0x8000, 3, 0), 1);
  EXPECT_EQ(other.TextPath(), QString());
  EXPECT_EQ(other.ReadCapturePath(), QString());
  ASSERT_EQ(other.Open("none", 0, 3, 0), 1);
  EXPECT_EQ(other.TextPath(), LogFile(QStringLiteral("none.log")));
}

TEST_F(TraceLogTest, CaptureFilesRotateUnderTheirOwnNames) {
  TraceLog log;
  ASSERT_EQ(log.Open("cap", 0x8000 | 0x0300, 3, 1), 1);
  const QByteArray block(1 << 20, 'r');
  for (int i = 0; i < 4; ++i) {
    log.WriteData(block.constData(), block.size(), 0);
    log.WriteData(block.constData(), block.size(), 1);
  }
  log.Close();
  for (const char* name : {"cap_Rd.bin", "cap_Rd_1.bin", "cap_Wt.bin", "cap_Wt_1.bin"}) {
    EXPECT_EQ(QFileInfo(LogFile(QString::fromLatin1(name))).size(), 2 << 20) << name;
  }
}

TEST_F(TraceLogTest, WideAndLongTexts) {
  TraceLog log;
  ASSERT_EQ(log.Open("wide.log", 0x4000, 3, 0), 1);
  log.SetOption(kOptionTimeStamps, 0, nullptr);
  EXPECT_EQ(log.LogTextW(1, L"\u05EA\u05DD \u05D4\u05D6\u05DE\u05DF!"), 1);
  EXPECT_EQ(log.LogFormatW(1, L"%s|%hs|%5d|%c", L"w", "n", 42, L'c'), 1);
  const std::string huge(10000, 'y');
  EXPECT_EQ(log.LogText(1, huge.c_str()), 1);
  EXPECT_EQ(log.LogFormat(1, "%s", huge.c_str()), 1);
  log.Close();
  const QList<QByteArray> lines = ReadAll(LogFile(QStringLiteral("wide.log"))).split('\n');
  ASSERT_EQ(lines.size(), 5);
  EXPECT_EQ(QString::fromUtf8(lines[0]),
            QStringLiteral("\u05EA\u05DD \u05D4\u05D6\u05DE\u05DF!\r"));
  EXPECT_EQ(lines[1], QByteArray("w|n|   42|c\r"));
  EXPECT_EQ(lines[2].size(), 8220 - 1);  // the line is cut to 8220 bytes, its CR LF kept
  EXPECT_EQ(lines[3].size(), 8191 + 1);  // the format buffer holds 8191 characters
}

TEST_F(TraceLogTest, ScopeWritesEnterAndLeaveAtLevelFive) {
  TraceLog log;
  ASSERT_EQ(log.Open("scope.log", 0x4000, 5, 0), 1);
  log.SetOption(kOptionTimeStamps, 0, nullptr);
  {
    TraceScope outer(&log, "RunWriteJob");
    TraceScope inner(&log, "Step", "port %d", 7);
    TraceScope wide(&log, L"Wide", L"%s=%d", L"code", 3);
    TraceScope none(nullptr, "nothing");
  }
  log.Close();
  EXPECT_EQ(ReadAll(LogFile(QStringLiteral("scope.log"))),
            QByteArray("Enter [RunWriteJob]\r\nEnter [Step] port 7\r\nEnter [Wide] code=3\r\n"
                       "Leave [Wide]\r\nLeave [Step]\r\nLeave [RunWriteJob]\r\n"));

  TraceLog quiet;
  ASSERT_EQ(quiet.Open("scope3.log", 0x4000, 3, 0), 1);
  { TraceScope s(&quiet, "Hidden"); }
  quiet.Close();
  EXPECT_EQ(ReadAll(LogFile(QStringLiteral("scope3.log"))), QByteArray());
}

// Captures what is written to standard error while it lives.
class StderrCapture {
 public:
  explicit StderrCapture(const QString& path) : path_(path.toLocal8Bit()) {
    std::fflush(stderr);
    saved_ = ::dup(2);
    std::FILE* f = std::fopen(path_.constData(), "w");
    ::dup2(::fileno(f), 2);
    std::fclose(f);
  }
  ~StderrCapture() { Stop(); }
  void Stop() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }

 private:
  QByteArray path_;
  int saved_ = -1;
};

TEST_F(TraceLogTest, ConsoleEchoGoesToStandardErrorUnlessHidden) {
  const QString capture = station_.File(QStringLiteral("stderr.txt"));
  {
    StderrCapture cap(capture);
    TraceLog log;
    const std::uint32_t shown = 1;
    const std::uint32_t hidden = 2;
    ASSERT_EQ(log.SetOption(kOptionConsole, 0, &shown), 1);
    ASSERT_EQ(log.Open("echo.log", 0x4000, 3, 0), 1);
    log.SetOption(kOptionTimeStamps, 0, nullptr);
    log.LogText(1, "seen");
    log.SetOption(kOptionConsole, 0, &hidden);
    log.LogText(1, "hidden");
    log.SetOption(kOptionConsole, 0, nullptr);
    EXPECT_EQ(OptionNumber(log, kOptionConsole), 0U);
    log.LogText(1, "off");
    log.Close();
    cap.Stop();
  }
  EXPECT_EQ(ReadAll(capture), QByteArray("seen\r\n"));
  EXPECT_EQ(ReadAll(LogFile(QStringLiteral("echo.log"))), QByteArray("seen\r\nhidden\r\noff\r\n"));
}

TEST_F(TraceLogTest, ReleaseDestroysAnObjectThroughTheInterface) {
  Logger* log = new TraceLog;
  ASSERT_EQ(log->Open("released.log", 0x4000, 3, 0), 1);
  log->LogText(1, "before release");
  log->Release();  // closes the file (a leak or double close would show under the sanitizers)
  EXPECT_TRUE(ReadAll(LogFile(QStringLiteral("released.log"))).endsWith("before release\r\n"));
}

}  // namespace
}  // namespace kestrel::log
