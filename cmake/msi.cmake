# The Windows installer (packaging/windows/quillon.wxs) built with Debian's
# wixl (package wixl, msitools): the target quillon_msi writes
# packages/Quillon-<version>-<x86|x64>.msi, its version the one of the DLLs'
# version resources (PROJECT_VERSION for both).
find_program(QUILLON_WIXL wixl)
if(NOT QUILLON_WIXL)
  message(STATUS "wixl (Debian wixl) not found: no Windows installer")
  return()
endif()
if(NOT TARGET quillon-xfs4iot OR NOT TARGET idcctl)
  message(STATUS "quillon-xfs4iot or idcctl not built: no Windows installer")
  return()
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(arch x64)
else()
  set(arch x86)
endif()
set(QUILLON_MSI ${PROJECT_BINARY_DIR}/packages/Quillon-${PROJECT_VERSION}-${arch}.msi)
set(wxs ${PROJECT_SOURCE_DIR}/packaging/windows/quillon.wxs)
# wixl takes the files by paths relative to where it runs (the build folder).
file(RELATIVE_PATH src ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
add_custom_command(
  OUTPUT ${QUILLON_MSI}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packages
  COMMAND ${QUILLON_WIXL} -a ${arch} -D Version=${PROJECT_VERSION} -D Arch=${arch}
          -D Bin=bin -D Lib=lib -D Src=${src} -o ${QUILLON_MSI} ${wxs}
  DEPENDS ${wxs} ${PROJECT_SOURCE_DIR}/packaging/windows/Quillon.ini quillon vantrel idcctl
          quillon-xfs4iot
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  VERBATIM)
add_custom_target(quillon_msi DEPENDS ${QUILLON_MSI})
