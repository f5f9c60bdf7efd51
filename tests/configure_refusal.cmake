# SPDX-License-Identifier: MIT
# Configures the project with a compiler that forces fast-math and checks
# that the configure step fails and says why.
file(REMOVE_RECURSE ${WORK})
set(ENV{ZARVEK_REAL_CXX} ${REAL_CXX})
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK} -DBUILD_TESTING=OFF
    -DCMAKE_CXX_COMPILER=${WRAPPER}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(REMOVE_RECURSE ${WORK})
if(status EQUAL 0)
  message(FATAL_ERROR "configure accepted a fast-math compiler:\n${out}")
endif()
string(REGEX REPLACE "[ \n]+" " " text "${err}")
if(NOT text MATCHES "cannot be made to round each double operation on its own")
  message(FATAL_ERROR "configure failed without saying why:\n${err}")
endif()
