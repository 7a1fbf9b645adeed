# Runs "idcctl demo --family FAMILY" and checks that it ends with exit 0 and
# shows the card's track data, the decoded answer to reset and the trace.
execute_process(COMMAND ${IDCCTL} demo --family ${FAMILY}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc STREQUAL "0")
  message(FATAL_ERROR "idcctl demo --family ${FAMILY}: exit ${rc}\nstdout: ${out}\nstderr: ${err}")
endif()
foreach(expected
    "track 2: 36 bytes  ;4000001234567899=30121010000000000?"
    "ATR 3B 69 00 00 51 55 49 4C 4C 4F 4E 30 31"
    "historical bytes (9)"
    "SW 9000"
    "->Enter ReadTrack"
    "->Leave ReadTrack(CARDREADER 1203)")
  string(FIND "${out}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "idcctl demo --family ${FAMILY}: output lacks '${expected}'\n${out}")
  endif()
endforeach()
