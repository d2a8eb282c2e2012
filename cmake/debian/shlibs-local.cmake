# Run by cpack after the components are staged, before the packages are made. CPack runs
# dpkg-shlibdeps in each package's staging folder; a debian/shlibs.local there tells it which
# package provides each of this project's libraries, so a package depends on the library
# packages it links, as Debian's own do. Only packages with programs or libraries get one:
# CPack removes the debian folder again just there.
foreach(stage IN LISTS CPACK_VARNAK_SHLIBDEPS_STAGES)
    file(WRITE "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${stage}/debian/shlibs.local"
         "${CPACK_VARNAK_SHLIBS_LOCAL}")
endforeach()
