# SPDX-License-Identifier: MIT
# QELMAR.dll and qelmar-host.dll: exports by name from a .def list (QELMAR.dll
# also by ordinal), and no runtime DLLs beyond what every Windows has.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # stdcall names carry @N inside; --kill-at exports them plain.
  target_sources(qelmar PRIVATE api/qelmar-x86.def)
  target_sources(qelmar_host PRIVATE api/qelmar-host-x86.def)
  target_link_options(qelmar PRIVATE -Wl,--kill-at)
  target_link_options(qelmar_host PRIVATE -Wl,--kill-at)
else()
  target_sources(qelmar PRIVATE api/qelmar.def)
  target_sources(qelmar_host PRIVATE api/qelmar-host.def)
endif()
foreach(dll qelmar qelmar_host)
  target_link_options(${dll} PRIVATE -static-libgcc -static-libstdc++ -Wl,--gc-sections)
  # What the linked-in runtime takes at load, given back at unload.
  target_sources(${dll} PRIVATE api/release_runtime.cpp)
endforeach()
# Only what the exports reach is linked in, built for size: the line at
# 2400 baud, not the code, sets the pace. (mingw puts zero data that
# -fdata-sections separates into .data, so only functions are separated.)
foreach(part qelmar qelmar_host qelmar_core qelmar_encoder)
  target_compile_options(${part} PRIVATE -Os -ffunction-sections)
endforeach()
# The sound code in the core needs winmm, the port listing the registry, SetupAPI
# and the device class GUIDs (uuid, linked in), in whichever library links the
# core (only what it uses is imported).
target_link_libraries(qelmar_core PRIVATE winmm advapi32 setupapi uuid)
set_target_properties(qelmar PROPERTIES OUTPUT_NAME QELMAR PREFIX "" IMPORT_PREFIX "lib")
set_target_properties(qelmar_host PROPERTIES PREFIX "" IMPORT_PREFIX "lib")

# What ships: release/NAME.dll stripped, its debug information in
# release/NAME.dll.debug, which debuggers find through the DLL's debug link.
# The tests use the unstripped build, whose symbols they read.
foreach(dll qelmar:QELMAR.dll qelmar_host:qelmar-host.dll)
  string(REPLACE ":" ";" dll ${dll})
  list(GET dll 0 target)
  list(GET dll 1 name)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory release
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> release/${name}.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=release/${name}.debug
            $<TARGET_FILE:${target}> release/${name}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    BYPRODUCTS ${CMAKE_BINARY_DIR}/release/${name} ${CMAKE_BINARY_DIR}/release/${name}.debug
    VERBATIM)
endforeach()

# The programs the Wine tests run beside the DLLs (tests/windows).
add_subdirectory(tests/windows)

# The zips (cmake/install.cmake): the host library beside QELMAR.dll, as
# qelmar::host in the CMake package, its header under include/qelmar, its export
# list beside qelmar.def.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(arch x86)
else()
  set(arch x64)
endif()
install(TARGETS qelmar_host EXPORT qelmarTargets
  RUNTIME DESTINATION ${arch} COMPONENT unstripped EXCLUDE_FROM_ALL
  ARCHIVE DESTINATION ${arch})
install(FILES ${CMAKE_BINARY_DIR}/release/qelmar-host.dll DESTINATION ${arch})
install(FILES ${CMAKE_BINARY_DIR}/release/qelmar-host.dll.debug DESTINATION ${arch}
        COMPONENT debug EXCLUDE_FROM_ALL)
install(FILES include/qelmar/host.h include/qelmar/outcomes.h ${QELMAR_GENERATED_INCLUDE}/qelmar/version.h
        DESTINATION include/qelmar)
install(FILES api/qelmar-host.def DESTINATION .)
# Each zip takes both architectures' builds: this one and the other beside it,
# as the windows-x86/x64 presets and the Linux build's own Windows steps lay them.
get_filename_component(QELMAR_WINDOWS_BUILDS ${CMAKE_BINARY_DIR} DIRECTORY)
