# Runs profile-query once and checks what it did. Called by CTest as
#   cmake -DEXE=... -DARGS=a|b|c -DSTATUS=N [-DGOLDEN=file] [-DSTDIN=file]
#         [-DSTDOUT_MATCH=regex] [-DSTDERR_MATCH=regex] [-DSTDOUT_FILE=file]
#         [-DWORKDIR=dir] -P check_command.cmake
# GOLDEN: standard output must equal the file byte for byte. Without GOLDEN
# or STDOUT_MATCH, standard output must be empty. A nonzero STATUS also
# requires exactly one "profile-query: " line on standard error, except 3
# (a diff's failed gate), whose message lists the groups on more lines.
# STDOUT_FILE sends standard output there instead (say
# /dev/full), and then nothing is checked of it.
string(REPLACE "|" ";" arguments "${ARGS}")
set(input_option)
if(DEFINED STDIN)
  set(input_option INPUT_FILE "${STDIN}")
endif()
set(directory_option)
if(DEFINED WORKDIR)
  set(directory_option WORKING_DIRECTORY "${WORKDIR}")
endif()
set(output_option OUTPUT_VARIABLE out)
if(DEFINED STDOUT_FILE)
  set(output_option OUTPUT_FILE "${STDOUT_FILE}")
  set(out "")
endif()
execute_process(
  COMMAND "${EXE}" ${arguments}
  ${input_option}
  ${output_option}
  ${directory_option}
  RESULT_VARIABLE status
  ERROR_VARIABLE err)

set(problems)
if(NOT status STREQUAL STATUS)
  list(APPEND problems "exit status ${status}, expected ${STATUS}")
endif()
if(DEFINED GOLDEN)
  file(READ "${GOLDEN}" expected)
  if(NOT out STREQUAL expected)
    get_filename_component(name "${GOLDEN}" NAME)
    file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/actual-${name}" "${out}")
    list(APPEND problems "standard output differs from ${GOLDEN}; it is in "
                         "${CMAKE_CURRENT_BINARY_DIR}/actual-${name}")
  endif()
elseif(DEFINED STDOUT_MATCH)
  if(NOT out MATCHES "${STDOUT_MATCH}")
    list(APPEND problems "standard output does not match '${STDOUT_MATCH}'")
  endif()
elseif(NOT out STREQUAL "")
  list(APPEND problems "standard output is not empty")
endif()
if(DEFINED STDERR_MATCH AND NOT err MATCHES "${STDERR_MATCH}")
  list(APPEND problems "standard error does not match '${STDERR_MATCH}'")
endif()
if(STATUS STREQUAL "0" AND NOT DEFINED STDERR_MATCH AND NOT err STREQUAL "")
  list(APPEND problems "standard error is not empty")
endif()
if(STATUS STREQUAL "3")
  if(NOT err MATCHES "^profile-query: regression above [^\n]+\n(  [^\n]+\n)+$")
    list(APPEND problems "standard error does not list the regressions")
  endif()
elseif(NOT STATUS STREQUAL "0" AND NOT err MATCHES "^profile-query: [^\n]+\n$")
  list(APPEND problems "standard error is not one profile-query: line")
endif()

if(problems)
  string(REPLACE ";" "\n  " problems "${problems}")
  message(FATAL_ERROR "profile-query ${arguments}\n  ${problems}\n"
                      "standard output:\n${out}\nstandard error:\n${err}")
endif()
