# Debian's header-only libraries (Boost.Asio and Beast, nlohmann-json,
# CLI11) for a MinGW-w64 build: reached through a folder of the build that
# holds links to them alone, never through the host's /usr/include, whose
# other headers are the host's. Defines the targets Boost::headers,
# nlohmann_json::nlohmann_json and CLI11::CLI11 in the including directory
# and sets QUILLON_HEADER_ONLY_FOUND.
set(QUILLON_HEADER_ONLY_ROOT /usr/include CACHE PATH
    "Where Debian's boost/, nlohmann/ and CLI/ headers are (Windows builds)")
set(QUILLON_HEADER_ONLY_FOUND ON)
set(dir ${CMAKE_BINARY_DIR}/header-only)
foreach(lib boost nlohmann CLI)
  if(NOT EXISTS ${QUILLON_HEADER_ONLY_ROOT}/${lib})
    set(QUILLON_HEADER_ONLY_FOUND OFF)
    message(STATUS "${QUILLON_HEADER_ONLY_ROOT}/${lib} not found "
                   "(libboost-dev, nlohmann-json3-dev, libcli11-dev)")
  elseif(NOT EXISTS ${dir}/${lib})
    file(MAKE_DIRECTORY ${dir})
    file(CREATE_LINK ${QUILLON_HEADER_ONLY_ROOT}/${lib} ${dir}/${lib} SYMBOLIC)
  endif()
endforeach()
if(QUILLON_HEADER_ONLY_FOUND)
  foreach(target Boost::headers nlohmann_json::nlohmann_json CLI11::CLI11)
    add_library(${target} INTERFACE IMPORTED)
    target_include_directories(${target} SYSTEM INTERFACE ${dir})
  endforeach()
  # Asio for Windows 7 and later; Winsock and its extensions.
  target_compile_definitions(Boost::headers INTERFACE _WIN32_WINNT=0x0601)
  target_link_libraries(Boost::headers INTERFACE ws2_32 mswsock)
endif()
