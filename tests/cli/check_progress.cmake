# Runs profile-query on a big report with standard error on a terminal (a
# pseudo-terminal from script(1)) and checks that progress is shown there.
#   cmake -DEXE=... -DREPORT=... -P check_progress.cmake
find_program(SCRIPT script)
if(NOT SCRIPT)
  message("script(1) is not installed: progress on a terminal is not checked")
  return()
endif()
execute_process(
  COMMAND ${SCRIPT} -qec "'${EXE}' '${REPORT}' --limit 1 > /dev/null" /dev/null
  RESULT_VARIABLE status
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "exit status ${status}\n${out}${err}")
endif()
foreach(stage reading parsing)
  if(NOT out MATCHES "${stage} [^:]+: [0-9.]+ MB of [0-9.]+ MB \\([0-9]+%\\)")
    message(FATAL_ERROR "no ${stage} progress on the terminal:\n${out}")
  endif()
endforeach()
