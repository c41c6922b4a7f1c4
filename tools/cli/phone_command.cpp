#include "tools/cli/cli_commands.h"

#include <cstdio>

namespace kestrel::cli {

int RunPhoneCommand(const QStringList&) {
  std::fputs("kestrel-cli: the phone command is not available in this build\n", stderr);
  return 2;
}

}  // namespace kestrel::cli
