# Debian packages made by CPack from the install components:
#   libvarnak1     the shared libraries (every component without a suffix that is not a program)
#   libvarnak-dev  headers, CMake packages and pkg-config files (components ending in -dev)
#   halyard        the programmer, halyard-cli and varnak-device, with a desktop entry and icon
#   varnak-tools   the command-line tools and the simulated devices they work with
# Build them with `cpack -G DEB` in a build folder.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnak)
set(CPACK_PACKAGE_VENDOR "Varnak")
set(CPACK_PACKAGE_CONTACT "Varnak host software team <host-software@varnak.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Varnak Plus host software")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

set(libs_package "libvarnak1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_LIBS_PACKAGE_NAME libvarnak1)
set(CPACK_DEBIAN_LIBS_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvarnak-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${libs_package}")
set(CPACK_DEBIAN_HALYARD_PACKAGE_NAME halyard)
set(CPACK_DEBIAN_HALYARD_PACKAGE_DEPENDS "${libs_package}")
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME varnak-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${libs_package}")

include(CPack)

cpack_add_component_group(libs DESCRIPTION "Varnak Plus host libraries: transports, quillon, keyward, device access and diagnostics")
cpack_add_component_group(dev DESCRIPTION "Development files of the Varnak Plus host libraries")
cpack_add_component_group(halyard DESCRIPTION "Halyard, the Varnak Plus programmer, with its command-line twin")
cpack_add_component_group(tools DESCRIPTION "Command-line tools for PTAP and PS keys, and simulated devices")

get_cmake_property(varnak_components COMPONENTS)
foreach(component ${varnak_components})
    if(component MATCHES "-dev$")
        set(group dev)
    elseif(component STREQUAL "halyard" OR component STREQUAL "tools")
        set(group ${component})
    elseif(component STREQUAL "kvcmdsim")
        set(group tools)  # the simulated chip the keyward tool works on
    else()
        set(group libs)
    endif()
    cpack_add_component(${component} GROUP ${group})
endforeach()
