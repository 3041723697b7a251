# The Windows cross build with the posix thread model, whose std::mutex
# GoogleTest needs: the Windows build of the unit tests uses it by itself.
set(VELCOT_MINGW_THREADS posix)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-i686.cmake)
