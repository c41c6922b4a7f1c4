// The values a label shows: the identities of the passed phone, the date and the station's name.
#pragma once

#include <QString>

#include <array>
#include <optional>

namespace kestrel::label {

enum class LabelField { IMEI1, IMEI2, IMEI3, IMEI4, BT, WIFI, SN1, SN2, Date, Station };
constexpr int kFieldCount = 10;

// "IMEI1", ..., "DATE", "STATION".
QString FieldName(LabelField field);
// The field of a name, in any case; nothing for an unknown name.
std::optional<LabelField> FieldFromName(QStringView name);

struct LabelValues {
  std::array<QString, kFieldCount> values;

  QString& operator[](LabelField f) { return values[static_cast<std::size_t>(f)]; }
  const QString& operator[](LabelField f) const { return values[static_cast<std::size_t>(f)]; }
  bool operator==(const LabelValues&) const = default;
};

}  // namespace kestrel::label
