# Fails when any file matches PATTERN: what a failed command must not leave.
#   cmake -DPATTERN=glob -P check_absent.cmake
file(GLOB found "${PATTERN}")
if(found)
  message(FATAL_ERROR "left behind: ${found}")
endif()
