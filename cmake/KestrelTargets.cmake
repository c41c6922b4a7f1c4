# Shared compile settings and the helpers every folder uses to declare its targets.

add_library(kestrel_options INTERFACE)
target_compile_options(kestrel_options INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wcast-align -Wformat=2 -Wimplicit-fallthrough
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual>)
if(KESTREL_WERROR)
  target_compile_options(kestrel_options INTERFACE -Werror)
endif()
if(KESTREL_SANITIZE)
  target_compile_options(kestrel_options INTERFACE -fsanitize=${KESTREL_SANITIZE} -fno-omit-frame-pointer
    -fno-sanitize-recover=all)
  target_link_options(kestrel_options INTERFACE -fsanitize=${KESTREL_SANITIZE})
endif()
# libFuzzer steers by coverage: the code under test (the libraries), not only the fuzz target's
# own file, must carry the coverage counters.
if(KESTREL_FUZZ)
  target_compile_options(kestrel_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

# The test binaries' own sources: not optimised in an optimised build (their code is assertions
# and set-up, whose optimisation costs most of their compile time and buys nothing); the code
# under test keeps the build's flags.
add_library(kestrel_test_options INTERFACE)
target_compile_options(kestrel_test_options INTERFACE $<$<NOT:$<CONFIG:Debug>>:-O0>)

# kestrel_library(NAME SOURCES ... [DEPS ...]) — one library per folder.
function(kestrel_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE kestrel_options)
  kestrel_pch_candidate(${name} auto)
endfunction()

# kestrel_executable(NAME SOURCES ... [DEPS ...])
function(kestrel_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} kestrel_options)
  kestrel_pch_candidate(${name} auto)
endfunction()

# kestrel_test(NAME SOURCES ... [DEPS ...] [WIDGETS]) — one GoogleTest binary, one CTest entry.
# WIDGETS tests get a QApplication on Qt's offscreen platform; others a QCoreApplication.
function(kestrel_test name)
  cmake_parse_arguments(ARG "WIDGETS" "TIMEOUT" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} kestrel_test_support GTest::gtest GTest::gmock
    kestrel_options kestrel_test_options)
  if(ARG_WIDGETS)
    target_compile_definitions(${name} PRIVATE KESTREL_TEST_WIDGETS=1)
    target_link_libraries(${name} PRIVATE kestrel_test_main_widgets Qt6::Widgets)
  else()
    target_link_libraries(${name} PRIVATE kestrel_test_main)
  endif()
  kestrel_pch_candidate(${name} test)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;KESTREL_BIN_DIR=${CMAKE_BINARY_DIR}/bin;KESTREL_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
endfunction()

# kestrel_fuzz_target(NAME SOURCES ... [DEPS ...] [SEEDS dir-or-file ...])
# The sources define LLVMFuzzerTestOneInput. In the fuzz preset the binary is a libFuzzer
# fuzzer; otherwise it is linked with a small driver that runs the seeds and a bounded number
# of mutations. Either way a short run is registered as a test.
function(kestrel_fuzz_target name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;SEEDS" ${ARGN})
  if(KESTREL_FUZZ)
    add_executable(${name} ${ARG_SOURCES})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    # libFuzzer adds what it finds to its first corpus folder: keep that in the build tree so
    # the seed folders of the source tree stay as committed.
    set(_corpus ${CMAKE_CURRENT_BINARY_DIR}/${name}_corpus)
    file(MAKE_DIRECTORY ${_corpus})
    set(_args -max_total_time=10 -runs=200000 ${_corpus})
    # libFuzzer takes folders only: a seed given as a file goes into a folder of its own.
    set(_seeds "")
    foreach(_seed IN LISTS ARG_SEEDS)
      if(IS_DIRECTORY ${_seed})
        list(APPEND _seeds ${_seed})
      else()
        set(_files ${CMAKE_CURRENT_BINARY_DIR}/${name}_seed_files)
        file(COPY ${_seed} DESTINATION ${_files})
        list(APPEND _seeds ${_files})
      endif()
    endforeach()
    list(REMOVE_DUPLICATES _seeds)
    set(ARG_SEEDS ${_seeds})
  else()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE kestrel_fuzz_driver Qt6::Core)
    set(_args -max_total_time=10 -runs=20000)
    kestrel_pch_candidate(${name} auto)
  endif()
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} kestrel_options)
  add_test(NAME ${name} COMMAND ${name} ${_args} ${ARG_SEEDS})
  set_tests_properties(${name} PROPERTIES TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()
