# Cross-builds the Qt-free phone library and its Win32 tests for 64-bit Windows with Debian's
# mingw-w64 (packages gcc-mingw-w64-x86-64, g++-mingw-w64-x86-64). The compilers of the
# "posix" thread model are the ones whose C++ library has std::thread and std::mutex (GCC 12's
# win32 model has neither). The library and the test program link the compiler's runtime
# statically, so kestrel-oxbind.dll needs nothing beside it but Windows itself.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
