# Shared part of the MinGW-w64 cross toolchains. The including file sets
# QUILLON_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

# GCC's "posix" thread model carries std::thread, std::mutex and
# std::shared_mutex; Debian ships it beside the default "win32" one.
find_program(QUILLON_MINGW_CC NAMES ${QUILLON_MINGW_TRIPLE}-gcc-posix ${QUILLON_MINGW_TRIPLE}-gcc
             REQUIRED)
find_program(QUILLON_MINGW_CXX NAMES ${QUILLON_MINGW_TRIPLE}-g++-posix ${QUILLON_MINGW_TRIPLE}-g++
             REQUIRED)
find_program(QUILLON_MINGW_RC NAMES ${QUILLON_MINGW_TRIPLE}-windres)
set(CMAKE_C_COMPILER ${QUILLON_MINGW_CC})
set(CMAKE_CXX_COMPILER ${QUILLON_MINGW_CXX})
if(QUILLON_MINGW_RC)
  set(CMAKE_RC_COMPILER ${QUILLON_MINGW_RC})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${QUILLON_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go inside every DLL and program, so they
# need nothing beside them but system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
