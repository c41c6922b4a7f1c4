# The phone's end of the link (device/oxbind/phone_end): its behaviour over an in-memory phone,
# its fuzz target, and the C99 build with every compiler a phone maker may use.
kestrel_test(device_phone_end_test SOURCES phone_end_test.cpp
  DEPS kestrel_phone_end kestrel_device_oxbind_wire TIMEOUT 30)

kestrel_fuzz_target(device_phone_end_fuzz SOURCES phone_end_fuzz.cpp
  DEPS kestrel_phone_end kestrel_device_oxbind_wire
  SEEDS ${CMAKE_CURRENT_SOURCE_DIR}/phone_end_fuzz_seeds)

# Compiled alone, as firmware would: strict C99, warnings as errors. gcc, clang and mingw-w64
# are installed by scripts/kestrel; a missing one fails its test.
set(_phone_end_dir ${PROJECT_SOURCE_DIR}/device/oxbind/phone_end)
file(GLOB _phone_end_sources ${_phone_end_dir}/*.c)
foreach(cc gcc clang x86_64-w64-mingw32-gcc)
  find_program(_cc_${cc} ${cc})
  string(MAKE_C_IDENTIFIER ${cc} _name)
  add_test(NAME device_phone_end_c99_${_name}
    COMMAND ${CMAKE_COMMAND} -DCC=${_cc_${cc}} -DNAME=${cc} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
            "-DSOURCES=${_phone_end_sources}" -DOUT=${CMAKE_CURRENT_BINARY_DIR}/phone_end_${_name}
            -P ${CMAKE_CURRENT_SOURCE_DIR}/phone_end_c99.cmake)
  set_tests_properties(device_phone_end_c99_${_name} PROPERTIES TIMEOUT 60)
endforeach()

# kestrel-cli phone conformance against the simulator and its faults.
kestrel_test(device_phone_conformance_test SOURCES phone_conformance_test.cpp TIMEOUT 120)
add_dependencies(device_phone_conformance_test kestrel-phone-sim kestrel-cli kestrel-oxbind
  kestrel-test-phone)
