// The --help text of a tool, generated at build time from resources/manual/<tool>.txt (the
// same text the tool's man page is made from; see kestrel_manual in
// resources/manual/CMakeLists.txt).
#pragma once

extern "C" const char kestrel_help_text[];
