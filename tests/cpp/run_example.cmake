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

# The strategies: the one built in code settles at both setpoints; the
# reactor file (where this copy reads strategy files) ends near its own.
run("${WORK_DIR}/build/strategy_run")
message("${OUT}")
if(NOT OUT MATCHES "built in code: 600 samples of 9 signals")
  message(FATAL_ERROR "the strategy built in code did not run")
endif()
if(NOT OUT MATCHES "\n +599 +82.0000 +8(1.9[89]|2.0[01])[0-9]+ +[-0-9.]+ +41.5000 +41.(49|50)")
  message(FATAL_ERROR "the strategy built in code did not reach its setpoints")
endif()
if(OUT MATCHES "reads no strategy files")
  message(STATUS "no strategy file run: this copy reads none")
elseif(NOT OUT MATCHES "reactor.toml: 720 samples of 23 signals.*\n +719 +86.0000 +8(5.9|6.0)")
  message(FATAL_ERROR "the reactor strategy file did not run to its setpoint")
endif()
