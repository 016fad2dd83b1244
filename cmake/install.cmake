# SPDX-License-Identifier: MIT
# What `cmake --install` puts where: the libraries, their headers, the tool, a
# CMake package (qelmar::qelmar, qelmar::host), pkg-config files. debian/ splits
# the same tree into the Debian packages.
include(CMakePackageConfigHelpers)
set_target_properties(qelmar_host PROPERTIES EXPORT_NAME host)

if(WIN32)
  # The Windows zip: x86/ and x64/ side by side, the header and .def once.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(arch x86)
  else()
    set(arch x64)
  endif()
  # The zip takes the stripped DLL; its debug file goes in the debug zip.
  install(TARGETS qelmar EXPORT qelmarTargets
    RUNTIME DESTINATION ${arch} COMPONENT unstripped EXCLUDE_FROM_ALL
    ARCHIVE DESTINATION ${arch} PUBLIC_HEADER DESTINATION include)
  install(FILES ${CMAKE_BINARY_DIR}/release/QELMAR.dll DESTINATION ${arch})
  install(FILES ${CMAKE_BINARY_DIR}/release/QELMAR.dll.debug DESTINATION ${arch}
          COMPONENT debug EXCLUDE_FROM_ALL)
  install(FILES api/qelmar.def DESTINATION .)
  install(FILES packaging/README-windows.txt DESTINATION . RENAME README.txt)
  install(EXPORT qelmarTargets NAMESPACE qelmar:: DESTINATION ${arch}/cmake/qelmar)
  set(QELMAR_ZIP_COMPONENT Unspecified)
  set(QELMAR_ZIP_SUFFIX "")
  configure_file(packaging/windows-zip.cmake.in ${CMAKE_BINARY_DIR}/windows-zip.cmake @ONLY)
  set(QELMAR_ZIP_COMPONENT debug)
  set(QELMAR_ZIP_SUFFIX "-debug")
  configure_file(packaging/windows-zip.cmake.in ${CMAKE_BINARY_DIR}/windows-debug-zip.cmake @ONLY)
  return()
endif()

# Each install rule names its part: the runtime, the development files, the
# tools, the Python module.
set(doc ${CMAKE_INSTALL_DATADIR}/doc)
install(TARGETS qelmar qelmar_host EXPORT qelmarTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES include/qelmar/host.h include/qelmar/outcomes.h ${QELMAR_GENERATED_INCLUDE}/qelmar/version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qelmar COMPONENT dev)
install(EXPORT qelmarTargets NAMESPACE qelmar:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qelmar
        COMPONENT dev)
# The host API's reference, when the qelmar_reference target has built it.
install(DIRECTORY ${QELMAR_REFERENCE_DIR}/html DESTINATION ${doc}/libqelmar-dev COMPONENT dev
        OPTIONAL)
configure_package_config_file(cmake/qelmarConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/qelmarConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qelmar)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qelmarConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qelmarConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/qelmarConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qelmar COMPONENT dev)

# Relative to the .pc file, so that the installed tree can move.
file(RELATIVE_PATH QELMAR_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" QELMAR_PC_TO_PREFIX "${QELMAR_PC_TO_PREFIX}")
foreach(pc qelmar qelmar-host)
  configure_file(cmake/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT dev)
endforeach()

install(TARGETS qelmar_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
install(FILES packaging/70-qelmar.rules packaging/serve.conf
        DESTINATION ${doc}/qelmar-tools/examples COMPONENT tools)
install(FILES README.md DESTINATION ${doc}/qelmar-tools COMPONENT tools)
# The bridge, its client for pages, and its units (shipped disabled).
if(QELMAR_BUILD_BRIDGE)
  install(TARGETS qelmar_serve RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/qelmar
          COMPONENT tools)
  install(FILES bridge/client.js DESTINATION ${CMAKE_INSTALL_DATADIR}/qelmar COMPONENT tools)
  install(FILES packaging/qelmar-serve.service packaging/qelmar-serve.socket
          DESTINATION lib/systemd/system COMPONENT tools)
endif()
# The Python module, where Debian's python3 looks.
install(DIRECTORY python/qelmar DESTINATION lib/python3/dist-packages COMPONENT python
        PATTERN __pycache__ EXCLUDE)

