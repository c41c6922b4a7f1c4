#include "label/label_values.h"

namespace kestrel::label {
namespace {

constexpr const char* kNames[kFieldCount] = {"IMEI1", "IMEI2", "IMEI3", "IMEI4", "BT",
                                             "WIFI",  "SN1",   "SN2",   "DATE",  "STATION"};

}  // namespace

QString FieldName(LabelField field) {
  return QString::fromLatin1(kNames[static_cast<int>(field)]);
}

std::optional<LabelField> FieldFromName(QStringView name) {
  for (int i = 0; i < kFieldCount; ++i) {
    if (name.compare(QLatin1String(kNames[i]), Qt::CaseInsensitive) == 0) {
      return static_cast<LabelField>(i);
    }
  }
  return std::nullopt;
}

}  // namespace kestrel::label
