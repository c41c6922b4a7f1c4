// The table of the phone library's calls for a test that links Kestrel's own library
// (kestrel_device_oxbind): the station's code under test calls the phone through a table, as
// it does when it has loaded the library itself.
#pragma once

#include "device/oxbind/oxbind.h"
#include "device/oxbind_loader/phone_api.h"

namespace kestrel::testing {

inline const device::oxbind::PhoneApi& LinkedPhoneApi() {
  static const device::oxbind::PhoneApi api = [] {
    device::oxbind::PhoneApi a;
#define KESTREL_TEST_LINK(name) a.name = &::KV_##name;
    KESTREL_OXBIND_REQUIRED_CALLS(KESTREL_TEST_LINK)
    KESTREL_OXBIND_OPTIONAL_CALLS(KESTREL_TEST_LINK)
#undef KESTREL_TEST_LINK
    KV_GetLibraryInfo(&a.info);
    return a;
  }();
  return api;
}

}  // namespace kestrel::testing
