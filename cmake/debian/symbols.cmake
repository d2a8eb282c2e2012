# Run by cpack after the components are staged, before the packages are made. For each library
# package with a symbols file in cmake/debian/symbols, dpkg-gensymbols compares the symbols file
# with the staged libraries and writes the package's symbols control file; a symbol that the
# file lists and a library no longer exports fails the package build, as it would break the
# programs built against this release.
foreach(package IN LISTS CPACK_VARNAK_SYMBOLS_PACKAGES)
    execute_process(
        COMMAND dpkg-gensymbols -p${package} -P${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${package}
                -v${CPACK_VARNAK_VERSION} -I${CPACK_VARNAK_SYMBOLS_SOURCE}/${package}.symbols
                -O${CPACK_VARNAK_SYMBOLS_OUT}/${package}/symbols -c1
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${package}: its libraries no longer export every symbol of "
            "cmake/debian/symbols/${package}.symbols:\n${output}\nA removed symbol breaks the "
            "programs built against this release. Undo the change, or make it on purpose with a "
            "new soname (the project's major version) and record the symbols anew with "
            "abi/update.sh build/normal.")
    endif()
endforeach()
