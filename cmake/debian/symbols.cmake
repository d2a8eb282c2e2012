# Run by cpack after the components are staged, before the packages are made. For each library
# package with a symbols file in cmake/debian/symbols, dpkg-gensymbols compares the symbols file
# with the staged libraries and writes the package's symbols control file. The libraries must
# export exactly what the file lists: a symbol they no longer export would break the programs
# built against this release, and a new one is recorded on purpose (abi/update.sh), with the
# version it first appeared in.
#
# dpkg-gensymbols lets a symbol go unnoticed when it appeared in the very version being built
# (it takes it for one never released), and this release's symbols all carry its version; the
# check therefore names a later version, so that no listed symbol may go. As nothing may be
# added either, the symbols file it writes is the listed one whenever the check passes.
foreach(package IN LISTS CPACK_VARNAK_SYMBOLS_PACKAGES)
    execute_process(
        COMMAND dpkg-gensymbols -p${package} -P${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${package}
                -v${CPACK_VARNAK_VERSION}+check -I${CPACK_VARNAK_SYMBOLS_SOURCE}/${package}.symbols
                -O${CPACK_VARNAK_SYMBOLS_OUT}/${package}/symbols -c2
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${package}: its libraries do not export exactly the symbols of "
            "cmake/debian/symbols/${package}.symbols:\n${output}\nA removed symbol breaks the "
            "programs built against this release: undo the change, or make it on purpose with a "
            "new soname (the project's major version). Record a deliberate change of the "
            "libraries' interface with abi/update.sh.")
    endif()
endforeach()
