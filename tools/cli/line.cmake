# kestrel-cli line: the line database of records/ and the settings load of config/; its page
# server (kestrel_line_page) for `line serve`.
target_sources(kestrel-cli PRIVATE ${CMAKE_CURRENT_LIST_DIR}/line_command.cpp
  ${CMAKE_CURRENT_LIST_DIR}/line_outbox_command.cpp ${CMAKE_CURRENT_LIST_DIR}/line_report_command.cpp
  ${CMAKE_CURRENT_LIST_DIR}/line_serve_command.cpp)
target_link_libraries(kestrel-cli PRIVATE kestrel_records kestrel_config kestrel_identity
  kestrel_line_page)
