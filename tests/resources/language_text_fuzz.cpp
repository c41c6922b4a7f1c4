// The language module's texts come from a library file beside the station that the station
// does not build. Any bytes as such a text (UTF-8, cut at its NUL as the module hands it over),
// for the string ids, looked up and formatted with the arguments the station passes (none,
// a number, a text, several of either): nothing crashes, the output stays bounded, and a text
// without a '%' comes out as it went in.
#include "resources/message_format.h"
#include "resources/string_table.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace {

using namespace kestrel::resources;

void Check(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "language_text_fuzz: check at line %d failed\n", line);
  std::abort();
}
#define Require(cond) Check((cond), __LINE__)

// Carries the fuzzed text for every id, as the module's lookup does.
class FuzzedModule final : public StringProvider {
 public:
  explicit FuzzedModule(QString text) : text_(std::move(text)) {}
  bool Lookup(int, QString* text) const override {
    *text = text_;
    return true;
  }

 private:
  QString text_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray raw(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  const qsizetype nul = raw.indexOf('\0');
  const QString text = QString::fromUtf8(nul < 0 ? raw : raw.left(nul));
  FuzzedModule module(text);
  SetStringProvider(&module);

  const QString longText(300, QLatin1Char('x'));
  // A conversion gives at most its argument (or a number) padded to a width below 10000.
  const qsizetype bound = text.size() * (10000 + longText.size());
  // Every id takes the same path; the first, one inside and the last stand for them all.
  for (const int id : {kFirstStringId, 135, kLastStringId}) {
    Require(LoadString(id) == text);
    const QString outs[] = {
        FormatString(id, {}),
        FormatString(id, {std::int64_t{3}}),
        FormatString(id, {std::numeric_limits<std::int64_t>::min()}),
        FormatString(id, {QStringLiteral("IMEI2")}),
        FormatString(id, {longText, std::int64_t{-1}, QString()}),
        FormatString(id, {QStringLiteral("10"), QStringLiteral("5"), QStringLiteral("66.7%")}),
    };
    for (const QString& out : outs) {
      Require(out.size() <= bound);
      if (!text.contains(QLatin1Char('%'))) Require(out == text);
    }
  }
  SetStringProvider(nullptr);
  return 0;
}
