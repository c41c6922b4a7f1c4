// The identity texts of one phone as the records keep them: the eight texts of the station's
// entry fields, taken unchanged (field names as in the station's identity set).
#pragma once

#include <QString>

namespace kestrel::records {

struct RecordIdentities {
  QString IMEI1;
  QString IMEI2;
  QString IMEI3;
  QString IMEI4;
  QString BT;
  QString WIFI;
  QString SN1;
  QString SN2;
};

}  // namespace kestrel::records
