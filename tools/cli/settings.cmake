# kestrel-cli settings: the settings load and save of config/.
target_link_libraries(kestrel-cli PRIVATE kestrel_config)
