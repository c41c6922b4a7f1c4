#include "line/line_identities.h"

#include <QStringList>

namespace kestrel::line {
namespace {

constexpr int kImeiDigits = 15;
constexpr int kAddressDigits = 12;
constexpr int kSerialMaxChars = 64;

bool AllOf(const QString& text, bool (*accept)(char16_t)) {
  for (const QChar c : text) {
    if (!accept(c.unicode())) return false;
  }
  return true;
}

bool Decimal(char16_t c) {
  return c >= u'0' && c <= u'9';
}
bool Hex(char16_t c) {
  return Decimal(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}
bool Printable(char16_t c) {
  return c >= 0x21 && c <= 0x7e;
}

void Why(QString* why, const QString& text) {
  if (why != nullptr) *why = text;
}

}  // namespace

QString LineKindOfSlot(const QString& slot) {
  if (slot == QLatin1String("IMEI1") || slot == QLatin1String("IMEI2") ||
      slot == QLatin1String("IMEI3") || slot == QLatin1String("IMEI4")) {
    return QStringLiteral("IMEI");
  }
  if (slot == QLatin1String("BT") || slot == QLatin1String("WIFI")) return slot;
  if (slot == QLatin1String("SN1") || slot == QLatin1String("SN2")) return QStringLiteral("SN");
  return {};
}

QString LineValueOf(const QString& slot, const QString& value) {
  const QString kind = LineKindOfSlot(slot);
  if (kind == QLatin1String("BT") || kind == QLatin1String("WIFI")) return value.toLower();
  return value;
}

bool ValidLineItem(const LineItem& item, QString* why) {
  const QString kind = LineKindOfSlot(item.slot);
  if (kind.isEmpty()) {
    Why(why, QStringLiteral("unknown identity %1").arg(item.slot));
    return false;
  }
  if (kind == QLatin1String("IMEI")) {
    if (item.value.size() != kImeiDigits || !AllOf(item.value, Decimal)) {
      Why(why, QStringLiteral("%1 is not 15 decimal digits").arg(item.slot));
      return false;
    }
  } else if (kind == QLatin1String("SN")) {
    if (item.value.isEmpty() || item.value.size() > kSerialMaxChars ||
        !AllOf(item.value, Printable)) {
      Why(why, QStringLiteral("%1 is not 1 to 64 printable ASCII characters").arg(item.slot));
      return false;
    }
  } else if (item.value.size() != kAddressDigits || !AllOf(item.value, Hex)) {
    Why(why, QStringLiteral("%1 is not 12 hexadecimal digits").arg(item.slot));
    return false;
  }
  return true;
}

bool ParseLineItem(const QString& text, LineItem* item) {
  const qsizetype eq = text.indexOf(QLatin1Char('='));
  if (eq <= 0) return false;
  item->slot = text.left(eq).toUpper();
  item->value = text.mid(eq + 1);
  return !LineKindOfSlot(item->slot).isEmpty();
}

}  // namespace kestrel::line
