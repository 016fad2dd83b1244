# QELMAR.dll: exports by name and ordinal from a .def list, and no runtime DLLs
# beyond what every Windows has.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # stdcall names carry @N inside; --kill-at exports them plain.
  target_sources(qelmar PRIVATE api/qelmar-x86.def)
  target_link_options(qelmar PRIVATE -Wl,--kill-at)
else()
  target_sources(qelmar PRIVATE api/qelmar.def)
endif()
target_link_options(qelmar PRIVATE -static-libgcc -static-libstdc++ -Wl,--gc-sections)
# What the linked-in runtime takes at load, given back at unload.
target_sources(qelmar PRIVATE api/release_runtime.cpp)
# Only what the three exports reach is linked in, built for size: the line at
# 2400 baud, not the code, sets the pace. (mingw puts zero data that
# -fdata-sections separates into .data, so only functions are separated.)
foreach(part qelmar qelmar_core qelmar_encoder)
  target_compile_options(${part} PRIVATE -Os -ffunction-sections)
endforeach()
# The sound code in the core needs it, in whichever library links the core.
target_link_libraries(qelmar_core PRIVATE winmm)
set_target_properties(qelmar PROPERTIES OUTPUT_NAME QELMAR PREFIX "" IMPORT_PREFIX "lib")

# What ships: release/QELMAR.dll stripped, its debug information in
# release/QELMAR.dll.debug, which debuggers find through the DLL's debug link.
# The tests use the unstripped build, whose symbols they read.
add_custom_command(TARGET qelmar POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E make_directory release
  COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:qelmar> release/QELMAR.dll.debug
  COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=release/QELMAR.dll.debug
          $<TARGET_FILE:qelmar> release/QELMAR.dll
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  BYPRODUCTS ${CMAKE_BINARY_DIR}/release/QELMAR.dll ${CMAKE_BINARY_DIR}/release/QELMAR.dll.debug
  VERBATIM)

add_executable(wine_host tests/windows/wine_host.cpp)
target_include_directories(wine_host PRIVATE include)
target_link_options(wine_host PRIVATE -static)
target_link_libraries(wine_host PRIVATE qelmar_warnings)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The wrong convention, which the DLL code check must reject.
  add_library(cdecl_exports SHARED tests/windows/cdecl_exports.c tests/windows/cdecl_exports.def)
  set_target_properties(cdecl_exports PROPERTIES PREFIX "")
endif()
