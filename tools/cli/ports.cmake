# kestrel-cli ports: the port map's links and the system's stable device names.
target_sources(kestrel-cli PRIVATE ${CMAKE_CURRENT_LIST_DIR}/ports_command.cpp)
target_link_libraries(kestrel-cli PRIVATE kestrel_device_ports)
