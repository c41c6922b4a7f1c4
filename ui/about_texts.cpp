// Reading the version block for the About box.
#include "resources/version_info.h"
#include "ui/about_box.h"

namespace kestrel::ui {

AboutTexts ReadAboutTexts() {
  resources::VersionInfoReader reader;
  AboutTexts texts;
  // Without a block or its translation table every getter gives nothing.
  if (!reader.Load()) return texts;
  texts.productName = reader.ProductName().value_or(QString());
  texts.productVersion = reader.ProductVersion().value_or(QString());
  texts.legalCopyright = reader.LegalCopyright().value_or(QString());
  texts.specialBuild = reader.SpecialBuild().value_or(QString());
  return texts;
}

}  // namespace kestrel::ui
