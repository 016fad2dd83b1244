# CPack configuration for the Windows zip: both DLL builds in one archive.
#   cpack --config packaging/windows-zip.cmake -B dist
get_filename_component(source "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
file(STRINGS "${source}/CMakeLists.txt" project_line REGEX "^project\\(qelmar VERSION")
string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" version "${project_line}")

set(CPACK_GENERATOR ZIP)
set(CPACK_CMAKE_GENERATOR "Unix Makefiles")
set(CPACK_PACKAGE_DESCRIPTION "QELMAR.dll for 32- and 64-bit Windows hosts")
set(CPACK_PACKAGE_NAME qelmar)
set(CPACK_PACKAGE_VERSION ${version})
set(CPACK_PACKAGE_FILE_NAME qelmar-${version}-windows)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${source}/build/windows-x86;qelmar;ALL;/"
  "${source}/build/windows-x64;qelmar;ALL;/")
