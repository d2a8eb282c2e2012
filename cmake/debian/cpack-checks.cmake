# Read by cpack before it makes the packages.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
    message(FATAL_ERROR "Debian packages install into /usr: configure the build with "
                        "-DCMAKE_INSTALL_PREFIX=/usr (scripts/build-packages.sh does).")
endif()
