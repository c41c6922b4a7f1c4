#include "resources/language/language_module.h"

#include "resources/message_format.h"
#include "resources/string_table.h"
#include "tests/support/test_support.h"

#include <QLibraryInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

using kestrel::resources::LanguageModule;
using kestrel::testing::BinDir;
using kestrel::testing::StationDir;
namespace res = kestrel::resources;

namespace {

QString ModulePath() {
  return BinDir() + QStringLiteral("/language/") + LanguageModule::FileName();
}

// The conversions of a printf-style text, in order ("%d", "%s", "%%" ...).
QStringList Conversions(const QString& text) {
  QStringList out;
  static const QRegularExpression re(QStringLiteral("%[-0+ ]*[0-9]*[a-zA-Z%]"));
  for (auto it = re.globalMatch(text); it.hasNext();) out << it.next().captured();
  return out;
}

}  // namespace

TEST(LanguageModule, TheEnglishModuleCarriesEveryIdWithTheSameConversions) {
  QString error;
  const std::unique_ptr<LanguageModule> module = LanguageModule::Load(ModulePath(), &error);
  ASSERT_TRUE(module) << error.toStdString();
  EXPECT_EQ(module->LanguageName(), "English");
  EXPECT_EQ(module->Version(), 0x01000001);
  for (int id = res::kFirstStringId; id <= res::kLastStringId; ++id) {
    SCOPED_TRACE(id);
    QString text;
    ASSERT_TRUE(module->Lookup(id, &text));
    EXPECT_FALSE(text.isEmpty());
    EXPECT_EQ(Conversions(text), Conversions(res::BuiltInString(id)));
    // English only: no Hebrew or Chinese left over.
    EXPECT_FALSE(text.contains(
        QRegularExpression(QStringLiteral("[\\x{0590}-\\x{05FF}\\x{4E00}-\\x{9FFF}]"))));
  }
  QString text;
  EXPECT_FALSE(module->Lookup(100, &text));
  EXPECT_FALSE(module->Lookup(187, &text));
  EXPECT_TRUE(module->DialogText(112, 0, &text));
  EXPECT_EQ(text, "Settings");
  EXPECT_FALSE(module->DialogText(112, 1012, &text));
}

TEST(LanguageModule, InstalledAsProviderItAnswersTheLookups) {
  const std::unique_ptr<LanguageModule> module = LanguageModule::Load(ModulePath());
  ASSERT_TRUE(module);
  res::SetStringProvider(module.get());
  EXPECT_EQ(res::LoadString(109), "Ready");
  EXPECT_EQ(res::FormatString(108, {5}), "Please switch the phone off within 5 seconds.");
  res::SetStringProvider(nullptr);
  EXPECT_EQ(res::LoadString(109), QStringLiteral("מוכן"));
}

TEST(LanguageModule, FilesThatAreNotAModuleAreRefused) {
  StationDir dir;
  QString error;
  EXPECT_FALSE(LanguageModule::Load(dir.File("libResQuillon.so"), &error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_FALSE(LanguageModule::Load(dir.Write("libResQuillon.so", "not a library"), &error));
  // A real shared library without the interface.
  const QString qtCore =
      QLibraryInfo::path(QLibraryInfo::LibrariesPath) + QStringLiteral("/libQt6Core.so.6");
  error.clear();
  EXPECT_FALSE(LanguageModule::Load(qtCore, &error));
  EXPECT_FALSE(error.isEmpty());
}
