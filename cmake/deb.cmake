# Debian packages (cpack -G DEB), one per component:
#   libquillon1     Runtime (with the udev rule and the lock folder)
#   libquillon-dev  Development
#   quillon-tools   Tools
# Build them from a tree configured with the prefix /usr (preset "deb"), so
# the library lands in the multiarch folder.
if(WIN32)
  return()
endif()

set(QUILLON_DEB_MAINTAINER "Quillon developers <quillon@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")
set(QUILLON_SOVERSION ${PROJECT_VERSION_MAJOR})

# Every package carries its copyright file and a compressed changelog.
set(deb_docs ${PROJECT_BINARY_DIR}/debian-docs)
add_custom_command(OUTPUT ${deb_docs}/changelog.Debian.gz
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${deb_docs}
                   COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian
                           > ${deb_docs}/changelog.Debian.gz
                   DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian)
add_custom_target(quillon_deb_docs ALL DEPENDS ${deb_docs}/changelog.Debian.gz)
set(deb_pairs "Runtime=libquillon${QUILLON_SOVERSION}" "Development=libquillon-dev"
              "Tools=quillon-tools")
if(QUILLON_HAVE_PCSC)
  list(APPEND deb_pairs "Pcsc=quillon-pcsc")
endif()
if(QUILLON_HAVE_XFS4IOT)
  list(APPEND deb_pairs "Service=quillon-service")
endif()
foreach(pair IN LISTS deb_pairs)
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 component)
  list(GET pair 1 package)
  # Only in the packages: a plain cmake --install leaves them out.
  install(FILES packaging/copyright ${deb_docs}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component}
          EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VENDOR "Quillon project")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${QUILLON_DEB_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL Runtime Development Tools)
if(QUILLON_HAVE_PCSC)
  list(APPEND CPACK_COMPONENTS_ALL Pcsc)
endif()
if(QUILLON_HAVE_XFS4IOT)
  list(APPEND CPACK_COMPONENTS_ALL Service)
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 3)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUILLON_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
# Each component description's first line is its package's synopsis.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libquillon${QUILLON_SOVERSION})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The loader's cache is refreshed through libc's trigger; postinst makes the
# lock folder.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/runtime/triggers
                                              ${PROJECT_SOURCE_DIR}/packaging/runtime/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The udev rule came with quillon-tools up to 1.0.1-1.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_REPLACES "quillon-tools (<< 1.0.1-2)")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_BREAKS "quillon-tools (<< 1.0.1-2)")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "driver library for motorised ID-card readers
Quillon drives the motorised ID-card readers of self-service kiosks and
bank terminals through 18 IDC_ functions: card entry, the three magnetic
tracks, the IC chip, eject and retain, counters and status. Reader
families A, B and C over a serial line, A and B over USB HID.

This package holds the shared library and its trace library, the udev
rule that gives the group plugdev the USB readers' hidraw nodes, and the
lock folder /run/quillon for the group dialout.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libquillon-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_ARCHITECTURE_DEPENDENT ON)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS Runtime)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "driver library for motorised ID-card readers (development files)
Quillon drives the motorised ID-card readers of self-service kiosks and
bank terminals through 18 IDC_ functions.

This package holds the header quillon/idc.h, the link to the library, the
pkg-config file quillon.pc and the CMake package Quillon.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME quillon-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# idcctl loads libquillon.so.1 at run time, which dpkg-shlibdeps cannot see.
set(CPACK_COMPONENT_TOOLS_DEPENDS Runtime)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "check and emulate motorised ID-card readers (Quillon)
idcctl drives a card reader through the Quillon library from the command
line: status, initialisation, card entry, tracks, chip commands, eject,
and a guided demonstration. idc-emu emulates the serial readers of
families A, B and C on a pseudo-terminal.

The package also holds the manuals of the library.")

set(CPACK_DEBIAN_PCSC_PACKAGE_NAME quillon-pcsc)
set(CPACK_DEBIAN_PCSC_PACKAGE_SECTION misc)
# dpkg-shlibdeps cannot see libquillon.so.1 in the runtime package's staging
# folder: the driver's dependencies are named here (those of the tools, which
# link the same C++ runtime), libquillon1 comes with the component dependency.
set(CPACK_DEBIAN_PCSC_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PCSC_PACKAGE_DEPENDS
    "pcscd, libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 11)")
set(CPACK_COMPONENT_PCSC_DEPENDS Runtime)
# The reader.conf.d file is the administrator's once edited.
set(CPACK_DEBIAN_PCSC_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/pcsc/conffiles)
set(CPACK_COMPONENT_PCSC_DESCRIPTION
    "PC/SC driver for motorised ID-card readers (Quillon)
A pcsc-lite driver (IFD handler) over the Quillon library: every PC/SC
application (OpenSC, pcsc_scan, pyscard, javax.smartcardio, EMV kernels)
reaches the chip of the card in a Quillon reader, and vendor control codes
move the card (accept, eject, retain), read its tracks and the status.

The package holds the driver and a commented /etc/reader.conf.d/quillon;
libquillon-dev holds quillon/pcsc_control.h with the control codes.")

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME quillon-service)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION net)
# As for the PC/SC driver: libquillon1 comes with the component dependency,
# the rest is named here (dpkg-shlibdeps cannot see libquillon.so.1).
set(CPACK_DEBIAN_SERVICE_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libssl3 (>= 3.0.0), libstdc++6 (>= 11)")
set(CPACK_COMPONENT_SERVICE_DEPENDS Runtime)
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/service/conffiles)
set(CPACK_COMPONENT_SERVICE_DESCRIPTION
    "XFS4IoT card-reader service for Quillon readers
quillon-xfs4iot serves a motorised ID-card reader driven by the Quillon
library to XFS4IoT applications over WebSocket (wss with TLS): card entry,
the magnetic tracks, the chip, eject and retain, the retain bin's count,
status and events, for applications in any language.

The package holds the program, its manual, a systemd unit
(quillon-xfs4iot.service, not enabled) running it as an unprivileged user in
the dialout group, and /etc/quillon/xfs4iot.ini.")

include(CPack)
