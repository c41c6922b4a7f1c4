#include "config/ini_file.h"

#include "tests/support/test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <gtest/gtest.h>

#include <thread>

using kestrel::config::IniFile;
using kestrel::testing::StationDir;

namespace {

QByteArray Utf16LE(const QString& text) {
  QStringEncoder enc(QStringEncoder::Utf16LE);
  return QByteArray("\xFF\xFE", 2) + QByteArray(enc.encode(text));
}

}  // namespace

TEST(IniFileRead, NamesTrimmingQuotesCommentsAndDuplicates) {
  StationDir dir;
  IniFile ini(dir.Write("a.ini",
                        "; Port=7 in a comment\n"
                        "  [ General ]  \n"
                        "  operation mode   =  1  \n"
                        "Name1=\"quoted text\"\n"
                        "Name2='single'\n"
                        "Name3=\"mixed'\n"
                        "Name4=\"\n"
                        "  ; Port=8 indented comment\n"
                        "BT   Addr. Format=AB\n"
                        "Port=3\n"
                        "port=4\n"
                        "Empty=\n"
                        "[GENERAL]\n"
                        "Late=1\n"
                        "[Other]\n"
                        "Port=5\n"));
  EXPECT_EQ(ini.ReadInt("general", "Operation Mode", -1), 1);
  EXPECT_EQ(ini.ReadString("General", "Name1", ""), "quoted text");
  EXPECT_EQ(ini.ReadString("General", "Name2", ""), "single");
  EXPECT_EQ(ini.ReadString("General", "Name3", ""), "\"mixed'");
  EXPECT_EQ(ini.ReadString("General", "Name4", ""), "\"");
  EXPECT_EQ(ini.ReadInt("General", "Port", -1), 3);  // first duplicate, comments skipped
  EXPECT_EQ(ini.ReadString("General", "BT   Addr. Format", "-"), "AB");
  EXPECT_EQ(ini.ReadString("General", "BT Addr. Format", "-"), "-");
  EXPECT_TRUE(ini.HasKey("General", "Empty"));
  EXPECT_EQ(ini.ReadString("General", "Empty", "dflt"), "");
  EXPECT_EQ(ini.ReadInt("General", "Empty", 9), 0);
  // Only the first of two sections with one name is seen.
  EXPECT_FALSE(ini.HasKey("General", "Late"));
  EXPECT_EQ(ini.ReadInt("Other", "Port", -1), 5);
  EXPECT_EQ(ini.ReadInt("Missing", "Port", 42), 42);
  EXPECT_EQ(ini.ReadString("General", "Name1", "", 6), "quoted");
}

// Hand-edited files: a truncated header and a key line without "=", read as the platform's
// private-profile functions read them.
TEST(IniFileRead, TruncatedHeaderAndKeyWithoutEquals) {
  struct Case {
    const char* name;
    const char* text;
    const char* section;
    const char* key;
    int expected;  // ReadInt with the default 1
  };
  const Case cases[] = {
      {"keys after a truncated header stay in the section before it",
       "[General]\nPort=3\n[Control\nTimeout=7\n", "General", "Timeout", 7},
      {"a truncated header opens no section", "[General]\n[Control\nTimeout=7\n", "Control",
       "Timeout", 1},
      {"a truncated header does not end the section's first key", "[General]\n[Oth\nPort=4\n",
       "General", "Port", 4},
      {"a later full header of the same name still opens it",
       "[General]\n[Control\nTimeout=7\n[Control]\nTimeout=8\n", "Control", "Timeout", 8},
      {"a key without = reads as the default", "[General]\nPort\nPort=5\n", "General", "Port",
       1},
      {"names of a bare key are matched without case or blanks",
       "[General]\n  PORT  \nPort=5\n", "General", "Port", 1},
      {"a key = after a bare key of another name is read", "[General]\nOther\nPort=5\n",
       "General", "Port", 5},
      {"a bare key after the key does not hide it", "[General]\nPort=5\nPort\n", "General",
       "Port", 5},
      {"a bare key in another section does not hide it", "[Control]\nPort\n[General]\nPort=5\n",
       "General", "Port", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StationDir dir;
    IniFile ini(dir.Write("a.ini", c.text));
    EXPECT_EQ(ini.ReadInt(c.section, c.key, 1), c.expected);
    EXPECT_EQ(ini.HasKey(c.section, c.key), c.expected != 1);
  }
}

TEST(IniFileWrite, TruncatedHeaderAndBareKeyLinesAreEditedInPlace) {
  StationDir dir;
  const QString path = dir.Write("a.ini", "[General]\nPort\nPort=5\n[Control\nTimeout=7\n");
  IniFile ini(path);
  // The bare key is the key's line: a write gives it its value; the later line stays.
  ASSERT_TRUE(ini.WriteInt("General", "Port", 2));
  // A key of the section goes after its last key, past the truncated header.
  ASSERT_TRUE(ini.WriteInt("General", "IMEI1", 1));
  // The section the truncated line names does not exist: it is added at the end.
  ASSERT_TRUE(ini.WriteInt("Control", "Timeout", 9));
  EXPECT_EQ(dir.Read("a.ini").toStdString(),
            "[General]\nPort=2\nPort=5\n[Control\nTimeout=7\nIMEI1=1\n[Control]\nTimeout=9\n");
  EXPECT_EQ(ini.ReadInt("General", "Port", 1), 2);
  EXPECT_EQ(ini.ReadInt("General", "Timeout", 1), 7);
  EXPECT_EQ(ini.ReadInt("Control", "Timeout", 1), 9);
}

TEST(IniFileRead, IntegerRule) {
  StationDir dir;
  IniFile ini(
      dir.Write("a.ini", "[S]\na=-12abc\nb=abc\nc=+7\nd= 0x10\ne=2147483648\nf=-\ng=007\nh=4.9\n"));
  EXPECT_EQ(ini.ReadInt("S", "a", 1), -12);
  EXPECT_EQ(ini.ReadInt("S", "b", 1), 0);
  EXPECT_EQ(ini.ReadInt("S", "c", 1), 7);
  EXPECT_EQ(ini.ReadInt("S", "d", 1), 0);                // decimal only: "0" then stop
  EXPECT_EQ(ini.ReadInt("S", "e", 1), -2147483647 - 1);  // wraps as the platform does
  EXPECT_EQ(ini.ReadInt("S", "f", 1), 0);
  EXPECT_EQ(ini.ReadInt("S", "g", 1), 7);
  EXPECT_EQ(ini.ReadInt("S", "h", 1), 4);
  EXPECT_EQ(ini.ReadInt("S", "absent", 1), 1);
}

TEST(IniFileRead, MissingFileGivesDefaults) {
  StationDir dir;
  IniFile ini(dir.File("none.ini"));
  EXPECT_EQ(ini.ReadInt("A", "b", 17), 17);
  EXPECT_EQ(ini.ReadString("A", "b", "x"), "x");
  EXPECT_FALSE(ini.HasKey("A", "b"));
}

TEST(IniFileWrite, KeepsOtherLinesAndPlacesNewKeysAndSections) {
  StationDir dir;
  const QString path = dir.Write("a.ini",
                                 "; head comment\r\n"
                                 "[General]\r\n"
                                 "Port = 3\r\n"
                                 "Unknown=keep me\r\n"
                                 "\r\n"
                                 "; belongs to Control\r\n"
                                 "[Control]\r\n"
                                 "RebootDUT=1");  // last line without its terminator
  IniFile ini(path);
  ASSERT_TRUE(ini.WriteInt("general", "PORT", 5));
  ASSERT_TRUE(ini.WriteString("General", "DefaultIMEI", "35123456000001"));
  ASSERT_TRUE(ini.WriteString("Control", "SendATCmd", "0"));
  ASSERT_TRUE(ini.WriteString("PHONE", "Version", "1.0"));
  EXPECT_EQ(dir.Read("a.ini").toStdString(),
            "; head comment\r\n"
            "[General]\r\n"
            "Port=5\r\n"
            "Unknown=keep me\r\n"
            "DefaultIMEI=35123456000001\r\n"
            "\r\n"
            "; belongs to Control\r\n"
            "[Control]\r\n"
            "RebootDUT=1\r\n"
            "SendATCmd=0\r\n"
            "[PHONE]\r\n"
            "Version=1.0\r\n");
  EXPECT_EQ(ini.ReadInt("General", "Port", -1), 5);
}

TEST(IniFileWrite, CreatesMissingFileAndSeesOtherObjectsWrites) {
  StationDir dir;
  const QString path = dir.File("new.ini");
  IniFile a(path);
  IniFile b(path);
  ASSERT_TRUE(a.WriteInt("General", "IMEI1", 1));
  EXPECT_EQ(b.ReadInt("General", "IMEI1", 0), 1);
  ASSERT_TRUE(b.WriteInt("General", "IMEI2", 2));
  EXPECT_EQ(a.ReadInt("General", "IMEI2", 0), 2);
  EXPECT_EQ(dir.Read("new.ini").toStdString(), "[General]\nIMEI1=1\nIMEI2=2\n");
}

TEST(IniFileWrite, RefusesTextThatWouldBreakTheLines) {
  StationDir dir;
  const QString path = dir.Write("a.ini", "[General]\nPort=1\n");
  IniFile ini(path);
  EXPECT_FALSE(ini.WriteString("General", "Port", "2\n[Evil]\nx=1"));
  EXPECT_FALSE(ini.WriteString("General", "a=b", "1"));
  EXPECT_FALSE(ini.WriteString("Gen]eral", "a", "1"));
  EXPECT_FALSE(ini.WriteString("General", "", "1"));
  EXPECT_EQ(dir.Read("a.ini").toStdString(), "[General]\nPort=1\n");
}

TEST(IniFileEncoding, Utf16WithBomIsReadAndWrittenBackAsUtf16) {
  StationDir dir;
  const QString path =
      dir.Write("u.ini", Utf16LE(QStringLiteral("[General]\r\nCurrentStationName=站点\r\n")));
  IniFile ini(path);
  EXPECT_EQ(ini.ReadString("General", "CurrentStationName", ""), QStringLiteral("站点"));
  ASSERT_TRUE(ini.WriteString("General", "Version", QStringLiteral("ä1")));
  EXPECT_EQ(dir.Read("u.ini").toStdString(),
            Utf16LE(QStringLiteral("[General]\r\nCurrentStationName=站点\r\nVersion=ä1\r\n"))
                .toStdString());
}

TEST(IniFileEncoding, Utf8KeepsBomAndBytesOfLinesNotEdited) {
  StationDir dir;
  const QByteArray before = QByteArray("\xEF\xBB\xBF[General]\nName=\xE7\xAB\x99\nRaw=\xFF\xFE\n");
  const QString path = dir.Write("b.ini", before);
  IniFile ini(path);
  EXPECT_EQ(ini.ReadString("General", "Name", ""), QStringLiteral("站"));
  ASSERT_TRUE(ini.WriteInt("General", "Port", 2));
  EXPECT_EQ(dir.Read("b.ini").toStdString(), (before + "Port=2\n").toStdString());
}

TEST(IniFileWrite, InterruptedReplacementLeavesTheOldFileWhole) {
  StationDir dir;
  const QByteArray before = "[General]\nDefaultIMEI=35123456000001\nPort=1\n";
  const QString path = dir.Write("Kestrel.ini", before);
  IniFile ini(path);
  int calls = 0;
  IniFile::SetInterruptHookForTesting([&](const QString& p) {
    ++calls;
    EXPECT_EQ(p, path);
    return false;
  });
  const bool written = ini.WriteString("General", "DefaultIMEI", "99999999999999");
  IniFile::SetInterruptHookForTesting({});
  EXPECT_FALSE(written);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(dir.Read("Kestrel.ini").toStdString(), before.toStdString());
  // No temporary file is left behind either.
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"Kestrel.ini"});

  ASSERT_TRUE(ini.WriteString("General", "DefaultIMEI", "99999999999999"));
  EXPECT_EQ(ini.ReadString("General", "DefaultIMEI", ""), "99999999999999");
}

TEST(IniFileWrite, FailsWhenTheFolderDoesNotExist) {
  StationDir dir;
  IniFile ini(dir.File("no/such/folder/a.ini"));
  EXPECT_FALSE(ini.WriteInt("A", "b", 1));
  EXPECT_FALSE(QFileInfo::exists(dir.File("no")));
}

TEST(IniFileWrite, WritesFromTwoThreadsLoseNothing) {
  StationDir dir;
  const QString path = dir.File("Kestrel.ini");
  auto writer = [&path](const QString& key) {
    IniFile ini(path);  // each thread its own object on the one file, as the station has
    for (int i = 0; i < 40; ++i) ini.WriteInt("General", key + QString::number(i), i);
  };
  std::thread a(writer, QStringLiteral("A"));
  std::thread b(writer, QStringLiteral("B"));
  a.join();
  b.join();
  const IniFile ini(path);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(ini.ReadInt("General", "A" + QString::number(i), -1), i);
    EXPECT_EQ(ini.ReadInt("General", "B" + QString::number(i), -1), i);
  }
}
