#include "device/oxbind/request_counts.h"

#include "device/oxbind/phone.h"

namespace kestrel::device::oxbind {

bool ReadRequestCounts(PhoneHandle h, RequestCounts* counts) {
  *counts = {};
  const std::shared_ptr<Phone> phone = FindPhone(h);
  if (!phone) return false;
  const LinkCounters c = phone->RequestCounters();
  counts->requests = c.requests;
  counts->retransmissions = c.retransmissions;
  return true;
}

}  // namespace kestrel::device::oxbind
