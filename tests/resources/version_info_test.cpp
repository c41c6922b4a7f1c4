#include "resources/version_info.h"

#include "tests/support/test_support.h"

#include <QCoreApplication>
#include <QFile>

#include <gtest/gtest.h>

using kestrel::resources::VersionInfoReader;
using kestrel::testing::BinPath;
using kestrel::testing::SourceDir;
using kestrel::testing::StationDir;

namespace {

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

}  // namespace

TEST(VersionInfoReader, TheStationExecutableCarriesTheProjectVersion) {
  VersionInfoReader reader;
  ASSERT_TRUE(reader.Load(BinPath("kestrel")));
  EXPECT_EQ(reader.ProductVersion(), "1, 0, 0, 1");
  EXPECT_EQ(reader.DottedProductVersion(), "1.0.0.1");
  EXPECT_EQ(VersionInfoReader::ReadProductVersion(BinPath("kestrel")), "1.0.0.1");
  ASSERT_EQ(reader.Translations().size(), 1);
  EXPECT_EQ(reader.Translations().front().language, 0x0409);
  EXPECT_EQ(reader.Translations().front().codePage, 0x04b0);
  EXPECT_EQ(reader.blockPrefix(), "\\StringFileInfo\\040904b0\\");
  EXPECT_EQ(reader.ProductName(), "Kestrel");
  for (const auto& value :
       {reader.Comments(), reader.CompanyName(), reader.LegalCopyright(), reader.LegalTrademarks(),
        reader.PrivateBuild(), reader.SpecialBuild()}) {
    EXPECT_TRUE(value.has_value());
  }
  EXPECT_EQ(reader.Query("\\varfileinfo\\TRANSLATION")->size(), 4);
}

TEST(VersionInfoReader, AnotherVersionAndFilesWithoutABlock) {
  EXPECT_EQ(VersionInfoReader::ReadProductVersion(KESTREL_VERSION_PROBE), "2.1.0.7");

  // The test binary itself has no block; neither has a text file or a missing one.
  VersionInfoReader reader;
  EXPECT_FALSE(reader.Load(QCoreApplication::applicationFilePath()));
  EXPECT_FALSE(reader.HasData());
  EXPECT_EQ(reader.DottedProductVersion(), "");
  EXPECT_FALSE(reader.ProductName().has_value());
  StationDir dir;
  EXPECT_EQ(VersionInfoReader::ReadProductVersion(dir.Write("x.txt", "KESTREL-VERSION-BLOCK 1")),
            "");
  EXPECT_EQ(VersionInfoReader::ReadProductVersion(dir.File("missing")), "");

  // A damaged executable: the section headers cut away.
  const QByteArray image = ReadAll(BinPath("kestrel"));
  ASSERT_GT(image.size(), 4096);
  EXPECT_FALSE(VersionInfoReader::ExtractBlock(image.left(image.size() - 64)).has_value());
  EXPECT_FALSE(VersionInfoReader::ExtractBlock(image.left(64)).has_value());
}

TEST(VersionInfoReader, ThirtyTwoBitBigEndianImages) {
  const QByteArray image =
      ReadAll(SourceDir() + QStringLiteral("/tests/resources/fuzz_seeds/elf32be.bin"));
  const auto block = VersionInfoReader::ExtractBlock(image);
  ASSERT_TRUE(block.has_value());
  VersionInfoReader reader;
  ASSERT_TRUE(reader.LoadBlock(*block));
  EXPECT_EQ(reader.DottedProductVersion(), "2.1.0.7");
  EXPECT_EQ(reader.ProductName(), "Probe");
}

TEST(VersionInfoReader, TranslationRules) {
  VersionInfoReader reader;
  // No translation table: the data is held but the product version is empty.
  EXPECT_FALSE(
      reader.LoadBlock("KESTREL-VERSION-BLOCK 1\n"
                       "\\StringFileInfo\\040904b0\\ProductVersion=1, 2, 3, 4\n"));
  EXPECT_TRUE(reader.HasData());
  EXPECT_FALSE(reader.HasTranslation());
  EXPECT_EQ(reader.DottedProductVersion(), "");
  EXPECT_EQ(reader.Query("\\StringFileInfo\\040904b0\\ProductVersion"), "1, 2, 3, 4");

  // Half an entry is no entry (fewer than 4 bytes).
  EXPECT_FALSE(reader.LoadBlock("KESTREL-VERSION-BLOCK 1\n\\VarFileInfo\\Translation=0409\n"));

  // The first entry chooses the string block; SetTranslation chooses another.
  ASSERT_TRUE(
      reader.LoadBlock("KESTREL-VERSION-BLOCK 1\n"
                       "\\VarFileInfo\\Translation=0407 04E4 0409 04b0\n"
                       "\\StringFileInfo\\040904b0\\ProductVersion=1, 2, 3, 4\n"
                       "\\StringFileInfo\\040704e4\\productversion= 2 ,1, 0 ,7 \n"));
  EXPECT_EQ(reader.Translations().size(), 2);
  EXPECT_EQ(reader.DottedProductVersion(), "2.1.0.7");
  reader.SetTranslation(0x0409, 0x04b0);
  EXPECT_EQ(reader.DottedProductVersion(), "1.2.3.4");
  reader.SetTranslation(0x0411, 0x04b0);
  EXPECT_EQ(reader.DottedProductVersion(), "");

  // Not a block at all.
  EXPECT_FALSE(reader.LoadBlock("ProductVersion=1, 0, 0, 1\n"));
  EXPECT_FALSE(reader.HasData());
}
