# Debian packages, made by CPack from the install components. Build them in a tree configured
# for /usr (scripts/build-packages.sh does all of it):
#   cmake -S . -B build/deb -G Ninja -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=None ...
#   cmake --build build/deb && (cd build/deb && cpack)
# The packages are listed below with their contents (install components) and descriptions:
# one package per shared library soname and a -dev package beside it, the simulated pieces in
# packages named as simulators, and the two programmers apart, so that halyard-cli needs no Qt.
# Every package has the copyright file and changelog of cmake/debian; libraries have shlibs and
# the ldconfig trigger; the programs' debug symbols go to -dbgsym packages.

set(deb_source ${VARNAK_CMAKE_DIR}/debian)
set(deb_build ${PROJECT_BINARY_DIR}/debian)
set(deb_version ${PROJECT_VERSION})
set(deb_arch ${CMAKE_LIBRARY_ARCHITECTURE})
set(deb_libdir ${CMAKE_INSTALL_FULL_LIBDIR})

# The changelog's newest entry is the version being packaged.
file(STRINGS ${deb_source}/changelog deb_latest LIMIT_COUNT 1)
if(NOT deb_latest MATCHES "^varnak \\(${deb_version}\\) ")
    message(FATAL_ERROR "cmake/debian/changelog starts with '${deb_latest}'; "
                        "add an entry for version ${deb_version}.")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${deb_source}/changelog)
file(MAKE_DIRECTORY ${deb_build})
execute_process(COMMAND gzip -9n INPUT_FILE ${deb_source}/changelog
                OUTPUT_FILE ${deb_build}/changelog.gz COMMAND_ERROR_IS_FATAL ANY)

# The shlibs lines of every library (which package provides it), for dpkg-shlibdeps.
set(deb_shlibs_local "")
set(deb_shlibdeps_stages "")
set(deb_component_packages "")  # component=package pairs
set(deb_symbols_packages "")    # library packages with a symbols file in cmake/debian/symbols

# deb_wrap(OUT TEXT): TEXT in lines of at most 72 characters, its paragraphs (separated by blank
# lines) apart by a line holding a dot, as a control file's extended description wants them.
function(deb_wrap out text)
    string(REPLACE "\n\n" ";" paragraphs "${text}")
    set(result "")
    foreach(paragraph IN LISTS paragraphs)
        if(result)
            string(APPEND result "\n.\n")
        endif()
        string(REGEX MATCHALL "[^ \n]+" words "${paragraph}")
        set(line "")
        foreach(word IN LISTS words)
            string(LENGTH "${line} ${word}" length)
            if(line AND length GREATER 72)
                string(APPEND result "${line}\n")
                set(line "${word}")
            elseif(line)
                string(APPEND line " ${word}")
            else()
                set(line "${word}")
            endif()
        endforeach()
        string(APPEND result "${line}")
    endforeach()
    set(${out} "${result}" PARENT_SCOPE)
endfunction()

# deb_package(NAME COMPONENTS component... SECTION section SUMMARY text DESCRIPTION text
#     [LIBRARIES lib...]     shared libraries in the library folder: shlibs and ldconfig trigger
#     [SHLIBS line...]       what a program linking a library of this package depends on, for
#                            libraries outside the library folder ("libvelorum 1 libvelorum.so.1")
#     [BINARIES]             holds programs or libraries (dpkg-shlibdeps computes its Depends)
#     [DEPENDS dep...] [PROVIDES name...] [CONTROL file...])
macro(deb_package name)
    cmake_parse_arguments(PKG "BINARIES" "SECTION;SUMMARY;DESCRIPTION"
                          "COMPONENTS;LIBRARIES;SHLIBS;DEPENDS;PROVIDES;CONTROL" ${ARGN})
    string(TOUPPER ${name} upper)
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${name})
    set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${PKG_SECTION})
    deb_wrap(wrapped "${PKG_DESCRIPTION}")
    set(CPACK_DEBIAN_${upper}_DESCRIPTION "${PKG_SUMMARY}\n${wrapped}")
    list(JOIN PKG_DEPENDS ", " CPACK_DEBIAN_${upper}_PACKAGE_DEPENDS)
    list(JOIN PKG_PROVIDES ", " CPACK_DEBIAN_${upper}_PACKAGE_PROVIDES)
    set(control ${PKG_CONTROL})
    set(shlibs ${PKG_SHLIBS})
    foreach(lib IN LISTS PKG_LIBRARIES)
        list(APPEND shlibs "lib${lib} ${PROJECT_VERSION_MAJOR} ${name} (>= ${deb_version})")
    endforeach()
    if(PKG_LIBRARIES AND EXISTS ${deb_source}/symbols/${name}.symbols)
        # The symbols file, checked against the staged libraries before the package is made
        # (cmake/debian/symbols.cmake): a symbol missing from the library fails the build.
        list(APPEND control ${deb_build}/${name}/symbols)
        list(APPEND deb_symbols_packages ${name})
    endif()
    if(PKG_LIBRARIES)
        list(JOIN shlibs "\n" lines)
        file(WRITE ${deb_build}/${name}/shlibs "${lines}\n")
        file(WRITE ${deb_build}/${name}/triggers "activate-noawait ldconfig\n")
        # CPack writes postinst and postrm scripts that call ldconfig unless the package names
        # scripts of its own; naming ones that do not exist (CPack warns that it adds none)
        # leaves it to the trigger, as Debian wants.
        list(APPEND control ${deb_build}/${name}/shlibs ${deb_build}/${name}/triggers
             ${deb_build}/no-ldconfig-scripts/postinst ${deb_build}/no-ldconfig-scripts/postrm)
    endif()
    foreach(line IN LISTS shlibs)
        string(APPEND deb_shlibs_local "${line}\n")
    endforeach()
    set(CPACK_DEBIAN_${upper}_PACKAGE_CONTROL_EXTRA "${control}")
    if(PKG_BINARIES)
        list(APPEND deb_shlibdeps_stages ${name})
    endif()
    foreach(component IN LISTS PKG_COMPONENTS)
        list(APPEND deb_component_packages "${component}=${name}")
    endforeach()
    list(GET PKG_COMPONENTS 0 first)
    install(FILES ${deb_source}/copyright ${deb_build}/changelog.gz
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${name} COMPONENT ${first})
endmacro()

set(major ${PROJECT_VERSION_MAJOR})
set(same "(= ${deb_version})")

deb_package(libostrel${major} COMPONENTS ostrel SECTION libs LIBRARIES ostrel BINARIES
    SUMMARY "Ostrel diagnostics framework (shared library)"
    DESCRIPTION "Ostrel traces the Varnak Plus host libraries and keeps each group's last error \
text for the caller. Tracing is off unless OSTREL_DEBUG=1. Its lines go to standard error, or \
to the file named by OSTREL_LOG.\n\nThis package holds the shared library.")
deb_package(libostrel-dev COMPONENTS ostrel-dev SECTION libdevel
    DEPENDS "libostrel${major} ${same}"
    SUMMARY "Ostrel diagnostics framework (development files)"
    DESCRIPTION "Ostrel traces the Varnak Plus host libraries and keeps each group's last error \
text for the caller.\n\nThis package holds the header <ostrel/ostrel.h>, the CMake package \
ostrel and the pkg-config file ostrel.pc.")

deb_package(libtransports${major} COMPONENTS transports SECTION libs LIBRARIES transports BINARIES
    SUMMARY "Varnak Plus PTAP transport library"
    DESCRIPTION "transports owns the connection to a chip's PTAP device driver and carries \
request/response traffic on one worker thread. It finds the device interface in /dev/ptap, in \
the folder named by PTAP_INTERFACE_DIR or in the one its connection string names.\n\nThis \
package holds the shared library.")
deb_package(libtransports-dev COMPONENTS transports-dev common-dev SECTION libdevel
    DEPENDS "libtransports${major} ${same}" "libostrel-dev ${same}"
    SUMMARY "Varnak Plus PTAP transport library (development files)"
    DESCRIPTION "transports owns the connection to a chip's PTAP device driver and carries \
request/response traffic on one worker thread.\n\nThis package holds the headers, with the \
communication interfaces that transports and quillon share (<varnak/comminterfaces.h>), the \
CMake package transports and the pkg-config file transports.pc.")

deb_package(libquillon${major} COMPONENTS quillon SECTION libs LIBRARIES quillon BINARIES
    SUMMARY "Varnak Plus PTAP message library"
    DESCRIPTION "quillon builds, sends and parses PTAP messages over transports: queries of host \
interfaces, services and statistics, service start, stop, map and availability, queue pairs, \
data down and up, and test start. Two plain C functions list a chip's host interfaces and \
services.\n\nThis package holds the shared library.")
deb_package(libquillon-dev COMPONENTS quillon-dev SECTION libdevel
    DEPENDS "libquillon${major} ${same}" "libtransports-dev ${same}" "libostrel-dev ${same}"
    SUMMARY "Varnak Plus PTAP message library (development files)"
    DESCRIPTION "quillon builds, sends and parses PTAP messages over transports.\n\nThis package \
holds the headers (the plain C functions in <quillon/ptapenum.h>), the CMake package quillon, \
the pkg-config file quillon.pc and the examples.")

deb_package(libkeyward${major} COMPONENTS keyward SECTION libs LIBRARIES keyward BINARIES
    SUMMARY "Varnak Plus persistent-store key library"
    DESCRIPTION "keyward gives host tools typed, optionally cached access to a chip's persistent \
store (PS keys) over the KVCMD command channel, with a database of 1727 known keys, PS text \
files and command streams, canned configurations and power tables. The host tool supplies the \
KVCMD transport.\n\nThis package holds the shared library.")
deb_package(libkeyward-dev COMPONENTS keyward-dev SECTION libdevel
    DEPENDS "libkeyward${major} ${same}" "libostrel-dev ${same}"
    SUMMARY "Varnak Plus persistent-store key library (development files)"
    DESCRIPTION "keyward gives host tools typed, optionally cached access to a chip's persistent \
store over the KVCMD command channel.\n\nThis package holds the headers (<keyward/keyward.h> \
brings in every public class), the CMake package keyward, the pkg-config file keyward.pc and \
the examples.")

deb_package(libkvcmdsim${major} COMPONENTS kvcmdsim SECTION libs LIBRARIES kvcmdsim BINARIES
    SUMMARY "KVCMD chip simulator for keyward (shared library)"
    DESCRIPTION "kvcmdsim is a simulated radio chip with a ready KVCMD transport, so that host \
programs can try keyward without hardware: PS keys in five stores, chip memory, a security \
state and a firmware identity, with fault switches, kept in chip image files.\n\nThis package \
holds the shared library.")
deb_package(libkvcmdsim-dev COMPONENTS kvcmdsim-dev SECTION libdevel
    DEPENDS "libkvcmdsim${major} ${same}" "libkeyward-dev ${same}" "libostrel-dev ${same}"
    SUMMARY "KVCMD chip simulator for keyward (development files)"
    DESCRIPTION "kvcmdsim is a simulated radio chip with a ready KVCMD transport, so that host \
programs can try keyward without hardware.\n\nThis package holds the headers, the CMake \
package kvcmdsim and the pkg-config file kvcmdsim.pc.")

set(deb_simdir ${CMAKE_INSTALL_PREFIX}/${VARNAK_SIMULATOR_LIBDIR})
foreach(script postinst prerm triggers)
    configure_file(${deb_source}/simulator.${script}.in ${deb_build}/varnak-device-simulator/${script}
                   @ONLY)
endforeach()
deb_package(varnak-device-simulator COMPONENTS velorum nimbra varnak-device SECTION electronics
    BINARIES
    SHLIBS "libvelorum ${major} libvelorum.so.${major}" "libnimbra ${major} libnimbra.so.${major}"
    PROVIDES "libvelorum.so.${major}" "libnimbra.so.${major}"
    CONTROL ${deb_build}/varnak-device-simulator/postinst ${deb_build}/varnak-device-simulator/prerm
            ${deb_build}/varnak-device-simulator/triggers
    SUMMARY "simulated Varnak devices behind stand-in device-access libraries"
    DESCRIPTION "Stand-ins for the vendor's device-access library libvelorum.so.1 and \
port-listing library libnimbra.so.1 that reach simulated Varnak Plus handsets and gateways, one \
text file per device, and the program varnak-device that creates and inspects such devices. \
halyard and halyard-cli work with them out of the box.\n\nThe stand-ins live in \
${deb_simdir} and become the system's libvelorum.so.1 and libnimbra.so.1 through \
update-alternatives at a low priority. A vendor library installed at the standard path, or \
registered in the same alternatives group with a higher priority, takes their place without a \
file conflict. LD_LIBRARY_PATH=${deb_simdir} selects the stand-ins for one program.")
deb_package(varnak-device-simulator-dev COMPONENTS velorum-dev nimbra-dev SECTION libdevel
    DEPENDS "varnak-device-simulator ${same}"
    SUMMARY "simulated Varnak devices (development files of the stand-in libraries)"
    DESCRIPTION "Headers <velorum/velorum.h> and <nimbra/nimbra.h>, the CMake packages velorum \
and nimbra and the pkg-config files velorum.pc and nimbra.pc of the stand-in device-access and \
port-listing libraries.")

deb_package(varnak-ptap-simulator COMPONENTS ptapsim SECTION electronics BINARIES
    SUMMARY "simulated PTAP device (ptapsim)"
    DESCRIPTION "ptapsim answers PTAP messages on a SOCK_SEQPACKET socket as a chip behind the \
PTAP driver would, from a configuration of host interfaces, services and statistics counters, \
with fault switches: no reply, a late reply, a reply to another id, a short reply, a given \
status. transports and the quillon tool reach it through the folder of its socket (dir= or \
PTAP_INTERFACE_DIR).")

deb_package(halyard COMPONENTS halyard SECTION electronics BINARIES
    SUMMARY "Varnak Plus programmer (desktop)"
    DESCRIPTION "halyard reads, edits, programs, restarts and batch-programs Varnak Plus handsets \
and gateways (Veltra Plus and Kordo Plus), and saves and loads settings files (.wpx). It \
reaches the devices through the device-access libraries libvelorum.so.1 and libnimbra.so.1: \
the vendor's, or the simulated ones of varnak-device-simulator.")
deb_package(halyard-cli COMPONENTS halyard-cli SECTION electronics BINARIES
    SUMMARY "Varnak Plus programmer for production lines (command line)"
    DESCRIPTION "halyard-cli reads, programs and restarts Varnak Plus handsets and gateways with \
the same checks as the desktop programmer halyard, for scripts on a production line: messages \
are printed with their caption, questions are answered by flags, and the exit code is 0 only \
on success. Every unit record can also be stored in a SQLite file or on a PostgreSQL server, \
and asked about (units, yield per port, station and day). It needs no Qt.")

deb_package(varnak-doc COMPONENTS doc SECTION doc DEPENDS libjs-jquery
    SUMMARY "Varnak Plus host libraries (reference documentation)"
    DESCRIPTION "The HTML reference of the libraries keyward, transports, quillon, ostrel and \
kvcmdsim: every public class, function, constant and macro of their headers, with pages on \
threads and on error reporting for each library.\n\nThe reference is in \
/usr/share/doc/varnak-doc/html/index.html.")
set(CPACK_DEBIAN_VARNAK-DOC_PACKAGE_ARCHITECTURE all)

deb_package(varnak-tools COMPONENTS tools SECTION electronics BINARIES
    SUMMARY "command-line tools for PTAP devices and PS keys"
    DESCRIPTION "quillon sends PTAP messages to the device behind the PTAP driver and prints the \
replies as tables or JSON. keyward reads and writes the persistent store of a simulated chip \
kept in an image file: PS files, canned operations, single keys and power tables.")

# The Python modules, a package each beside the library it binds: a script that lists PTAP
# services needs no keyward, and the simulated chip stays out of installs that have no use for
# it, as libkvcmdsim1 does.
if(TARGET python_keyward)
    set(deb_python "python3 (>= ${VARNAK_PYTHON_VERSION}~)" "python3 (<< ${VARNAK_PYTHON_NEXT_VERSION})")
    deb_package(python3-keyward COMPONENTS python-keyward SECTION python BINARIES
        DEPENDS ${deb_python}
        SUMMARY "Varnak Plus persistent-store key library (Python module)"
        DESCRIPTION "The Python module keyward: typed access to a chip's persistent store over \
KVCMD, the key database as Python objects, PS files and command streams, canned operations, power \
tables and firmware identification, on a transport written in C++ or in Python. Failures raise \
keyward.Error. The module comes with its type stub.")
    deb_package(python3-kvcmdsim COMPONENTS python-kvcmdsim SECTION python BINARIES
        DEPENDS ${deb_python} "python3-keyward ${same}"
        SUMMARY "KVCMD chip simulator for keyward (Python module)"
        DESCRIPTION "The Python module kvcmdsim: a simulated radio chip (blank, or from a chip \
image file, and saved back), its KVCMD transport for keyward.Server and its fault switches, so \
that the tests of a host tool run without hardware. The module comes with its type stub.")
    deb_package(python3-quillon COMPONENTS python-quillon SECTION python BINARIES
        DEPENDS ${deb_python}
        SUMMARY "Varnak Plus PTAP message library (Python module)"
        DESCRIPTION "The Python module quillon: the PTAP transport's set-up with a connection \
string, the host interface and service lists as lists of records, and the PTAP messages (queries, \
service start, stop and map, queue pairs, data down and up, test start), with failures raised as \
quillon.Error. It shares the process's one transport with C++ users. The module comes with its \
type stub.")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnak)
set(CPACK_PACKAGE_VENDOR "Varnak")
set(CPACK_PACKAGE_CONTACT "Varnak host software team <host-software@varnak.invalid>")
set(CPACK_PACKAGE_VERSION ${deb_version})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")  # each package has its own summary
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PROJECT_CONFIG_FILE ${deb_source}/cpack-checks.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${deb_source}/shlibs-local.cmake ${deb_source}/symbols.cmake)
set(CPACK_VARNAK_SYMBOLS_PACKAGES "${deb_symbols_packages}")
set(CPACK_VARNAK_SYMBOLS_SOURCE ${deb_source}/symbols)
set(CPACK_VARNAK_SYMBOLS_OUT ${deb_build})
set(CPACK_VARNAK_VERSION ${deb_version})
set(CPACK_VARNAK_SHLIBS_LOCAL "${deb_shlibs_local}")
set(CPACK_VARNAK_SHLIBDEPS_STAGES "${deb_shlibdeps_stages}")

include(CPack)

# Every install component belongs to one package.
get_cmake_property(deb_components COMPONENTS)
foreach(pair IN LISTS deb_component_packages)
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 1 package)
    list(APPEND deb_packages ${package})
endforeach()
list(REMOVE_DUPLICATES deb_packages)
foreach(package IN LISTS deb_packages)
    cpack_add_component_group(${package})
endforeach()
foreach(component IN LISTS deb_components)
    set(found ${deb_component_packages})
    list(FILTER found INCLUDE REGEX "^${component}=")
    if(NOT found)
        message(FATAL_ERROR "Install component '${component}' is in no Debian package: "
                            "add it to a package in cmake/Packaging.cmake.")
    endif()
    string(REGEX REPLACE "^[^=]*=" "" package "${found}")
    cpack_add_component(${component} GROUP ${package})
endforeach()
