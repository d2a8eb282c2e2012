# Shared build rules: libraries with installed packages, tests, benchmarks and fuzz targets.

include(CMakePackageConfigHelpers)

set(VARNAK_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

# True when the libraries install into a folder the dynamic linker searches anyway (a /usr
# install, as the Debian packages are): then nothing gets a RUNPATH and pkg-config files name
# the prefix; any other prefix is relocatable, its programs finding their libraries through
# RUNPATHs relative to themselves.
if("${CMAKE_INSTALL_FULL_LIBDIR}" IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
    set(VARNAK_SYSTEM_INSTALL TRUE)
else()
    set(VARNAK_SYSTEM_INSTALL FALSE)
endif()

# The stand-ins for the outside device-access and port-listing libraries install in a folder
# of their own, so that the vendor's libraries of the same names can live in the library folder
# (the Debian package makes the stand-ins the default through update-alternatives).
set(VARNAK_SIMULATOR_LIBDIR ${CMAKE_INSTALL_LIBDIR}/varnak-device-simulator)

# Adds the folder AREA (relative to the source root) once, if it has a CMakeLists.txt. Folders
# that hold a file named STANDALONE are separate projects and are left out.
function(varnak_add_area area)
    set(path ${PROJECT_SOURCE_DIR}/${area})
    if(IS_DIRECTORY ${path} AND EXISTS ${path}/CMakeLists.txt AND NOT EXISTS ${path}/STANDALONE)
        string(MAKE_C_IDENTIFIER "${area}" key)
        get_property(done GLOBAL PROPERTY VARNAK_ADDED_${key})
        if(NOT done)
            set_property(GLOBAL PROPERTY VARNAK_ADDED_${key} TRUE)
            add_subdirectory(${path} ${PROJECT_BINARY_DIR}/${area})
        endif()
    endif()
endfunction()

# Adds every subfolder of FOLDER that has a CMakeLists.txt and was not added already.
function(varnak_add_subfolders folder)
    file(GLOB children LIST_DIRECTORIES true RELATIVE ${PROJECT_SOURCE_DIR}/${folder}
         ${PROJECT_SOURCE_DIR}/${folder}/*)
    list(SORT children)
    foreach(child ${children})
        varnak_add_area(${folder}/${child})
    endforeach()
endfunction()

# varnak_add_library(NAME
#     SOURCES ...                 sources of the shared library
#     HEADERS ...                 public headers, installed under include/<HEADER_DIR>
#     [HEADER_DIR dir]            defaults to NAME
#     [PUBLIC_DEPS target...]     libraries of this project the public headers need
#     [PRIVATE_DEPS target...]    libraries used only inside
#     [LANGUAGE c|cxx]            language of the public headers: cxx (C++20, the default) or
#                                 c (plain C99 declarations, usable from any C or C++ standard)
#     [LIBRARY_DIR dir]           where the library installs, defaults to the library folder
#     [STAND_IN]                  a stand-in of an outside library: its interface is the outside
#                                 one, so no <HEADER_DIR/version.h> and no place in the reference
#     [DESCRIPTION text])
#
# Builds a shared library with a versioned soname and hidden symbols (only what is marked
# with the export macro is visible, and none of the standard library's template code:
# library.map), and installs it with a CMake package (find_package(NAME), target NAME::NAME)
# and a pkg-config file NAME.pc. The CMake target requires the language standard the public
# headers need (at least C++20; a consumer's newer standard stays); C++ headers refuse an older
# one with a clear error, so the pkg-config file forces no -std flag. PUBLIC_DEPS are public in
# both: a consumer links them, as their types and functions come through the public headers.
# The headers of each library but the stand-ins make up the reference (docs/), and each gets
# <HEADER_DIR/version.h> with NAME_VERSION_MAJOR, _MINOR, _PATCH and _STRING and the run-time
# function NAME_version(). The library is install component NAME, the development files
# NAME-dev.
function(varnak_add_library name)
    cmake_parse_arguments(ARG "STAND_IN" "HEADER_DIR;DESCRIPTION;LANGUAGE;LIBRARY_DIR"
                          "SOURCES;HEADERS;PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
    if(NOT ARG_HEADER_DIR)
        set(ARG_HEADER_DIR ${name})
    endif()
    if(NOT ARG_DESCRIPTION)
        set(ARG_DESCRIPTION "${name} library")
    endif()
    if(NOT ARG_LIBRARY_DIR)
        set(ARG_LIBRARY_DIR ${CMAKE_INSTALL_LIBDIR})
    endif()
    if(NOT ARG_LANGUAGE OR ARG_LANGUAGE STREQUAL "cxx")
        set(feature cxx_std_20)
    elseif(ARG_LANGUAGE STREQUAL "c")
        set(feature c_std_99)
    else()
        message(FATAL_ERROR "varnak_add_library(${name}): LANGUAGE must be c or cxx")
    endif()
    if(NOT ARG_STAND_IN)
        set(VARNAK_VERSION_LIB ${name})
        string(TOUPPER ${name} VARNAK_VERSION_UPPER)
        set(VARNAK_VERSION_DIR ${ARG_HEADER_DIR})
        set(version_header ${PROJECT_BINARY_DIR}/include/${ARG_HEADER_DIR}/version.h)
        configure_file(${VARNAK_CMAKE_DIR}/version.h.in ${version_header} @ONLY)
        configure_file(${VARNAK_CMAKE_DIR}/version.c.in
                       ${CMAKE_CURRENT_BINARY_DIR}/${name}_version.c @ONLY)
        list(APPEND ARG_SOURCES ${CMAKE_CURRENT_BINARY_DIR}/${name}_version.c)
        list(APPEND ARG_HEADERS ${version_header})
        foreach(header IN LISTS ARG_HEADERS)
            get_filename_component(header ${header} ABSOLUTE)
            set_property(GLOBAL APPEND PROPERTY VARNAK_REFERENCE_HEADERS ${header})
        endforeach()
    endif()
    add_library(${name} SHARED ${ARG_SOURCES})
    add_library(${name}::${name} ALIAS ${name})
    set_target_properties(${name} PROPERTIES
        VERSION ${PROJECT_VERSION}
        SOVERSION ${PROJECT_VERSION_MAJOR}
        CXX_VISIBILITY_PRESET hidden
        C_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON)
    if(NOT VARNAK_SANITIZER)
        # Every symbol resolved at link time. Not with sanitizers: their runtimes are linked into
        # the executable only.
        target_link_options(${name} PRIVATE -Wl,--no-undefined)
    endif()
    target_link_options(${name} PRIVATE -Wl,--version-script=${VARNAK_CMAKE_DIR}/library.map)
    set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${VARNAK_CMAKE_DIR}/library.map)
    target_include_directories(${name} PUBLIC
        $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/include>
        $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
        $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/common>
        $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
    # Consumers get the standard the headers are written in from the exported target.
    target_compile_features(${name} PUBLIC ${feature})

    install(TARGETS ${name} EXPORT ${name}Targets
        LIBRARY DESTINATION ${ARG_LIBRARY_DIR} COMPONENT ${name} NAMELINK_COMPONENT ${name}-dev
        ARCHIVE DESTINATION ${ARG_LIBRARY_DIR} COMPONENT ${name}-dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${name})
    install(FILES ${ARG_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${ARG_HEADER_DIR}
        COMPONENT ${name}-dev)
    install(EXPORT ${name}Targets NAMESPACE ${name}::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/${name} COMPONENT ${name}-dev)

    # Package config: find_dependency for every library of this project it links (the exported
    # target names the private ones too, as link-only). pkg-config: the public ones are
    # Requires (their flags and libraries), the private ones Requires.private (their flags, not
    # their libraries).
    set(VARNAK_PACKAGE_NAME ${name})
    set(VARNAK_PACKAGE_DEPS "")
    foreach(kind PUBLIC PRIVATE)
        set(pc_${kind} "")
        foreach(dep ${ARG_${kind}_DEPS})
            if(TARGET ${dep})
                get_target_property(dep_type ${dep} TYPE)
                if(dep_type STREQUAL "SHARED_LIBRARY")
                    string(REGEX REPLACE "::.*" "" dep_pkg ${dep})
                    string(APPEND VARNAK_PACKAGE_DEPS "find_dependency(${dep_pkg})\n")
                    list(APPEND pc_${kind} ${dep_pkg})
                endif()
            endif()
        endforeach()
        list(REMOVE_DUPLICATES pc_${kind})
    endforeach()
    list(JOIN pc_PUBLIC ", " VARNAK_PC_REQUIRES)
    list(JOIN pc_PRIVATE ", " VARNAK_PC_REQUIRES_PRIVATE)
    configure_package_config_file(${VARNAK_CMAKE_DIR}/PackageConfig.cmake.in
        ${CMAKE_CURRENT_BINARY_DIR}/${name}Config.cmake
        INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/${name})
    write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${name}ConfigVersion.cmake
        VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}Config.cmake
                  ${CMAKE_CURRENT_BINARY_DIR}/${name}ConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/${name} COMPONENT ${name}-dev)

    # In the system folders the prefix is written out, as every system package does; elsewhere
    # it is found relative to the .pc file, so the tree works wherever it is installed.
    if(VARNAK_SYSTEM_INSTALL)
        set(VARNAK_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
    else()
        file(RELATIVE_PATH pc_up /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
        set(VARNAK_PC_PREFIX "\${pcfiledir}/${pc_up}")
    endif()
    set(VARNAK_PC_NAME ${name})
    set(VARNAK_PC_LIBDIR ${ARG_LIBRARY_DIR})
    set(VARNAK_PC_DESCRIPTION ${ARG_DESCRIPTION})
    configure_file(${VARNAK_CMAKE_DIR}/package.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${name}-dev)
endfunction()

# varnak_install_program(TARGET COMPONENT component [ENVIRONMENT VAR=value...])
#
# Installs the program TARGET into the binary folder as part of COMPONENT, with its man page and
# bash completion when VARNAK_PROGRAM_DOCS is on. Both are made at build time from the program's
# own --help (cmake/program-docs.sh), run with ENVIRONMENT set (a Qt program without a display
# needs QT_QPA_PLATFORM=offscreen).
if(VARNAK_PROGRAM_DOCS)
    find_program(VARNAK_HELP2MAN help2man)
    if(NOT VARNAK_HELP2MAN)
        message(FATAL_ERROR "Man pages need help2man (Debian package help2man); "
                            "configure with -DVARNAK_PROGRAM_DOCS=OFF to build without them.")
    endif()
endif()
function(varnak_install_program target)
    cmake_parse_arguments(ARG "" "COMPONENT" "ENVIRONMENT" ${ARGN})
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${ARG_COMPONENT})
    if(NOT VARNAK_PROGRAM_DOCS)
        return()
    endif()
    get_target_property(program ${target} OUTPUT_NAME)
    if(NOT program)
        set(program ${target})
    endif()
    set(man ${PROJECT_BINARY_DIR}/share/man/man1/${program}.1.gz)
    set(completion ${PROJECT_BINARY_DIR}/share/bash-completion/completions/${program})
    add_custom_command(OUTPUT ${man} ${completion}
        COMMAND ${CMAKE_COMMAND} -E env HELP2MAN=${VARNAK_HELP2MAN} ${ARG_ENVIRONMENT}
                bash ${VARNAK_CMAKE_DIR}/program-docs.sh $<TARGET_FILE:${target}> ${man} ${completion}
        DEPENDS ${target} ${VARNAK_CMAKE_DIR}/program-docs.sh ${VARNAK_CMAKE_DIR}/completion-body.bash
        COMMENT "Man page and bash completion of ${program}"
        VERBATIM)
    add_custom_target(${target}_docs ALL DEPENDS ${man} ${completion})
    install(FILES ${man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${ARG_COMPONENT})
    install(FILES ${completion} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
            COMPONENT ${ARG_COMPONENT})
endfunction()

# varnak_add_test(NAME SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT seconds]
#                 [FILTER gtest-filter] [PROPERTIES name value ...])
#
# A GoogleTest program registered with CTest as one test per suite case. The label
# "threads" marks suites that exercise threads; they also run in the ThreadSanitizer build,
# which builds only the target threads_tests. FILTER registers only the cases it matches
# (--gtest_filter syntax), so that a program's other cases can be registered apart with other
# properties (varnak_register_tests); PROPERTIES are further CTest properties of every case.
if(NOT TARGET threads_tests)
    add_custom_target(threads_tests)
endif()
function(varnak_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT;FILTER" "SOURCES;LIBS;LABELS;PROPERTIES" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
    set(more "")
    if(DEFINED ARG_FILTER)
        list(APPEND more FILTER "${ARG_FILTER}")
    endif()
    varnak_register_tests(${name} TIMEOUT "${ARG_TIMEOUT}" LABELS "${ARG_LABELS}" ${more}
                          PROPERTIES ${ARG_PROPERTIES})
    if("threads" IN_LIST ARG_LABELS)
        add_dependencies(threads_tests ${name})
    endif()
endfunction()

# varnak_register_tests(TARGET [LABELS ...] [TIMEOUT seconds] [FILTER gtest-filter]
#                       [PROPERTIES name value ...])
#
# Registers (more of) the cases of the GoogleTest program TARGET with CTest, as varnak_add_test
# does.
function(varnak_register_tests name)
    cmake_parse_arguments(ARG "" "TIMEOUT;FILTER" "LABELS;PROPERTIES" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    include(GoogleTest)
    set(properties TIMEOUT ${ARG_TIMEOUT})
    if(ARG_LABELS)
        list(APPEND properties LABELS "${ARG_LABELS}")
    endif()
    list(APPEND properties ${ARG_PROPERTIES})
    set(filter "")
    if(ARG_FILTER)
        set(filter TEST_FILTER "${ARG_FILTER}")
    endif()
    gtest_discover_tests(${name} ${filter} PROPERTIES ${properties} DISCOVERY_TIMEOUT 60)
endfunction()

# varnak_add_benchmark(NAME SOURCES ... [LIBS ...])
#
# A Google Benchmark program, built into <build>/benchmarks. Benchmarks print their comparisons through
# bench/common/ratio.h; a short smoke run is registered with CTest under the label "bench".
function(varnak_add_benchmark name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} varnak_bench_support)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/benchmarks)
    add_test(NAME bench_smoke.${name}
             COMMAND ${name} --benchmark_min_time=0.001 --repetitions=1)
    set_tests_properties(bench_smoke.${name} PROPERTIES LABELS bench TIMEOUT 300
                         PASS_REGULAR_EXPRESSION "RESULT\t")
endfunction()

# varnak_add_fuzzer(NAME SOURCES ... [LIBS ...] [CORPUS dir] [SMOKE_SECONDS n])
#
# A fuzz target defining LLVMFuzzerTestOneInput, built into <build>/fuzzers. With VARNAK_LIBFUZZER (clang) it links
# libFuzzer; otherwise a small driver runs the corpus and random mutations of it, which is
# what the smoke test under CTest (label "fuzz") uses in the ordinary and sanitizer builds.
function(varnak_add_fuzzer name)
    cmake_parse_arguments(ARG "" "CORPUS;SMOKE_SECONDS" "SOURCES;LIBS" ${ARGN})
    if(NOT ARG_SMOKE_SECONDS)
        set(ARG_SMOKE_SECONDS 5)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/fuzzers)
    if(VARNAK_LIBFUZZER)
        target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    else()
        target_link_libraries(${name} PRIVATE varnak_fuzz_driver)
    endif()
    set(corpus "")
    if(ARG_CORPUS)
        set(corpus ${ARG_CORPUS})
    endif()
    add_test(NAME fuzz_smoke.${name}
             COMMAND ${name} -max_total_time=${ARG_SMOKE_SECONDS} -seed=1 ${corpus})
    set_tests_properties(fuzz_smoke.${name} PROPERTIES LABELS fuzz TIMEOUT 300)
endfunction()
