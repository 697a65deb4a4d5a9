# Makes the stores the store cases ask: the example report converted, the
# diff reports converted under their JSON names (a store is told by its
# bytes, not its name), a store exported back to JSON, and two damaged
# stores. Called by CTest as
#   cmake -DEXE=... -DREPORT=... -DDIFF=folder -DOUT=folder -P make_stores.cmake
file(REMOVE_RECURSE "${OUT}")
file(MAKE_DIRECTORY "${OUT}")
function(run)
  execute_process(COMMAND "${EXE}" ${ARGN} RESULT_VARIABLE status
                  ERROR_VARIABLE err)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "profile-query ${ARGN}: status ${status}\n${err}")
  endif()
endfunction()
run(convert "${REPORT}" -o "${OUT}/report.zun")
run(convert "${DIFF}/base.json" -o "${OUT}/base.json")
run(convert "${DIFF}/new.json" -o "${OUT}/new.json")
run(export "${OUT}/report.zun" -o "${OUT}/exported.json")
# The example in each store layout, the second written from the first.
run(convert "${REPORT}" --store-version 2 -o "${OUT}/report_v2.zun")
run(convert "${OUT}/report_v2.zun" --store-version 1 -o "${OUT}/report_v1.zun")
# The example twice over, from a store and a JSON report.
run(convert "${OUT}/report.zun" "${REPORT}" -o "${OUT}/twice.zun")
