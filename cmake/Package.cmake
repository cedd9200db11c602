# The Debian package (scripts/package.sh: cpack -G DEB in the release build):
# the module directory a server loads, under /opt/qel-object-tracker/module,
# and qel-track in /usr/bin. The libraries install themselves (see
# qel_module_library); the SDK data directory goes whole, whatever the build
# put in it.
install(DIRECTORY ${QEL_MODULE_DIR}/QelSdk/gpu/data DESTINATION ${QEL_INSTALL_MODULE_DIR}/QelSdk/gpu)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qel-object-tracker)
set(CPACK_PACKAGE_VERSION ${QEL_FILE_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Person tracker module for Kest8 video analytics, and the qel-track host")
set(CPACK_PACKAGE_CONTACT "QelObjectTracker maintainers <maintainers@users.noreply.c-seed-efec1ed3.example>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# The install destinations are relative to the file system's root.
set(CPACK_PACKAGING_INSTALL_PREFIX /)
# The Debian runtime packages of what the libraries link, from dpkg-shlibdeps;
# our own libraries it finds in the package through their $ORIGIN run paths.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
