# kestrel-cli settings: the settings load and save of config/, with the power-source factory
# and the address-file check and IMEI base of identity/, as the station uses them.
target_link_libraries(kestrel-cli PRIVATE kestrel_config kestrel_identity kestrel_device_ampvane)
