# A cross build's tests under its emulator (qemu-user): the unit tests, and
# one file sent from one velcot to another over the virtual cable, all three
# programs emulated. qemu lacks the termios2 ioctls that both programs set
# and read rates with, so the preloaded driver stand-in serves them.
string(REPLACE ";" " " emulator "${CMAKE_CROSSCOMPILING_EMULATOR}")
# Written at configure time, where the programs' paths are known: file(GENERATE)
# sets permissions only from CMake 3.19 on.
foreach(program velcot nullmodem)
  file(WRITE ${CMAKE_BINARY_DIR}/emulated.tmp/${program}
    "#!/bin/sh\nexec ${emulator} -E LD_PRELOAD=${CMAKE_CURRENT_BINARY_DIR}/libfake_uart.so \
${CMAKE_BINARY_DIR}/${program} \"$@\"\n")
  file(COPY ${CMAKE_BINARY_DIR}/emulated.tmp/${program} DESTINATION ${CMAKE_BINARY_DIR}/emulated
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
      WORLD_READ WORLD_EXECUTE)
endforeach()
add_test(NAME emulated.transfer COMMAND ${CMAKE_COMMAND} -E env
  VELCOT=${CMAKE_BINARY_DIR}/emulated/velcot NULLMODEM=${CMAKE_BINARY_DIR}/emulated/nullmodem
  DEMO_SIZE=20000 bash ${PROJECT_SOURCE_DIR}/tools/demo.sh "" 115200)
set_tests_properties(emulated.transfer PROPERTIES TIMEOUT 300)
