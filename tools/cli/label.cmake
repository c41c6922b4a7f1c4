# kestrel-cli label: the label module (drawing and printing) over the settings and job records.
target_sources(kestrel-cli PRIVATE ${CMAKE_CURRENT_LIST_DIR}/label_command.cpp)
target_link_libraries(kestrel-cli PRIVATE kestrel_label kestrel_records kestrel_config
  kestrel_identity Qt6::Gui)
