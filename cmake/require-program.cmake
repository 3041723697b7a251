# find_program that stops the configuration when nothing is found, as
# find_program(... REQUIRED) does from CMake 3.18 on.
macro(require_program variable)
  find_program(${variable} ${ARGN})
  if(NOT ${variable})
    string(REPLACE ";" " " velcot_wanted "${ARGN}")
    message(FATAL_ERROR "Could not find ${variable}: ${velcot_wanted}")
  endif()
endmacro()
