// The "Usage:" section of a tool's help text (resources/manual/help_text.h), up to the blank
// line after it: what a tool prints when its arguments are wrong.
#pragma once

#include "resources/manual/help_text.h"

#include <cstdio>
#include <cstring>

namespace kestrel::resources {

// Prints the section to `out` and returns the exit code of wrong arguments, 2.
inline int PrintUsage(std::FILE* out) {
  const char* from = std::strstr(kestrel_help_text, "Usage:\n");
  const char* to = from ? std::strstr(from, "\n\n") : nullptr;
  if (from && to) {
    std::fwrite(from, 1, static_cast<std::size_t>(to - from + 1), out);
  } else {
    std::fputs(kestrel_help_text, out);
  }
  return 2;
}

}  // namespace kestrel::resources
