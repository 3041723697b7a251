# What Debian wants beside a program: the copyright file in its
# machine-readable form, made from LICENSE, and the changelog and manual
# page compressed without a time stamp, so that builds are reproducible.

file(READ ${CMAKE_SOURCE_DIR}/LICENSE license)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)
if(NOT license MATCHES "Copyright \\(c\\) ([^\n]+)\n\n(.+)$")
  message(FATAL_ERROR "LICENSE: no copyright line followed by the terms")
endif()
set(holders ${CMAKE_MATCH_1})
string(STRIP "${CMAKE_MATCH_2}" terms)
# Terms in a field's continuation lines: indented, blank lines as " .".
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}
Source: ${PROJECT_HOMEPAGE_URL}

Files: *
Copyright: ${holders}
License: Expat
 ${terms}
")

add_custom_command(OUTPUT velcot.1.gz
  COMMAND gzip -9n -c velcot.1 > velcot.1.gz
  DEPENDS ${CMAKE_BINARY_DIR}/velcot.1)
add_custom_command(OUTPUT changelog.gz
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/doc/changelog > changelog.gz
  DEPENDS doc/changelog)
add_custom_target(debian_docs ALL DEPENDS velcot.1.gz changelog.gz)
