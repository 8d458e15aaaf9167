# The test of examples/cpp: installs this build's library into a prefix of its
# own, builds the example as a separate project against that installed copy,
# runs it and checks its table.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -P run_example.cmake
file(REMOVE_RECURSE "${WORK_DIR}")
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(OUT "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${WORK_DIR}/prefix")
run(${CMAKE_COMMAND} -S "${SOURCE_DIR}/examples/cpp" -B "${WORK_DIR}/build"
    -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build "${WORK_DIR}/build")
run("${WORK_DIR}/build/pid_loop")
message("${OUT}")
# Every tenth sample of 0 ... 240 and the closing line; both loops settle at
# their new setpoints.
string(REGEX MATCHALL "\n +[0-9]+ +[-0-9.]+ +[-0-9.]+" rows "${OUT}")
list(LENGTH rows n)
if(NOT n EQUAL 25)
  message(FATAL_ERROR "the table has ${n} rows instead of 25")
endif()
if(NOT OUT MATCHES "\n +240 +82.00 +8(1.9|2.0)[0-9]+ +[0-9.]+ +41.50 +41.[45]")
  message(FATAL_ERROR "the loops did not reach their setpoints")
endif()
