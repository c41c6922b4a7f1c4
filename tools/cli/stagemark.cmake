target_sources(kestrel-cli PRIVATE ${CMAKE_CURRENT_LIST_DIR}/stagemark_command.cpp)
target_link_libraries(kestrel-cli PRIVATE kestrel_device_stagemark kestrel_resources)
