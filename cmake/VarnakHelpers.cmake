# Shared build rules: libraries with installed packages, tests, benchmarks and fuzz targets.

include(CMakePackageConfigHelpers)

set(VARNAK_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})

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
#     [DESCRIPTION text])
#
# Builds a shared library with a versioned soname and hidden symbols (only what is marked
# with the export macro is visible), and installs it with a CMake package (find_package(NAME),
# target NAME::NAME) and a pkg-config file NAME.pc.
function(varnak_add_library name)
    cmake_parse_arguments(ARG "" "HEADER_DIR;DESCRIPTION" "SOURCES;HEADERS;PUBLIC_DEPS;PRIVATE_DEPS" ${ARGN})
    if(NOT ARG_HEADER_DIR)
        set(ARG_HEADER_DIR ${name})
    endif()
    if(NOT ARG_DESCRIPTION)
        set(ARG_DESCRIPTION "${name} library")
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
    target_include_directories(${name} PUBLIC
        $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
        $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})

    install(TARGETS ${name} EXPORT ${name}Targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${name} NAMELINK_COMPONENT ${name}-dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${name}-dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${name})
    install(FILES ${ARG_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${ARG_HEADER_DIR}
        COMPONENT ${name}-dev)
    install(EXPORT ${name}Targets NAMESPACE ${name}::
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/${name} COMPONENT ${name}-dev)

    # Package config: find_dependency for every public library of this project.
    set(VARNAK_PACKAGE_NAME ${name})
    set(VARNAK_PACKAGE_DEPS "")
    set(pc_requires "")
    foreach(dep ${ARG_PUBLIC_DEPS} ${ARG_PRIVATE_DEPS})
        if(TARGET ${dep})
            get_target_property(dep_type ${dep} TYPE)
            if(dep_type STREQUAL "SHARED_LIBRARY")
                string(REGEX REPLACE "::.*" "" dep_pkg ${dep})
                string(APPEND VARNAK_PACKAGE_DEPS "find_dependency(${dep_pkg})\n")
                list(APPEND pc_requires ${dep_pkg})
            endif()
        endif()
    endforeach()
    list(REMOVE_DUPLICATES pc_requires)
    list(JOIN pc_requires ", " VARNAK_PC_REQUIRES)
    configure_package_config_file(${VARNAK_CMAKE_DIR}/PackageConfig.cmake.in
        ${CMAKE_CURRENT_BINARY_DIR}/${name}Config.cmake
        INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/${name})
    write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${name}ConfigVersion.cmake
        VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}Config.cmake
                  ${CMAKE_CURRENT_BINARY_DIR}/${name}ConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/${name} COMPONENT ${name}-dev)

    # The prefix is found relative to the .pc file, so the package works wherever it is installed.
    file(RELATIVE_PATH VARNAK_PC_PREFIX_FROM_PCDIR /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
    set(VARNAK_PC_NAME ${name})
    set(VARNAK_PC_DESCRIPTION ${ARG_DESCRIPTION})
    configure_file(${VARNAK_CMAKE_DIR}/package.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc @ONLY)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${name}.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${name}-dev)
endfunction()

# varnak_add_test(NAME SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT seconds])
#
# A GoogleTest program registered with CTest as one test per suite case. The label
# "threads" marks suites that exercise threads; they also run in the ThreadSanitizer build,
# which builds only the target threads_tests.
if(NOT TARGET threads_tests)
    add_custom_target(threads_tests)
endif()
function(varnak_add_test name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
    include(GoogleTest)
    set(properties TIMEOUT ${ARG_TIMEOUT})
    if(ARG_LABELS)
        list(APPEND properties LABELS "${ARG_LABELS}")
    endif()
    gtest_discover_tests(${name} PROPERTIES ${properties} DISCOVERY_TIMEOUT 60)
    if("threads" IN_LIST ARG_LABELS)
        add_dependencies(threads_tests ${name})
    endif()
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
