# The compression libraries velcot_core links against: zlib everywhere
# (Debian: zlib1g-dev; for velcot.exe libz-mingw-w64-dev; for armhf
# zlib1g-dev:armhf), and zstd where VELCOT_ZSTD is on, as by default on Linux
# (libzstd-dev; libzstd-dev:armhf), and liblzma where VELCOT_LZMA is on, as
# by default on Linux (liblzma-dev; liblzma-dev:armhf). Code that uses zstd
# or liblzma is built only where VELCOT_ZSTD or VELCOT_LZMA is defined to 1.
# Debian has neither for mingw-w64: velcot.exe has deflate alone.
#
# A program linked with -static (velcot.exe, whose imports must stay within
# Windows XP's DLLs; the kernel suite's velcot) takes the static archives.
set(saved_suffixes ${CMAKE_FIND_LIBRARY_SUFFIXES})
if(CMAKE_EXE_LINKER_FLAGS MATCHES "(^| )-static( |$)")
  set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
endif()

find_package(ZLIB REQUIRED)
target_link_libraries(velcot_core PUBLIC ZLIB::ZLIB)

if(WIN32)
  set(zstd_default OFF)
else()
  set(zstd_default ON)
endif()
option(VELCOT_ZSTD "Link zstd, the codec between two Linux velcots" ${zstd_default})
if(VELCOT_ZSTD)
  find_path(ZSTD_INCLUDE_DIR zstd.h)
  find_library(ZSTD_LIBRARY zstd)
  if(NOT ZSTD_INCLUDE_DIR OR NOT ZSTD_LIBRARY)
    message(FATAL_ERROR "zstd not found: install libzstd-dev, or configure with -DVELCOT_ZSTD=OFF")
  endif()
  target_include_directories(velcot_core SYSTEM PUBLIC ${ZSTD_INCLUDE_DIR})
  target_link_libraries(velcot_core PUBLIC ${ZSTD_LIBRARY})
  target_compile_definitions(velcot_core PUBLIC VELCOT_ZSTD=1)
endif()

option(VELCOT_LZMA "Link liblzma, LZMA2 between two Linux velcots" ${zstd_default})
if(VELCOT_LZMA)
  find_path(LZMA_INCLUDE_DIR lzma.h)
  find_library(LZMA_LIBRARY lzma)
  if(NOT LZMA_INCLUDE_DIR OR NOT LZMA_LIBRARY)
    message(FATAL_ERROR "liblzma not found: install liblzma-dev, or configure with -DVELCOT_LZMA=OFF")
  endif()
  target_include_directories(velcot_core SYSTEM PUBLIC ${LZMA_INCLUDE_DIR})
  target_link_libraries(velcot_core PUBLIC ${LZMA_LIBRARY})
  target_compile_definitions(velcot_core PUBLIC VELCOT_LZMA=1)
endif()

set(CMAKE_FIND_LIBRARY_SUFFIXES ${saved_suffixes})

# What the codecs make of the benchmark's corpus (bench/run.sh), file by
# file and, through velcot's compressed stream, as one session.
if(VELCOT_ZSTD AND NOT WIN32 AND EXISTS ${CMAKE_SOURCE_DIR}/bench/codec_ratio.cpp)
  add_executable(codec_ratio bench/codec_ratio.cpp)
  target_link_libraries(codec_ratio PRIVATE velcot_core)  # codec.h, its zlib and zstd
endif()
