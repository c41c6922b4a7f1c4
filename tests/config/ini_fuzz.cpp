// Any bytes as an ini file: parsing never crashes, an unedited document gives back exactly the
// bytes read, and an edit changes the edited key only.
#include "config/ini_document.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using kestrel::config::IniDocument;

namespace {

// Stops the run with the failed condition's line.
void Check(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "ini_fuzz: check at line %d failed\n", line);
  std::abort();
}
#define Require(cond) Check((cond), __LINE__)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  IniDocument doc = IniDocument::Parse(bytes);
  Require(doc.Serialize() == bytes);

  const auto watched = doc.Value(QStringLiteral("Control"), QStringLiteral("WATCmd"));
  const auto firstKey = doc.Value(QStringLiteral("General"), QStringLiteral("Port"));
  // A key name taken from the input itself, which may well be refused.
  const QString odd = QString::fromLatin1(bytes.left(6));

  Require(doc.SetValue(QStringLiteral("General"), QStringLiteral("DefaultIMEI"),
                       QStringLiteral("35123456000001")));
  const bool oddSet = doc.SetValue(QStringLiteral("General"), odd, QStringLiteral("v"));
  Require(doc.SetValue(QStringLiteral("New Section"), QStringLiteral("Key"), QStringLiteral("1")));

  const IniDocument again = IniDocument::Parse(doc.Serialize());
  Require(again.encoding() == doc.encoding());
  Require(again.Value(QStringLiteral("general"), QStringLiteral("defaultimei")) ==
          QStringLiteral("35123456000001"));
  Require(again.Value(QStringLiteral("new section"), QStringLiteral("KEY")) == QStringLiteral("1"));
  Require(again.Value(QStringLiteral("Control"), QStringLiteral("WATCmd")) == watched);
  if (oddSet) {
    Require(again.Value(QStringLiteral("General"), odd) == QStringLiteral("v"));
  }
  if (!oddSet || odd.trimmed().compare(QStringLiteral("Port"), Qt::CaseInsensitive) != 0) {
    Require(again.Value(QStringLiteral("General"), QStringLiteral("Port")) == firstKey);
  }
  return 0;
}
