# Installation (GNU folders), the packages that builds find (quillon.pc and
# the CMake package Quillon), and the Debian packages CPack makes.
#
# Components:
#   Runtime      the library and its private trace library, the udev rule
#                and the lock folder (tmpfiles.d)
#   Development  header, link, import library, .def, quillon.pc, CMake package
#   Tools        idcctl, idc-emu, their man pages, the manuals
include(CMakePackageConfigHelpers)

set(QUILLON_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quillon)
# The manuals go with the tools (package quillon-tools on Debian).
set(QUILLON_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/quillon-tools)

if(WIN32)
  # The trace library is looked up beside Quillon.dll.
  set(QUILLON_TRACE_LIB_DIR ${CMAKE_INSTALL_BINDIR})
else()
  # A private folder: the trace library is no library for others to link.
  set(QUILLON_TRACE_LIB_DIR ${CMAKE_INSTALL_LIBDIR}/quillon)
endif()

install(TARGETS quillon EXPORT QuillonTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
                NAMELINK_COMPONENT Development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
install(TARGETS vantrel
        RUNTIME DESTINATION ${QUILLON_TRACE_LIB_DIR} COMPONENT Runtime
        LIBRARY DESTINATION ${QUILLON_TRACE_LIB_DIR} COMPONENT Runtime
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
install(FILES include/quillon/idc.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillon
        COMPONENT Development)
if(WIN32)
  install(FILES src/api/quillon.def vantrel/vantrel.def DESTINATION ${CMAKE_INSTALL_LIBDIR}
          COMPONENT Development)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    install(FILES src/api/quillon_x86.def DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development)
  endif()
endif()

# CMake package: find_package(Quillon 1.0 CONFIG) -> Quillon::quillon.
install(EXPORT QuillonTargets NAMESPACE Quillon:: DESTINATION ${QUILLON_CMAKE_DIR}
        COMPONENT Development)
configure_package_config_file(cmake/QuillonConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/QuillonConfig.cmake
                              INSTALL_DESTINATION ${QUILLON_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuillonConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuillonConfig.cmake
              ${PROJECT_BINARY_DIR}/QuillonConfigVersion.cmake
        DESTINATION ${QUILLON_CMAKE_DIR} COMPONENT Development)

# quillon.pc is written when installing, so it names the prefix installed to
# (cmake --install --prefix, or /usr inside a package), not the configured one.
install(CODE "
  set(QUILLON_PC_IN \"${PROJECT_SOURCE_DIR}/cmake/quillon.pc.in\")
  set(QUILLON_PC_OUT \"${PROJECT_BINARY_DIR}/quillon.pc\")
  set(QUILLON_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(QUILLON_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(QUILLON_PC_VERSION \"${PROJECT_VERSION}\")
  set(QUILLON_PC_DESCRIPTION \"${PROJECT_DESCRIPTION}\")
  include(\"${PROJECT_SOURCE_DIR}/cmake/write-pc.cmake\")"
  COMPONENT Development)
install(FILES ${PROJECT_BINARY_DIR}/quillon.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT Development)

# Tools, their manuals and the deployment files.
# Manual pages go in compressed (gzip -n: the same bytes at every build).
find_program(QUILLON_GZIP gzip)
foreach(tool idcctl idc-emu)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Tools)
    set(page ${PROJECT_SOURCE_DIR}/docs/man/${tool}.1)
    if(QUILLON_GZIP)
      add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/man/${tool}.1.gz
                         COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                         COMMAND ${QUILLON_GZIP} -9nc ${page} > ${PROJECT_BINARY_DIR}/man/${tool}.1.gz
                         DEPENDS ${page})
      add_custom_target(${tool}_man ALL DEPENDS ${PROJECT_BINARY_DIR}/man/${tool}.1.gz)
      set(page ${PROJECT_BINARY_DIR}/man/${tool}.1.gz)
    endif()
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Tools)
  endif()
endforeach()
if(NOT WIN32)
  # With the library: a host that installs only the library reaches a USB
  # reader too. udev reads /usr/lib/udev/rules.d (and /lib/udev/rules.d on
  # older systems).
  install(FILES packaging/60-quillon.rules DESTINATION lib/udev/rules.d COMPONENT Runtime)
  # The lock folder /run/quillon, made at boot by systemd-tmpfiles (the
  # package's postinst makes it at once).
  set(QUILLON_LOCK_GROUP dialout CACHE STRING
      "Group that may make lock files in /run/quillon (the users that drive the reader)")
  configure_file(packaging/quillon.tmpfiles.in ${PROJECT_BINARY_DIR}/quillon.tmpfiles @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/quillon.tmpfiles DESTINATION lib/tmpfiles.d
          RENAME quillon.conf COMPONENT Runtime)
endif()
install(FILES README.md docs/configuration.md docs/result-codes.md docs/operations.md
              docs/deployment.md docs/trace-format.md examples/read_card.c
        DESTINATION ${QUILLON_DOC_DIR} COMPONENT Tools)

include(cmake/deb.cmake)
