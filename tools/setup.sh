#!/usr/bin/env bash
# Installs what building and testing velcot needs on a Debian machine, then
# cross-builds the Windows program into build-win32/ and builds the Linux
# one, with the tests that run velcot.exe under Wine, into build/.
#
#   bash tools/setup.sh [--bench] [--fuzz] [--armhf] [--kernel] [--no-wine] [--no-build]
#                       [TARGET...]
#
#   --bench     also install lrzsz (sz/rz), which the benchmark compares with
#   --fuzz      also install clang and its runtimes (libFuzzer, sanitizers)
#   --armhf     also install the 32-bit ARM cross compiler, qemu-user and
#               the armhf zlib and zstd (dpkg architecture armhf)
#               (tools/run-armhf.sh builds and tests with them)
#   --kernel    also install QEMU's PC emulator, Debian's kernel and a static
#               busybox (tests/kernel/run.sh boots them)
#   --no-wine   leave out the Windows program, mingw-w64 and Wine
#   --no-build  install only
#   TARGET...   build only these Linux targets (e.g. velcot nullmodem);
#               the Windows program is then neither installed for nor built
#
# Packages are installed only when missing, so a second run installs
# nothing. Nothing is printed unless something is installed or fails; the
# configure and build output goes to build/setup.log and is shown on failure.
# Environment: BUILD_DIR (default build), WIN32_BUILD_DIR (default
# build-win32), BUILD_TYPE (default RelWithDebInfo), CMAKE_OPTIONS (more
# cmake arguments for the Linux build, e.g. -DVELCOT_SANITIZE=ON).
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

want_bench=0
want_wine=1
want_fuzz=0
want_armhf=0
want_kernel=0
build=1
targets=()
for arg in "$@"; do
  case "$arg" in
    --bench) want_bench=1 ;;
    --fuzz) want_fuzz=1 ;;
    --armhf) want_armhf=1 ;;
    --kernel) want_kernel=1 ;;
    --no-wine) want_wine=0 ;;
    --no-build) build=0 ;;
    -h | --help)
      sed -n '2,26s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
      exit 0
      ;;
    -*)
      echo "setup.sh: unknown option $arg" >&2
      exit 2
      ;;
    *) targets+=("$arg") ;;
  esac
done

# ---- packages ----

missing=()
need_command() {  # need_command COMMAND PACKAGE
  command -v "$1" >/dev/null 2>&1 || missing+=("$2")
}
need_package() {  # need_package PACKAGE
  if command -v dpkg >/dev/null 2>&1; then
    # Installed for two architectures (zlib1g-dev, zlib1g-dev:armhf), a
    # package answers only to its name with the architecture.
    local status
    status=$(dpkg -s "$1" 2>/dev/null || dpkg -s "$1:$(dpkg --print-architecture)" 2>/dev/null) ||
      true
    [[ $status == *$'\nStatus: install ok installed'* ]] || missing+=("$1")
  fi
}

need_command cmake cmake
need_command g++ g++
need_command make make
need_package libgtest-dev
need_package zlib1g-dev  # compression between velcots
need_package libzstd-dev
need_package liblzma-dev  # LZMA2 between Linux velcots
need_command socat socat
need_command ser2net ser2net         # network ports: RFC 2217 and raw TCP
need_command picocom picocom         # -p - as a terminal program's command
need_command groff groff-base        # checks the manual page
need_command dpkg-shlibdeps dpkg-dev # the Debian package's dependencies
need_command file file               # cpack needs it to read the program
need_command lintian lintian         # checks the Debian package
need_command kermit ckermit          # the Kermit peer of the peers suite
need_command qemu-system-arm qemu-system-arm  # U-Boot's loadb, in the peers suite
need_package u-boot-qemu             # U-Boot for QEMU's virt board
if [[ $want_bench == 1 ]]; then
  need_command sz lrzsz
fi
if [[ $want_fuzz == 1 ]]; then
  need_command clang++ clang
  need_package libclang-rt-dev  # libFuzzer and the sanitizer runtimes of that clang
fi
if [[ $want_armhf == 1 ]]; then
  need_command arm-linux-gnueabihf-g++ g++-arm-linux-gnueabihf
  need_command qemu-arm qemu-user
  need_package googletest  # GoogleTest's sources, built for armhf
  need_package zlib1g-dev:armhf
  need_package libzstd-dev:armhf
  need_package liblzma-dev:armhf
fi

if [[ $want_kernel == 1 ]]; then
  need_command qemu-system-x86_64 qemu-system-x86
  need_package linux-image-amd64
  need_package busybox-static
  need_command xz xz-utils  # the kernel's image and modules
fi

# The Windows program: cross compiler, GoogleTest's sources, 32-bit Wine.
build_windows=0
[[ $want_wine == 1 && ${#targets[@]} == 0 ]] && build_windows=1
if [[ $build_windows == 1 ]]; then
  # The program's compiler, and the one GoogleTest needs for its unit tests.
  need_command i686-w64-mingw32-g++-win32 g++-mingw-w64-i686-win32
  need_command i686-w64-mingw32-g++-posix g++-mingw-w64-i686-posix
  need_package googletest
  need_package libz-mingw-w64-dev  # zlib, linked into velcot.exe
  need_command wine wine
  need_package wine32:i386
fi

if ((${#missing[@]} > 0)); then
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "setup.sh: please install: ${missing[*]}" >&2
    exit 1
  fi
  as_root=()
  if [[ $(id -u) != 0 ]]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "setup.sh: not root and no sudo; as root run: apt-get install ${missing[*]}" >&2
      exit 1
    fi
    as_root=(sudo)
  fi
  echo "setup.sh: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  # A package of another architecture (wine32:i386, zlib1g-dev:armhf)
  # needs that architecture added to dpkg first.
  for package in "${missing[@]}"; do
    [[ $package == *:* ]] || continue
    if ! dpkg --print-foreign-architectures | grep -qx "${package#*:}"; then
      "${as_root[@]}" dpkg --add-architecture "${package#*:}"
    fi
  done
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# ---- build ----

[[ $build == 1 ]] || exit 0

build_dir=${BUILD_DIR:-build}
win32_dir=${WIN32_BUILD_DIR:-build-win32}
mkdir -p "$build_dir"
log=$build_dir/setup.log
target_args=()
for target in "${targets[@]}"; do
  target_args+=(--target "$target")
done
# The Linux build's tests run the Windows program under Wine.
wine_args=()
if [[ $build_windows == 1 ]]; then
  wine_args=(-DVELCOT_WIN32_DIR="$(pwd)/$win32_dir")
elif [[ $want_wine == 0 ]]; then
  wine_args=(-DVELCOT_WIN32_DIR=)
fi

# Configuring again every time is cheap, and it picks up test sources that
# appeared since the last run.
cross_build() {
  [[ $build_windows == 1 ]] || return 0
  # A cross build set up when velcot.exe took the posix thread model keeps
  # that compiler: it is set up afresh.
  if grep -q '^CMAKE_CXX_COMPILER:.*-posix$' "$win32_dir/CMakeCache.txt" 2>/dev/null; then
    rm -rf "$win32_dir/CMakeCache.txt" "$win32_dir/CMakeFiles"
  fi
  cmake -S . -B "$win32_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
    -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" &&
    cmake --build "$win32_dir" -j"$(nproc)"
}
if ! {
  cross_build &&
    # shellcheck disable=SC2086  # CMAKE_OPTIONS is a list of arguments
    cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
      "${wine_args[@]}" ${CMAKE_OPTIONS:-} &&
    cmake --build "$build_dir" -j"$(nproc)" "${target_args[@]}"
} >"$log" 2>&1; then
  tail -n 80 "$log" >&2
  echo "setup.sh: build failed; full log in $log" >&2
  exit 1
fi
