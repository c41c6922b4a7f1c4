# The installed station and its Debian package (scripts/kestrel package; cpack with
# CPackConfig.cmake of the build folder).
#
# Three packages (components), as Debian keeps a shared library:
#  - kestrel (station): the executables (the phone-library host and its proxy among them), the
#    language module and the help page together in
#    /usr/lib/kestrel (the executable's folder, where the station looks for the module and the
#    page; read-only, so the station folder of an operator is $XDG_DATA_HOME/kestrel/station),
#    links to the executables in /usr/bin, the table script in /usr/share/kestrel, the desktop
#    entry, the icon in the hicolor theme, the man pages and the udev rule;
#  - libkestrel-oxbind1 (library): the phone library in the multiarch library folder;
#  - libkestrel-oxbind-dev (dev): its header, kestrel-oxbind.pc, the development link and
#    ADAPTERS.md, for the makers of phone libraries.

# Installing does not build: the package is made from what the build made.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(_libdir lib/kestrel)
set(_pkg ${PROJECT_SOURCE_DIR}/resources/package)
install(TARGETS kestrel kestrel-cli kestrel-phone-sim kestrel-power-sim kestrel-phone-host
  RUNTIME DESTINATION ${_libdir} COMPONENT station)
# The phone-library proxy beside the station, loaded by its path with [PHONE] Isolate=1.
install(TARGETS kestrel-phone-proxy LIBRARY DESTINATION ${_libdir}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT station)
install(TARGETS ResQuillon LIBRARY DESTINATION ${_libdir}
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT station)
install(FILES ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/kestrel.html DESTINATION ${_libdir}
  COMPONENT station)

# The phone library where Debian keeps shared libraries; the station finds it there (next to
# its own folder: ../${CMAKE_LIBRARY_ARCHITECTURE}) or through the system's loader.
set(_multiarch lib/${CMAKE_LIBRARY_ARCHITECTURE})
install(TARGETS kestrel-oxbind
  LIBRARY DESTINATION ${_multiarch} COMPONENT library NAMELINK_COMPONENT dev
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
configure_file(${_pkg}/kestrel-oxbind.pc.in ${CMAKE_BINARY_DIR}/kestrel-oxbind.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kestrel-oxbind.pc DESTINATION ${_multiarch}/pkgconfig
  COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/device/oxbind/oxbind.h DESTINATION include/kestrel
  COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/device/oxbind/ADAPTERS.md
  DESTINATION share/doc/libkestrel-oxbind-dev COMPONENT dev)

set(_links ${CMAKE_BINARY_DIR}/package-links)
foreach(tool kestrel kestrel-cli kestrel-phone-sim kestrel-power-sim)
  file(MAKE_DIRECTORY ${_links})
  file(CREATE_LINK ../${_libdir}/${tool} ${_links}/${tool} SYMBOLIC)
  install(FILES ${_links}/${tool} DESTINATION bin COMPONENT station)
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/records/imei_db.sql DESTINATION share/kestrel
  COMPONENT station)
install(FILES ${_pkg}/kestrel.desktop DESTINATION share/applications COMPONENT station)
foreach(size 16 24 32 48 64 256)
  install(FILES ${CMAKE_BINARY_DIR}/resources/images/icon-${size}.png
    DESTINATION share/icons/hicolor/${size}x${size}/apps RENAME kestrel.png COMPONENT station)
endforeach()
install(FILES ${CMAKE_BINARY_DIR}/man/kestrel.1.gz ${CMAKE_BINARY_DIR}/man/kestrel-cli.1.gz
  DESTINATION share/man/man1 COMPONENT station)
# Debian 12 keeps udev rules under /lib.
install(FILES ${_pkg}/60-kestrel-serial.rules DESTINATION /lib/udev/rules.d COMPONENT station)

# The changelog carries the version of the built station, read from its version block.
set(KESTREL_MAINTAINER "Kestrel Station Developers <kestrel@example.com>")
string(TIMESTAMP KESTREL_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/cmake/KestrelVersion.cmake.in
  ${CMAKE_BINARY_DIR}/KestrelVersion.cmake @ONLY)
# Each package has its copyright and the changelog, which carries the version of the built
# station, read from its version block.
foreach(_part station:kestrel library:libkestrel-oxbind1 dev:libkestrel-oxbind-dev)
  string(REPLACE ":" ";" _part ${_part})
  list(GET _part 0 _component)
  list(GET _part 1 _package)
  install(FILES ${_pkg}/copyright DESTINATION share/doc/${_package} COMPONENT ${_component})
  install(CODE "
    include(${CMAKE_BINARY_DIR}/KestrelVersion.cmake)
    kestrel_built_version(KESTREL_DEB_VERSION)
    set(KESTREL_MAINTAINER \"${KESTREL_MAINTAINER}\")
    set(KESTREL_CHANGELOG_DATE \"${KESTREL_CHANGELOG_DATE}\")
    set(_doc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/share/doc/${_package}\")
    configure_file(${_pkg}/changelog.in \${_doc}/changelog @ONLY)
    execute_process(COMMAND gzip -9nf \${_doc}/changelog RESULT_VARIABLE _r)
    if(_r)
      message(FATAL_ERROR \"gzip of the changelog failed\")
    endif()
  " COMPONENT ${_component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL station library dev)
set(CPACK_DEBIAN_PACKAGE_SOURCE kestrel)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_STATION_DEPENDS library)
set(CPACK_COMPONENT_DEV_DEPENDS library)
set(CPACK_PACKAGE_VENDOR Kestrel)
set(CPACK_PACKAGE_CONTACT "${KESTREL_MAINTAINER}")
# Each package's synopsis is the first line of its component's description. CPack prepends a
# summary of its own to all of them unless that summary is its default one.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_DEBIAN_STATION_PACKAGE_NAME kestrel)
set(CPACK_COMPONENT_STATION_DESCRIPTION "production-line station writing phone identities
Kestrel writes up to four IMEIs, a Bluetooth and a Wi-Fi address and two
serial numbers into a phone over a serial link, checks them around the write,
counts passes and failures and records every passed phone so that no IMEI is
used twice. The package holds the station, its command-line tool, a phone
simulator and a bench power-supply simulator.")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libkestrel-oxbind1)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION "Kestrel phone library (KV_ calls over a serial link)
The phone library of the Kestrel station: the KV_ calls of oxbind.h, which
write and read a phone's identities over a serial line with Kestrel's framed
and checksummed protocol. The station loads it at start-up unless its
settings name a phone maker's library written to the same interface.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkestrel-oxbind-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "Kestrel phone library - development files
The C interface of the Kestrel phone library (oxbind.h, C99 and C++),
kestrel-oxbind.pc for pkg-config, and ADAPTERS.md: how a phone maker writes
a library that a Kestrel station loads in the place of its own.")
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
# The station loads the phone library rather than linking it: its dependency on it is the
# component dependency above.
set(CPACK_DEBIAN_STATION_PACKAGE_DEPENDS "libqt6sql6-sqlite")
set(CPACK_DEBIAN_STATION_PACKAGE_RECOMMENDS "libqt6sql6-psql, cups")
set(CPACK_DEBIAN_STATION_PACKAGE_SUGGESTS "sqlite3, printer-driver-cups-pdf")
# The shlibs file of the phone library (the language module has no SONAME: none for it).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# Our own maintainer scripts (udev), which also keep CPack from adding ldconfig calls for the
# language module: /usr/lib/kestrel is no library folder.
set(CPACK_DEBIAN_STATION_PACKAGE_CONTROL_EXTRA ${_pkg}/postinst ${_pkg}/postrm)
# The phone library's package activates the ldconfig trigger, as Debian's packages do, rather
# than calling ldconfig from its scripts.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${_pkg}/library/triggers ${_pkg}/library/postinst
  ${_pkg}/library/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/KestrelVersion.cmake)
include(CPack)
