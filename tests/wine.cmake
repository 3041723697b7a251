# The Windows program under Wine: its unit tests, and velcot.exe against
# this build's velcot over pseudo-terminals. Included when VELCOT_WIN32_DIR
# names a cross build; then a missing Wine is an error, not a reason to skip.
include(${PROJECT_SOURCE_DIR}/cmake/require-program.cmake)
require_program(WINE_PROGRAM wine)
require_program(WINEBOOT_PROGRAM wineboot)
require_program(WINESERVER_PROGRAM wineserver)
get_filename_component(VELCOT_WIN32_DIR "${VELCOT_WIN32_DIR}" ABSOLUTE BASE_DIR ${CMAKE_BINARY_DIR})

# The zip a Windows user unpacks: velcot.exe, README.txt, the manual page.
add_test(NAME package.windows_zip
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/package_test.sh --zip ${VELCOT_WIN32_DIR})

# Wine runs velcot.exe in a 32-bit process. A kernel that runs 64-bit
# programs only (ia32_emulation off) cannot start one: then only the zip
# is checked, and the configuration says so rather than failing each test.
execute_process(COMMAND ${WINE_PROGRAM} --version RESULT_VARIABLE wine_status
  OUTPUT_QUIET ERROR_VARIABLE wine_error TIMEOUT 60)
if(NOT wine_status EQUAL 0)
  message(WARNING "Wine cannot run here (${wine_error}): velcot.exe is built and "
    "packed but not run; this kernel runs no 32-bit programs")
  return()
endif()

set(WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)  # thrown away with the build
set(WINE_ENVIRONMENT WINEPREFIX=${WINE_PREFIX} WINEDEBUG=-all)

# Creating the prefix takes several seconds, once; every Wine test needs it.
# One wineserver then serves every test: whoever starts it hands it their
# stderr, and it writes a dump there when a pseudo-terminal it opened hangs
# up, so it gets a log of its own, and so do Wine's services, started once
# it runs: a service started by a test keeps the test's output open, and
# ctest waits for it. It is stopped after the last Wine test.
add_test(NAME wine.prefix COMMAND sh -c
  "\"$0\" --init && \"$1\" --wait && \"$1\" --persistent=600 >\"$2\" 2>&1 && \"$0\" >>\"$2\" 2>&1"
  ${WINEBOOT_PROGRAM} ${WINESERVER_PROGRAM} ${CMAKE_BINARY_DIR}/wineserver.log)
set_tests_properties(wine.prefix PROPERTIES
  FIXTURES_SETUP wine ENVIRONMENT "${WINE_ENVIRONMENT}" TIMEOUT 300)
add_test(NAME wine.stop COMMAND ${WINESERVER_PROGRAM} --kill)
set_tests_properties(wine.stop PROPERTIES
  FIXTURES_CLEANUP wine ENVIRONMENT "${WINE_ENVIRONMENT}" TIMEOUT 60)

add_test(NAME wine.unit_tests COMMAND ${WINE_PROGRAM} ${VELCOT_WIN32_DIR}/unit-tests/tests/unit_tests.exe)
# The progress bar again with a console, which Wine gives a program on a
# terminal: script(1) runs it on one.
require_program(SCRIPT_PROGRAM script)
add_test(NAME wine.console_progress COMMAND ${SCRIPT_PROGRAM} -qec
  "\"${WINE_PROGRAM}\" \"${VELCOT_WIN32_DIR}/unit-tests/tests/unit_tests.exe\" --gtest_filter=PrintProgress.*"
  /dev/null)
set_tests_properties(wine.unit_tests wine.console_progress PROPERTIES
  FIXTURES_REQUIRED wine ENVIRONMENT "${WINE_ENVIRONMENT}" TIMEOUT 300)

add_executable(wine_tests wine_test.cpp process_util.cpp)
target_link_libraries(wine_tests PRIVATE GTest::gtest_main)
add_dependencies(wine_tests velcot nullmodem)
target_compile_definitions(wine_tests PRIVATE
  VELCOT_PATH="$<TARGET_FILE:velcot>"
  NULLMODEM_PATH="${CMAKE_BINARY_DIR}/nullmodem"
  VELCOT_EXE_PATH="${VELCOT_WIN32_DIR}/velcot.exe"
  WINE_PATH="${WINE_PROGRAM}"
  WINE_PREFIX="${WINE_PREFIX}")
gtest_discover_tests(wine_tests TEST_PREFIX "wine." DISCOVERY_TIMEOUT 30
  PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300)

