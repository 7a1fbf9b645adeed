# 32-bit Windows, the product: Quillon.dll and Vantrel.dll with __stdcall
# exports.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QUILLON_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
