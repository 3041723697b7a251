# Cross-builds velcot for 32-bit ARM Linux (armhf: Raspberry Pi OS and other
# 32-bit boards) with Debian's g++-arm-linux-gnueabihf; its tests run the
# programs under qemu-user (tools/run-armhf.sh does all of it):
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#   cmake --build build-armhf -j2 && (cd build-armhf && ctest)
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

include(${CMAKE_CURRENT_LIST_DIR}/require-program.cmake)
require_program(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
require_program(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

set(ARMHF_SYSROOT /usr/arm-linux-gnueabihf)
# Debian's armhf packages (zlib1g-dev:armhf) put their libraries in
# /usr/lib/arm-linux-gnueabihf and their headers in /usr/include, which the
# cross compiler searches itself.
set(CMAKE_FIND_ROOT_PATH ${ARMHF_SYSROOT} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The libraries the programs link against are the cross toolchain's.
require_program(QEMU_ARM qemu-arm)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_ARM} -L ${ARMHF_SYSROOT})
