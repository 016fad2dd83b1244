# What `cmake --install` puts where: the library, its header, the tool, a CMake
# package (qelmar::qelmar), a pkg-config file, and the packages built from them.
include(CMakePackageConfigHelpers)

if(WIN32)
  # The Windows zip: x86/ and x64/ side by side, the header and .def once.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(arch x86)
  else()
    set(arch x64)
  endif()
  install(TARGETS qelmar EXPORT qelmarTargets
    RUNTIME DESTINATION ${arch} ARCHIVE DESTINATION ${arch} PUBLIC_HEADER DESTINATION include)
  install(FILES api/qelmar.def DESTINATION .)
  install(FILES packaging/README-windows.txt DESTINATION . RENAME README.txt)
  install(EXPORT qelmarTargets NAMESPACE qelmar:: DESTINATION ${arch}/cmake/qelmar)
  configure_file(packaging/windows-zip.cmake.in ${CMAKE_BINARY_DIR}/windows-zip.cmake @ONLY)
  return()
endif()

install(TARGETS qelmar EXPORT qelmarTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT qelmarTargets NAMESPACE qelmar:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qelmar)
configure_package_config_file(cmake/qelmarConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/qelmarConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qelmar)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qelmarConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qelmarConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/qelmarConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/qelmar)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Relative to the .pc file, so that the installed tree can move.
file(RELATIVE_PATH QELMAR_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" QELMAR_PC_TO_PREFIX "${QELMAR_PC_TO_PREFIX}")
configure_file(cmake/qelmar.pc.in ${CMAKE_CURRENT_BINARY_DIR}/qelmar.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qelmar.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(TARGETS qelmar_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES packaging/70-qelmar.rules packaging/serve.conf
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The bridge, its client for pages, and its units (shipped disabled).
install(TARGETS qelmar_serve RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/qelmar)
install(FILES tools/client.js DESTINATION ${CMAKE_INSTALL_DATADIR}/qelmar)
install(FILES packaging/qelmar-serve.service packaging/qelmar-serve.socket
        DESTINATION lib/systemd/system)
# The Python module, where Debian's python3 looks.
install(DIRECTORY python/qelmar DESTINATION lib/python3/dist-packages
        PATTERN __pycache__ EXCLUDE)

set(CPACK_PACKAGE_NAME qelmar)
set(CPACK_PACKAGE_VENDOR "qelmar")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Drives a customer price display on a serial port")
set(CPACK_PACKAGE_CONTACT "qelmar maintainers <qelmar@localhost>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3")
set(CPACK_GENERATOR DEB)
include(CPack)
