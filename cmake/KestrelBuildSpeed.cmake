# What keeps the build short: a compiler cache when ccache is installed, and precompiled headers
# shared by every target that agrees on flags.
#
# The cache (KESTREL_CCACHE): set before the first target, so that every C and C++ compile goes
# through it. It keys on the source folder's relative paths (a rebuild after `git clean -fdx`, or
# another clone, finds what was compiled before) and runs in depend mode on the compiler's own
# dependency output; precompiled headers need the two sloppiness settings.
option(KESTREL_CCACHE "Compile through ccache when it is installed" ON)
if(KESTREL_CCACHE AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
  find_program(KESTREL_CCACHE_PROGRAM ccache)
  if(KESTREL_CCACHE_PROGRAM)
    set(_launcher env CCACHE_BASEDIR=${PROJECT_SOURCE_DIR} CCACHE_DEPEND=1
      CCACHE_SLOPPINESS=pch_defines,time_macros ${KESTREL_CCACHE_PROGRAM})
    set(CMAKE_C_COMPILER_LAUNCHER ${_launcher})
    set(CMAKE_CXX_COMPILER_LAUNCHER ${_launcher})
    message(STATUS "Compiler cache: ${KESTREL_CCACHE_PROGRAM}")
  endif()
endif()

# The linker (KESTREL_FAST_LINKER): lld when installed, else gold (part of binutils); either
# links the test binaries, heavy with debug information, several times faster than ld.bfd.
option(KESTREL_FAST_LINKER "Link with lld, or gold, when installed" ON)
if(KESTREL_FAST_LINKER AND NOT CMAKE_CROSSCOMPILING)
  find_program(KESTREL_LLD ld.lld)
  find_program(KESTREL_GOLD ld.gold)
  if(KESTREL_LLD)
    add_link_options(-fuse-ld=lld)
    message(STATUS "Linker: ${KESTREL_LLD}")
  elseif(KESTREL_GOLD)
    add_link_options(-fuse-ld=gold)
    message(STATUS "Linker: ${KESTREL_GOLD}")
  endif()
endif()

# Debug information of the optimised build (KESTREL_DEBUG_INFO): `lines` (-g1: functions, files
# and lines, what a backtrace, a crash report or a profiler reads) or `full` (-g: also types and
# variables, for stepping in a debugger; the sanitizer presets are Debug builds and have it
# always). Types and variables are most of the debug information Qt's templates produce: `lines`
# compiles a station source in about half the time and a test source in three quarters.
set(KESTREL_DEBUG_INFO lines CACHE STRING "Debug information of RelWithDebInfo: lines or full")
set_property(CACHE KESTREL_DEBUG_INFO PROPERTY STRINGS lines full)
if(KESTREL_DEBUG_INFO STREQUAL "lines" AND NOT MSVC)
  foreach(_lang C CXX)
    string(REGEX REPLACE "(^| )-g( |$)" "\\1-g1\\2" CMAKE_${_lang}_FLAGS_RELWITHDEBINFO
      "${CMAKE_${_lang}_FLAGS_RELWITHDEBINFO}")
  endforeach()
elseif(NOT KESTREL_DEBUG_INFO STREQUAL "full")
  message(FATAL_ERROR "KESTREL_DEBUG_INFO is lines or full, not ${KESTREL_DEBUG_INFO}")
endif()

# Precompiled headers (KESTREL_PCH): three hosts, each compiling one header once for every
# target of its kind — `core` (standard library and Qt Core) for the station's libraries and
# tools, `widgets` (core and Qt Widgets) for those that link Qt Widgets, `test` (widgets and
# GoogleTest) for the test binaries. A host links only Qt Core, so that it carries no more
# definitions than any of its users (the QT_*_LIB macros of further modules are tested only by
# headers none of these includes); what it lacks of the other modules is their include folders.
# Targets without Qt (the phone library, the phone's end) get none: they stay free of Qt.
option(KESTREL_PCH "Precompile the most used Qt, standard-library and GoogleTest headers" ON)

set_property(GLOBAL PROPERTY KESTREL_PCH_TARGETS "")

# kestrel_pch_candidate(TARGET KIND): TARGET takes the KIND host's header (test, or auto: widgets
# or core by what it links), decided once every target exists (kestrel_apply_pch).
function(kestrel_pch_candidate target kind)
  set_property(GLOBAL APPEND PROPERTY KESTREL_PCH_TARGETS "${target}:${kind}")
endfunction()

# Whether `target` links the Qt module `module` (Qt6::Core, ...), directly or through the
# project's own libraries.
function(_kestrel_links_qt target module out)
  set(_seen "")
  set(_todo ${target})
  set(_found FALSE)
  while(_todo)
    list(POP_FRONT _todo _t)
    if(_t IN_LIST _seen OR NOT TARGET ${_t})
      continue()
    endif()
    list(APPEND _seen ${_t})
    if(_t STREQUAL module)
      set(_found TRUE)
      break()
    endif()
    if(_t MATCHES "^Qt6::")
      continue()
    endif()
    get_target_property(_type ${_t} TYPE)
    set(_libs "")
    if(NOT _type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(_direct ${_t} LINK_LIBRARIES)
      if(_direct)
        list(APPEND _libs ${_direct})
      endif()
    endif()
    get_target_property(_iface ${_t} INTERFACE_LINK_LIBRARIES)
    if(_iface)
      list(APPEND _libs ${_iface})
    endif()
    foreach(_l IN LISTS _libs)
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" _l "${_l}")
      if(NOT _l MATCHES "^\\$<")
        list(APPEND _todo ${_l})
      endif()
    endforeach()
  endwhile()
  set(${out} ${_found} PARENT_SCOPE)
endfunction()

function(_kestrel_pch_host name header)
  add_library(kestrel_pch_${name} OBJECT ${PROJECT_SOURCE_DIR}/cmake/pch/host.cpp)
  target_include_directories(kestrel_pch_${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(kestrel_pch_${name} PRIVATE kestrel_options Qt6::Core ${ARGN})
  foreach(module Gui Widgets)
    target_include_directories(kestrel_pch_${name} SYSTEM PRIVATE
      $<TARGET_PROPERTY:Qt6::${module},INTERFACE_INCLUDE_DIRECTORIES>)
  endforeach()
  target_precompile_headers(kestrel_pch_${name} PRIVATE ${PROJECT_SOURCE_DIR}/cmake/pch/${header})
endfunction()

# Gives every candidate its host's precompiled header. Called once, after every folder.
function(kestrel_apply_pch)
  if(NOT KESTREL_PCH)
    return()
  endif()
  # clang checks a precompiled header's time stamp against the header; the compiler cache may
  # hand back a header older than its sources, so it is left out (the contents are checked).
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(kestrel_options INTERFACE
      $<$<COMPILE_LANGUAGE:CXX>:SHELL:-Xclang -fno-pch-timestamp>)
  endif()
  _kestrel_pch_host(core core.h)
  _kestrel_pch_host(widgets widgets.h)
  if(KESTREL_TESTS)
    _kestrel_pch_host(test test.h GTest::gtest kestrel_test_options)
  endif()
  get_property(_all GLOBAL PROPERTY KESTREL_PCH_TARGETS)
  foreach(_entry IN LISTS _all)
    string(REPLACE ":" ";" _parts "${_entry}")
    list(GET _parts 0 _target)
    list(GET _parts 1 _kind)
    if(_kind STREQUAL "auto")
      _kestrel_links_qt(${_target} Qt6::Core _qt)
      if(NOT _qt)
        continue()
      endif()
      _kestrel_links_qt(${_target} Qt6::Widgets _widgets)
      set(_kind core)
      if(_widgets)
        set(_kind widgets)
      endif()
    endif()
    target_precompile_headers(${_target} REUSE_FROM kestrel_pch_${_kind})
  endforeach()
endfunction()
