# kestrel-cli records: the result stores of records/ and the settings load of config/.
target_link_libraries(kestrel-cli PRIVATE kestrel_records kestrel_config)
