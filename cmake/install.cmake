# Installs as any Unix tool: the binary, its man page, bash completion and
# the user's documentation; `cpack -G DEB` in the build folder packs the
# same into a Debian package whose dependencies come from the binary's
# shared libraries.
include(GNUInstallDirs)

install(TARGETS unf2mat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(UNF2MAT_MAN_PAGE ${PROJECT_BINARY_DIR}/unf2mat.1)
configure_file(${PROJECT_SOURCE_DIR}/docs/unf2mat.1 ${UNF2MAT_MAN_PAGE} @ONLY)
install(FILES ${UNF2MAT_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# Written at build time from the table of options (converter/CMakeLists.txt).
install(FILES ${UNF2MAT_COMPLETION}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
install(FILES ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The maintainers' documents, where the README's mention of docs/ finds them.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs
        FILES_MATCHING PATTERN "*.md")
# The shipped layouts, to read and to start a layout of one's own from.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/loader/layouts/
        DESTINATION ${CMAKE_INSTALL_DATADIR}/unf2mat/layouts
        FILES_MATCHING PATTERN "*.layout")

set(CPACK_PACKAGE_NAME unf2mat)
set(CPACK_PACKAGE_CONTACT "unf2mat maintainers <unf2mat@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Fortran unformatted sequential data files to MATLAB MAT-files")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
