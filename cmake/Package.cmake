# The Debian package, made by CPack from the install rules:
#   cpack -G DEB --config build/CPackConfig.cmake
# It installs into /usr, where the desktop's menu, the MIME database and the
# icon theme pick up its files (their packages' triggers run on install).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dravik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Dravik developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "raw MAPI objects and properties of Outlook mail stores")
set(CPACK_PACKAGE_DESCRIPTION
"Dravik opens Outlook mail stores (.pst and .ost files, and MAPI profiles made
of them) and shows everything in them as raw MAPI objects and properties: a tree
of objects, every property of an object with its tag, name, type and value, a
hex editor for binary values, and a trace of every MAPI call. Store files are
only read.
.
The package also holds dravik-dump, which writes what Dravik shows as text or
JSON, dravik-profiles, which manages the MAPI profiles, and pstgen, which
writes store files for tests.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Dravik developers <dravik@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The run-time dependencies are those dpkg-shlibdeps finds in the programs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)

# The package made into a temporary folder (label install).
add_test(NAME install.deb
  COMMAND bash "${CMAKE_SOURCE_DIR}/cmake/tests/check_install.sh" deb "${CMAKE_BINARY_DIR}" "${PROJECT_VERSION}")
set_tests_properties(install.deb PROPERTIES LABELS install TIMEOUT ${DRAVIK_TEST_TIMEOUT})
