#include "tools/cli/cli_commands.h"

#include <cstdio>

namespace kestrel::cli {

int RunImeiCommand(const QStringList&) {
  std::fputs("kestrel-cli: the imei command is not available in this build\n", stderr);
  return 2;
}

}  // namespace kestrel::cli
