// The POSIX objects behind the seam's classes, shared by the POSIX sources only.
#pragma once

#include "device/oxbind/platform/platform.h"

namespace kestrel::device::oxbind::platform {

struct CancelToken::Native {
  int fd = -1;  // an eventfd: readable while the token is signalled
};

// The folder of port map links: <station folder>/ports, the station folder being
// KESTREL_STATION_DIR or else the running executable's folder.
std::string LinkFolder();

}  // namespace kestrel::device::oxbind::platform
