# kestrel-cli phone conformance: the loaded phone library's table for the regular calls
# (phone.cmake links the loader), the wire codec and the port map for the frames it never sends.
target_sources(kestrel-cli PRIVATE ${CMAKE_CURRENT_LIST_DIR}/phone_conformance.cpp
  ${CMAKE_CURRENT_LIST_DIR}/phone_conformance_calls.cpp
  ${CMAKE_CURRENT_LIST_DIR}/phone_conformance_identities.cpp
  ${CMAKE_CURRENT_LIST_DIR}/phone_conformance_frames.cpp)
target_link_libraries(kestrel-cli PRIVATE kestrel_device_oxbind_loader kestrel_device_oxbind_wire
  kestrel_device_ports)
