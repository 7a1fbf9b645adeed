# Compares the dynamic symbols a library defines with a list, one per line.
# With VERSION_NODE, every listed symbol must carry that default version
# (name@@NODE) and the node itself is the only other definition.
execute_process(COMMAND nm -D --defined-only --with-symbol-versions ${LIB}
                OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(names)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" name "${line}")
  list(APPEND names "${name}")
endforeach()
list(SORT names)
file(STRINGS ${EXPECTED} expected)
if(VERSION_NODE)
  list(TRANSFORM expected APPEND "@@${VERSION_NODE}")
  list(APPEND expected "${VERSION_NODE}")
endif()
list(SORT expected)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exported: ${names}\nexpected: ${expected}")
endif()
