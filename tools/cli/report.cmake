# kestrel-cli report: the shift report of records/ over the job records.
target_sources(kestrel-cli PRIVATE ${CMAKE_CURRENT_LIST_DIR}/report_command.cpp)
target_link_libraries(kestrel-cli PRIVATE kestrel_records)
