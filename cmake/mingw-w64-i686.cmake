# Cross-builds the 32-bit Windows program with mingw-w64 (Debian:
# g++-mingw-w64-i686-win32, and g++-mingw-w64-i686-posix for the tests):
#
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
#   cmake --build build-win32 -j2
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

# The program uses the win32 thread model: the posix one links winpthread
# in, which imports GetTickCount64 and so keeps it from starting on Windows
# XP. GoogleTest needs std::mutex, which only the posix model of GCC 12
# has, so the unit tests are built by mingw-w64-i686-posix.cmake.
if(NOT DEFINED VELCOT_MINGW_THREADS)
  set(VELCOT_MINGW_THREADS win32)
endif()
# A build keeps the compiler it was first set up with.
if(CMAKE_CXX_COMPILER AND NOT CMAKE_CXX_COMPILER MATCHES "-${VELCOT_MINGW_THREADS}$")
  message(FATAL_ERROR "${CMAKE_CXX_COMPILER} is not of the ${VELCOT_MINGW_THREADS} thread model: "
    "delete CMakeCache.txt and CMakeFiles/ in this build and configure again")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/require-program.cmake)
require_program(CMAKE_C_COMPILER NAMES i686-w64-mingw32-gcc-${VELCOT_MINGW_THREADS})
require_program(CMAKE_CXX_COMPILER NAMES i686-w64-mingw32-g++-${VELCOT_MINGW_THREADS})
find_program(CMAKE_RC_COMPILER NAMES i686-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The headers declare nothing newer than Windows XP, and the PE header asks
# for no newer system than XP (5.1), whatever the linker's default: XP's
# loader refuses a program marked for 6.0. Nothing but the DLLs Windows
# ships: libgcc and libstdc++ go in the program.
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0501 -DWINVER=0x0501")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0501 -DWINVER=0x0501")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--major-os-version=5,--minor-os-version=1\
,--major-subsystem-version=5,--minor-subsystem-version=1")
