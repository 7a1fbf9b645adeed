# Writes quillon.pc for the prefix being installed to (run from the install
# script, where CMAKE_INSTALL_PREFIX is that prefix).
set(QUILLON_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${QUILLON_PC_${dir}}")
    set(QUILLON_PC_${dir}_FULL "${QUILLON_PC_${dir}}")
  else()
    set(QUILLON_PC_${dir}_FULL "\${prefix}/${QUILLON_PC_${dir}}")
  endif()
endforeach()
configure_file("${QUILLON_PC_IN}" "${QUILLON_PC_OUT}" @ONLY)
