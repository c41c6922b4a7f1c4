// KV_GetLibraryInfo of Kestrel's own library.
#include "device/oxbind/oxbind.h"

#include <cstring>

#ifndef KESTREL_OXBIND_VERSION
#define KESTREL_OXBIND_VERSION "0.0.0.0"
#endif

extern "C" {

KV_API int32_t KV_GetLibraryInfo(KV_LibraryInfo* info) {
  if (info == nullptr) return KV_ERR_BAD_ARGUMENT;
  std::memset(info, 0, sizeof(*info));
  info->abiMajor = KV_ABI_MAJOR;
  info->abiMinor = KV_ABI_MINOR;
  std::strncpy(info->name, "Kestrel Oxbind", sizeof(info->name) - 1);
  std::strncpy(info->version, KESTREL_OXBIND_VERSION, sizeof(info->version) - 1);
  return KV_OK;
}

}  // extern "C"
