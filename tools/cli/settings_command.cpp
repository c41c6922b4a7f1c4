#include "tools/cli/cli_commands.h"

#include <cstdio>

namespace kestrel::cli {

int RunSettingsCommand(const QStringList&) {
  std::fputs("kestrel-cli: the settings command is not available in this build\n", stderr);
  return 2;
}

}  // namespace kestrel::cli
