// The identities of the phone on the bench: the eight texts the station window binds to its
// entry fields. IMEIs are 15 decimal digits, addresses 12 hexadecimal digits, serial numbers
// `SNLength` characters (8 to 24); the texts are held as typed or generated.
#pragma once

#include <QString>

namespace kestrel::identity {

struct IdentitySet {
  QString IMEI1;
  QString IMEI2;
  QString IMEI3;
  QString IMEI4;
  QString BT;
  QString WIFI;
  QString SN1;
  QString SN2;

  // The IMEI text of slot 1..4 (any other slot gives IMEI1).
  QString& Imei(int slot);
  const QString& Imei(int slot) const;
};

inline QString& IdentitySet::Imei(int slot) {
  switch (slot) {
    case 2:
      return IMEI2;
    case 3:
      return IMEI3;
    case 4:
      return IMEI4;
    default:
      return IMEI1;
  }
}

inline const QString& IdentitySet::Imei(int slot) const {
  return const_cast<IdentitySet*>(this)->Imei(slot);
}

}  // namespace kestrel::identity
