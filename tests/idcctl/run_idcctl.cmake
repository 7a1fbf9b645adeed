# Runs idcctl (through EMULATOR for cross builds) with ARGS and checks its
# exit code, and optionally that standard output contains EXPECT_STDOUT.
execute_process(COMMAND ${EMULATOR} ${IDCCTL} ${ARGS}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc STREQUAL "${EXPECT_EXIT}")
  message(FATAL_ERROR "idcctl ${ARGS}: exit ${rc}, expected ${EXPECT_EXIT}\nstdout: ${out}\nstderr: ${err}")
endif()
if(DEFINED EXPECT_STDOUT)
  string(FIND "${out}" "${EXPECT_STDOUT}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "idcctl ${ARGS}: stdout lacks '${EXPECT_STDOUT}'\nstdout: ${out}")
  endif()
endif()
