# The Windows build: the phone library as kestrel-oxbind.dll (bin/) with its import library
# libkestrel-oxbind.dll.a (lib/), and the Win32 test program that drives it
# (bin/kestrel-oxbind-win32-test.exe). There is no Qt for mingw-w64 here, so nothing else
# of the station is built. The Linux build's ctest runs the test program under Wine against
# the phone simulator (tests/wine).
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
set(CMAKE_AUTOMOC OFF)
set(CMAKE_AUTORCC OFF)

include(cmake/KestrelTargets.cmake)

add_subdirectory(device/oxbind)
add_subdirectory(tools/phone-host)
if(KESTREL_TESTS)
  add_subdirectory(tests/wine)
endif()
