# Sanitizer and fuzzing flags for every target of the project.
#
# QUILLON_SANITIZE: a -fsanitize= list ("address,undefined", "thread"). Any
# finding stops the program (no recovery), so a test that trips one fails.
# QUILLON_BUILD_FUZZERS: clang's coverage instrumentation for libFuzzer on all
# code; the fuzz programs link the fuzzer runtime themselves (fuzz/).
#
# QUILLON_NO_UNDEFINED: the link option that makes a shared library name all
# its dependencies. Clang keeps the sanitizer runtimes in the executable, so
# a sanitized shared library built with clang leaves their symbols open.

set(QUILLON_NO_UNDEFINED -Wl,--no-undefined)

if(QUILLON_SANITIZE)
  if(MSVC)
    message(FATAL_ERROR "QUILLON_SANITIZE needs gcc or clang")
  endif()
  add_compile_options(-fsanitize=${QUILLON_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${QUILLON_SANITIZE})
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    set(QUILLON_NO_UNDEFINED "")
  endif()
endif()

if(QUILLON_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QUILLON_BUILD_FUZZERS needs clang (libFuzzer): use the fuzz preset")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
