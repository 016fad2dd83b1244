# The Debian packages, in the usual split:
#   libqelmar0     the shared libraries (and their dbgsym package)
#   libqelmar-dev  headers, .so links, pkg-config and CMake files
#   qelmar-tools   the qelmar command, the bridge and its units (and dbgsym)
#   python3-qelmar the Python module
# Every package carries its own copyright file and changelog.
set(packages runtime libqelmar0 dev libqelmar-dev tools qelmar-tools python python3-qelmar)
# A native package's changelog, compressed as Debian wants it (no time stamp).
set(changelog ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/debian)
execute_process(COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog
                OUTPUT_FILE ${changelog} COMMAND_ERROR_IS_FATAL ANY)
while(packages)
  list(POP_FRONT packages component package)
  install(FILES packaging/copyright ${changelog}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  string(TOUPPER ${component} part)
  set(CPACK_DEBIAN_${part}_PACKAGE_NAME ${package})
endwhile()

# ldconfig runs after the library is installed or removed.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/triggers "activate-noawait ldconfig\n")

set(CPACK_PACKAGE_NAME qelmar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "qelmar")
set(CPACK_PACKAGE_CONTACT "qelmar maintainers <maintainers@qelmar.example.org>")
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Each takes over its part of the single package that came before the split.
foreach(part RUNTIME DEV TOOLS)
  set(CPACK_DEBIAN_${part}_PACKAGE_BREAKS "qelmar")
  set(CPACK_DEBIAN_${part}_PACKAGE_REPLACES "qelmar")
endforeach()
# The shlibs file, and ldconfig on install and removal, for the library.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(version "${PROJECT_VERSION}")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "drives a customer price display on a serial port
A host program, usually a point-of-sale application, loads libqelmar and
calls tavdll, tavrc and tavadd to put prices and texts on a pole display at
2400 baud and to play sounds. The sound libraries are loaded on the first
sound only. libqelmar-host makes the same calls and tells what became of
each, and lists the serial ports.")
# Loaded when the first sound plays, so recommended rather than required.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "libsndfile1, libasound2")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian/triggers)
set(CPACK_DEBIAN_RUNTIME_DEBUGINFO_PACKAGE ON)

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libqelmar0 (= ${version})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "drives a customer price display - development files
The headers, the links to the shared libraries, pkg-config files and a CMake
package (qelmar::qelmar, qelmar::host) for building hosts of libqelmar and
libqelmar-host.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "drives a customer price display - command and bridge
The qelmar command sends commands and sounds, lists serial ports, finds out
why a display shows nothing, and stands in for a display. qelmar serve is a
local HTTP bridge for point-of-sale pages in a browser, with a JavaScript
client and systemd units that are installed disabled.")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS "libsndfile1, libasound2")
# Built with the host library and calling it; dpkg-shlibdeps finds it in the
# runtime package's staging folder beside this one, which has no shlibs yet.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libqelmar0 (= ${version})")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ../runtime${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
set(CPACK_DEBIAN_TOOLS_DEBUGINFO_PACKAGE ON)

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "libqelmar0 (>= ${version}), python3")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "drives a customer price display - Python module
The qelmar module calls libqelmar through ctypes: Display(port).send(text),
rc(a, b) and play(path), with text between '#' marks turned into GB2312.")
include(CPack)
