# The Debian packages: `cpack -G DEB` in the build directory makes two, from
# the install components:
#   tesmaro      the program, its launcher, desktop entry, user unit, manual page
#   korvane-sim  the stand-in suite and its queue library (component "sim")
# Both install under /usr, whatever prefix the build was configured with.
set(CPACK_PACKAGE_NAME tesmaro)
set(CPACK_PACKAGE_VENDOR "Orbinel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tesmaro maintainers <tesmaro@orbinel.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tesmaro sim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_TESMARO_PACKAGE_NAME tesmaro)
set(CPACK_DEBIAN_TESMARO_DESCRIPTION "unattended batch feeder for an instrument suite's process queue
Watches a queue directory for batch files, hands each settled batch to the
instrument suite's process queue through the suite's queue library, runs a
result viewer when asked, and files every file of the batch as processed or
failed. Started from the menu or as a systemd user service, it works in
~/Tesmaro. The suite's library comes with the suite, or with korvane-sim.")
# Shared libraries from the binaries themselves; the platform plugins that Qt
# loads at run time are not visible that way.
set(CPACK_DEBIAN_TESMARO_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TESMARO_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_TESMARO_PACKAGE_SUGGESTS "korvane-sim")

set(CPACK_DEBIAN_SIM_PACKAGE_NAME korvane-sim)
set(CPACK_DEBIAN_SIM_DESCRIPTION "stand-in for the instrument suite, to try Tesmaro without it
Runs a simulated instrument suite that takes batch files into its process
queue, works through their samples and writes result files, and installs the
queue library in a folder of its own, where Tesmaro finds it when the
administrator has installed no library of the real suite.")
set(CPACK_DEBIAN_SIM_PACKAGE_ENHANCES "tesmaro")
# Its library lies in Tesmaro's private directory, which is not on the loader's
# path: dependencies are given by hand, since reading them from the binaries
# would also add the ldconfig calls that a private library has no use for.
set(CPACK_DEBIAN_SIM_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
include(CPack)
