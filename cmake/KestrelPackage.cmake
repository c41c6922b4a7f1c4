# The installed station and its Debian package (scripts/kestrel package; cpack with
# CPackConfig.cmake of the build folder).
#
# Layout: the executables, the language module and the help page together in
# /usr/lib/kestrel (the executable's folder, where the station looks for the module and the
# page; read-only, so the station folder of an operator is $XDG_DATA_HOME/kestrel/station),
# links to the executables in /usr/bin, the table script in /usr/share/kestrel, the desktop
# entry, the icon in the hicolor theme, the man pages and the udev rule.

# Installing does not build: the package is made from what the build made.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(_libdir lib/kestrel)
set(_pkg ${PROJECT_SOURCE_DIR}/resources/package)
install(TARGETS kestrel kestrel-cli kestrel-phone-sim kestrel-power-sim
  RUNTIME DESTINATION ${_libdir})
install(TARGETS ResQuillon LIBRARY DESTINATION ${_libdir}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
install(FILES ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/kestrel.html DESTINATION ${_libdir})

set(_links ${CMAKE_BINARY_DIR}/package-links)
foreach(tool kestrel kestrel-cli kestrel-phone-sim kestrel-power-sim)
  file(MAKE_DIRECTORY ${_links})
  file(CREATE_LINK ../${_libdir}/${tool} ${_links}/${tool} SYMBOLIC)
  install(FILES ${_links}/${tool} DESTINATION bin)
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/records/imei_db.sql DESTINATION share/kestrel)
install(FILES ${_pkg}/kestrel.desktop DESTINATION share/applications)
foreach(size 16 24 32 48 64 256)
  install(FILES ${CMAKE_BINARY_DIR}/resources/images/icon-${size}.png
    DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME kestrel.png)
endforeach()
install(FILES ${CMAKE_BINARY_DIR}/man/kestrel.1.gz ${CMAKE_BINARY_DIR}/man/kestrel-cli.1.gz
  DESTINATION share/man/man1)
# Debian 12 keeps udev rules under /lib.
install(FILES ${_pkg}/60-kestrel-serial.rules DESTINATION /lib/udev/rules.d)
install(FILES ${_pkg}/copyright DESTINATION share/doc/kestrel)

# The changelog carries the version of the built station, read from its version block.
set(KESTREL_MAINTAINER "Kestrel Station Developers <kestrel@example.com>")
string(TIMESTAMP KESTREL_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/cmake/KestrelVersion.cmake.in
  ${CMAKE_BINARY_DIR}/KestrelVersion.cmake @ONLY)
install(CODE "
  include(${CMAKE_BINARY_DIR}/KestrelVersion.cmake)
  kestrel_built_version(KESTREL_DEB_VERSION)
  set(KESTREL_MAINTAINER \"${KESTREL_MAINTAINER}\")
  set(KESTREL_CHANGELOG_DATE \"${KESTREL_CHANGELOG_DATE}\")
  set(_doc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/share/doc/kestrel\")
  configure_file(${_pkg}/changelog.in \${_doc}/changelog @ONLY)
  execute_process(COMMAND gzip -9nf \${_doc}/changelog RESULT_VARIABLE _r)
  if(_r)
    message(FATAL_ERROR \"gzip of the changelog failed\")
  endif()
")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VENDOR Kestrel)
set(CPACK_PACKAGE_CONTACT "${KESTREL_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "production-line station writing phone identities")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Kestrel writes up to four IMEIs, a Bluetooth and a Wi-Fi address and two
serial numbers into a phone over a serial link, checks them around the write,
counts passes and failures and records every passed phone so that no IMEI is
used twice. The package holds the station, its command-line tool, a phone
simulator and a bench power-supply simulator.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)  # the udev rule goes to /lib, outside the prefix
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# What the executables link is found by dpkg-shlibdeps (libzint, Qt Multimedia and Print
# Support among them); the database drivers Qt loads as plugins it cannot see: SQLite for
# IMEI.mdb, PostgreSQL for a line database. Labels go to a CUPS queue; a PDF queue (cups-pdf)
# serves for trying them out.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6sql6-psql, cups")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "sqlite3, printer-driver-cups-pdf")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
# Our own maintainer scripts (udev), which also keep CPack from adding ldconfig calls for the
# language module: /usr/lib/kestrel is no library folder.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_pkg}/postinst ${_pkg}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/KestrelVersion.cmake)
include(CPack)
