# SPDX-License-Identifier: MIT
# qelmar.exe: the tool for 64-bit Windows, over qelmar-host.dll as any host, from
# the tool's sources but for what only POSIX systems have (the virtual display,
# udev rules, Wine prefixes: tools/platform_posix.cpp and what it calls).
# CLI11 and nlohmann_json come through the bridge's header-only folder
# (cmake/windows-bridge.cmake); neither needs threads, so the tool stays on the
# DLLs' compiler and imports no mingw DLL.
add_executable(qelmar_cli tools/main.cpp tools/platform_win32.cpp tools/port_list.cpp)
set_target_properties(qelmar_cli PROPERTIES OUTPUT_NAME qelmar)
qelmar_unity(qelmar_cli)
target_include_directories(qelmar_cli PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(qelmar_cli PRIVATE QELMAR_VERSION="${PROJECT_VERSION}")
# shell32 for CommandLineToArgvW.
target_link_libraries(qelmar_cli PRIVATE qelmar_host qelmar_header_only qelmar_warnings shell32)
target_link_options(qelmar_cli PRIVATE -static)

# Shipped stripped, as the DLLs are, with its debug information beside it.
add_custom_command(OUTPUT ${release}/qelmar.exe ${release}/qelmar.exe.debug
  COMMAND ${CMAKE_COMMAND} -E make_directory ${release}
  COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:qelmar_cli> qelmar.exe.debug
  COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=qelmar.exe.debug
          $<TARGET_FILE:qelmar_cli> qelmar.exe
  DEPENDS qelmar_cli $<TARGET_FILE:qelmar_cli>
  WORKING_DIRECTORY ${release}
  VERBATIM)
add_custom_target(qelmar_cli_release ALL DEPENDS ${release}/qelmar.exe ${release}/qelmar.exe.debug)
# Beside the bridge in the zip's x64/ and in the installer's bin\, where it
# finds the 64-bit host DLL.
install(PROGRAMS ${release}/qelmar.exe DESTINATION x64)
install(FILES ${release}/qelmar.exe.debug DESTINATION x64 COMPONENT debug EXCLUDE_FROM_ALL)
