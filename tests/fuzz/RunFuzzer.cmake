# SPDX-License-Identifier: GPL-3.0-or-later
# Runs one fuzz target for SECONDS over a fresh copy of the seed corpus
# CORPUS in WORK/corpus (the committed seeds are never written to); crash
# inputs land in WORK/artifacts. Fails when the target reports anything.
#   cmake -DFUZZER=... -DCORPUS=... -DWORK=... -DSECONDS=... -P RunFuzzer.cmake
foreach(var FUZZER CORPUS WORK SECONDS)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "RunFuzzer.cmake needs -D${var}=...")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
file(GLOB seeds ${CORPUS}/*)
if(NOT seeds)
  message(FATAL_ERROR "no seeds in ${CORPUS}")
endif()
file(COPY ${seeds} DESTINATION ${WORK}/corpus)
# -close_fd_mask=2 keeps the readers' own stderr lines out of the log;
# libFuzzer and the sanitizers still report there.
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -timeout=10 -close_fd_mask=2 -print_final_stats=1
          -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(GLOB found ${WORK}/artifacts/*)
  message(FATAL_ERROR "${FUZZER} failed (${result}); inputs: ${found}")
endif()
