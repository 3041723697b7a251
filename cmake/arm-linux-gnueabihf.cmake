# Cross-builds velcot for 32-bit ARM Linux (armhf: Raspberry Pi OS and other
# 32-bit boards) with Debian's g++-arm-linux-gnueabihf; its tests run the
# programs under qemu-user (tools/run-armhf.sh does all of it):
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#   cmake --build build-armhf -j2 && ctest --test-dir build-armhf
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

find_program(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++ REQUIRED)

set(ARMHF_SYSROOT /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH ${ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The libraries the programs link against are the cross toolchain's.
find_program(QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_ARM} -L ${ARMHF_SYSROOT})
