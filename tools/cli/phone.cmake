target_link_libraries(kestrel-cli PRIVATE kestrel_device_oxbind_loader kestrel_device_ports
  kestrel_device_stagemark)
# The phone library is loaded, not linked: built with the tool, it lands beside it.
add_dependencies(kestrel-cli kestrel-oxbind)
