# SPDX-License-Identifier: MIT
# The bridge for 64-bit Windows: qelmar-serve.exe, a console program over
# qelmar-host.dll, built beside it and shipped in the zip's x64/.
#
# Boost.Asio needs std::mutex, which only mingw-w64's posix-threads compiler
# has. The DLLs stay on the default win32-threads one: built with the posix one
# they would import libwinpthread-1.dll. So the bridge's targets compile and
# link through mingw-posix-threads.sh, which swaps the compiler, and link
# statically, so that the program needs no mingw DLL either.
find_program(QELMAR_MINGW_POSIX_CXX ${QELMAR_MINGW_TRIPLE}-g++-posix)
if(NOT QELMAR_MINGW_POSIX_CXX)
  message(FATAL_ERROR "The Windows bridge needs ${QELMAR_MINGW_TRIPLE}-g++-posix "
                      "(package g++-mingw-w64-x86-64-posix)")
endif()

# Debian's header-only libraries, seen through a folder that holds only links to
# them, so that glibc's headers in /usr/include never come before mingw's.
set(header_only ${CMAKE_BINARY_DIR}/header-only)
file(MAKE_DIRECTORY ${header_only})
foreach(dir boost CLI nlohmann)
  if(NOT EXISTS /usr/include/${dir})
    message(FATAL_ERROR "The Windows bridge needs the headers in /usr/include/${dir}")
  endif()
  file(CREATE_LINK /usr/include/${dir} ${header_only}/${dir} SYMBOLIC)
endforeach()
add_library(qelmar_header_only INTERFACE)
target_include_directories(qelmar_header_only SYSTEM INTERFACE ${header_only})
# Windows 7's API, which Asio otherwise guesses at with a warning; windows.h
# without the old winsock.h, which Asio's winsock2.h cannot follow.
target_compile_definitions(qelmar_header_only INTERFACE _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN)
foreach(name Boost::headers CLI11::CLI11 nlohmann_json::nlohmann_json)
  add_library(${name} ALIAS qelmar_header_only)
endforeach()

add_subdirectory(bridge)

set(link_launch sh ${CMAKE_SOURCE_DIR}/cmake/mingw-posix-threads.sh ${QELMAR_MINGW_POSIX_CXX}
                ${CMAKE_CXX_COMPILER})
# Compiled through the compiler cache too, when the other targets are.
set(launch ${link_launch} ${CMAKE_CXX_COMPILER_LAUNCHER})
get_property(bridge_targets DIRECTORY bridge PROPERTY BUILDSYSTEM_TARGETS)
foreach(target ${bridge_targets})
  get_target_property(type ${target} TYPE)
  if(NOT type STREQUAL "INTERFACE_LIBRARY")
    set_target_properties(${target} PROPERTIES CXX_COMPILER_LAUNCHER "${launch}"
                                               CXX_LINKER_LAUNCHER "${link_launch}")
  endif()
endforeach()
target_link_options(qelmar_serve PRIVATE -static)

# Shipped stripped, as the DLLs are, with its debug information beside it.
set(release ${CMAKE_BINARY_DIR}/release)
add_custom_command(OUTPUT ${release}/qelmar-serve.exe ${release}/qelmar-serve.exe.debug
  COMMAND ${CMAKE_COMMAND} -E make_directory ${release}
  COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:qelmar_serve> qelmar-serve.exe.debug
  COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=qelmar-serve.exe.debug
          $<TARGET_FILE:qelmar_serve> qelmar-serve.exe
  DEPENDS qelmar_serve $<TARGET_FILE:qelmar_serve>
  WORKING_DIRECTORY ${release}
  VERBATIM)
add_custom_target(qelmar_serve_release ALL
                  DEPENDS ${release}/qelmar-serve.exe ${release}/qelmar-serve.exe.debug)
install(PROGRAMS ${CMAKE_BINARY_DIR}/release/qelmar-serve.exe DESTINATION x64)
install(FILES ${CMAKE_BINARY_DIR}/release/qelmar-serve.exe.debug DESTINATION x64
        COMPONENT debug EXCLUDE_FROM_ALL)
