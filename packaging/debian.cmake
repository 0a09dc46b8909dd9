# The Debian packages, built from the build folder with `cpack -G DEB`:
#   zorvik-selftest      the self-test programs, the bus survey, the report page
#   zorvik-selftest-sim  the simulated DCU network (for a laptop or CI; a
#                        production station needs none of it)
# Run-time dependencies come from the binaries (dpkg-shlibdeps); on
# installation the programs that open the bus get the capabilities they need
# (postinst), so they run for an ordinary user.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ZORVIK_TOOLS_PACKAGE})
set(CPACK_PACKAGE_VENDOR "Zorvik")
set(CPACK_PACKAGE_CONTACT "Zorvik self-test team <selftest@zorvik.dev>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL tools simulator)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${ZORVIK_TOOLS_PACKAGE})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
# setcap for the postinst; python3 runs the report page, whose plotting
# library is only recommended (the self-tests run without it).
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libcap2-bin, python3")
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "python3-matplotlib")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS ${ZORVIK_SIM_PACKAGE})
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/postinst)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
 "self-tests for robots built on DCU boards over EtherCAT
dcu_selftest checks a network of DCU boards: the bus reaches OPERATIONAL,
the IMU of the first DCU reads gravity and every actuator answers.
robot_selftest checks a whole robot: the bus, an IMU, every actuator
enables and, when asked, follows a motion forward and back. dcu_businfo
surveys the EtherCAT line against the same configuration file and points
at the missing board or the failing cable. selftest_report renders a run's
JSON report as one HTML page.

The programs that open the bus are given the capabilities cap_net_raw,
cap_net_admin and cap_sys_nice on installation, so they run for an
ordinary user.")

set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME ${ZORVIK_SIM_PACKAGE})
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SECTION electronics)
set(CPACK_COMPONENT_SIMULATOR_DESCRIPTION
 "simulated network of DCU boards for the Zorvik self-tests
dcu_sim answers real EtherCAT frames on a network interface as a chain of
DCU boards with their actuators and IMUs would, built from the same
configuration file the self-tests read. Faults can be set in the file or
injected while a test runs with dcu_simctl. For trying the self-tests
without a robot; a production station does not need it.")

include(CPack)
