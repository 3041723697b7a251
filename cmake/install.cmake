# Installing velcot, and its packages: a Debian package on Linux, a zip of
# the program on Windows.
include(GNUInstallDirs)

# The manual page names the project's web address, as the help text and the
# package do: all three take it from project().
configure_file(doc/velcot.1.in velcot.1 @ONLY)

if(WIN32)
  # A Windows user unpacks the zip and finds the program and a README.
  install(TARGETS velcot RUNTIME DESTINATION .)
  install(FILES doc/README-windows.txt DESTINATION . RENAME README.txt)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
  install(FILES ${CMAKE_BINARY_DIR}/velcot.1 DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  include(cmake/debian-docs.cmake)
  install(TARGETS velcot RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${CMAKE_BINARY_DIR}/velcot.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_BINARY_DIR}/copyright ${CMAKE_BINARY_DIR}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES tools/velcot.bash-completion DESTINATION
    ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME velcot)
  set(CPACK_GENERATOR DEB)
endif()

set(CPACK_PACKAGE_NAME velcot)
set(CPACK_PACKAGE_VENDOR velcot)
set(CPACK_PACKAGE_CONTACT "velcot developers <velcot@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copy files over a serial line")
set(CPACK_PACKAGE_DESCRIPTION
  "velcot copies files between two computers joined by a serial line: a null-modem\n\
cable, a USB serial adapter or a virtual cable. The same program runs at both\n\
ends: given file names it sends them; given none it receives them.")
set(CPACK_PACKAGE_HOMEPAGE_URL ${PROJECT_HOMEPAGE_URL})
set(CPACK_RESOURCE_FILE_README ${CMAKE_SOURCE_DIR}/README.md)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

# velcot_<version>_<arch>.deb, its library dependencies read off the program.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
