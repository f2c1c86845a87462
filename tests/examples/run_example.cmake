# Runs EXAMPLE with ARGS (a ;-list) and checks its exit status against EXPECT_EXIT and its output (standard
# output, then standard error) against the regular expression EXPECT_PATTERN. A failure prints both.
execute_process(COMMAND ${EXAMPLE} ${ARGS} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err
                TIMEOUT 120)
# The last line end is dropped, so that "$" can end a pattern that has to match a single line.
string(REGEX REPLACE "\n$" "" checked "${out}${err}")
if(NOT status STREQUAL "${EXPECT_EXIT}" OR NOT checked MATCHES "${EXPECT_PATTERN}")
  message(FATAL_ERROR "exit ${status} (expected ${EXPECT_EXIT}), output expected to match '${EXPECT_PATTERN}':\n"
                      "--- stdout\n${out}--- stderr\n${err}")
endif()
