// Any bytes as the line database's outside texts: a [LINE] Database URI, an IMEI.txt line to
// import, a SLOT=VALUE argument. Nothing crashes; a URI that parses hands libpq only plain
// option values and port lists, the shown URI never holds the password, and an imported line's identities
// are all of their slot's form or the line is refused before the database sees it.
#include "line/line_identities.h"
#include "line/line_import.h"
#include "line/line_uri.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

void Check(bool ok, int line) {
  if (ok) return;
  std::fprintf(stderr, "line_text_fuzz: check at line %d failed\n", line);
  std::abort();
}
#define Require(cond) Check((cond), __LINE__)

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  const QString text = QString::fromUtf8(bytes);

  kestrel::line::LineConnection c;
  if (kestrel::line::ParseLineUri(text, &c)) {
    static const QRegularExpression plain(
        QStringLiteral("\\A([a-z_]+=[A-Za-z0-9_.:/@+-]{1,200})?(;[a-z_]+=[A-Za-z0-9_.:/@+-]{1,200})*\\z"));
    Require(plain.match(c.options).hasMatch());
    Require(c.port == -1 || (c.port >= 1 && c.port <= 65535));
    // A port list goes to libpq beside the options: digits and commas, one port a host.
    static const QRegularExpression ports(QStringLiteral("\\A([0-9]{0,5}(,[0-9]{0,5})+)?\\z"));
    Require(ports.match(c.ports).hasMatch());
    Require(c.ports.isEmpty() || c.port == -1);
    Require(c.ports.isEmpty() || c.ports.count(QLatin1Char(',')) == c.host.count(QLatin1Char(',')));
    if (c.password.size() >= 4 && !c.user.contains(c.password) && !c.host.contains(c.password) &&
        !c.database.contains(c.password) && !c.options.contains(c.password)) {
      const QString shown = kestrel::line::LineUriForDisplay(text);
      Require(!shown.contains(c.password) || text.count(c.password) > 1);
    }
  }

  kestrel::line::LineImportPhone phone;
  if (kestrel::line::ParseResultLine(bytes, &phone)) {
    Require(!phone.items.empty());
    Require(phone.items.front().slot == QLatin1String("IMEI1"));
    for (const kestrel::line::LineItem& item : phone.items) {
      Require(!kestrel::line::LineKindOfSlot(item.slot).isEmpty());
    }
  }

  kestrel::line::LineItem item;
  if (kestrel::line::ParseLineItem(text, &item) && kestrel::line::ValidLineItem(item)) {
    const QString value = kestrel::line::LineValueOf(item.slot, item.value);
    for (const QChar ch : value) Require(ch.unicode() > 0x20 && ch.unicode() < 0x7f);
  }
  return 0;
}
