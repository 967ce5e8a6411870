# The Debian package: `cpack -G DEB` in the build directory. It installs what
# `cmake --install` installs, under /usr, and declares what it needs to run.
set(TESMARO_PRODUCT_NAME "Tesmaro Application")
set(CPACK_PACKAGE_NAME tesmaro)
set(CPACK_PACKAGE_VENDOR "Orbinel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "${TESMARO_PRODUCT_NAME}: feeds batch files from a directory to the instrument suite")
set(CPACK_PACKAGE_DESCRIPTION
  "Tesmaro watches a queue directory for batch files, hands each settled batch to the\
 instrument suite's process queue, and files it as processed or failed.")
set(CPACK_PACKAGE_CONTACT "Tesmaro maintainers <tesmaro@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Shared libraries from the binaries themselves; the platform plugins that Qt
# loads at run time are not visible that way.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
include(CPack)
