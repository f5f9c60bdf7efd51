# SPDX-License-Identifier: MIT
# zarvek_sub_build(NAME [BINARY_DIR DIR] [TARGETS TARGET...] ARGS ARG...):
# another build of this source tree, configured and built when this one
# is built (ExternalProject), with cmake's arguments ARGS and nothing of
# this build's flags: neither its cache (CMAKE_CXX_FLAGS and the like are
# not passed on) nor the flags of the environment that CMake would read
# (CXXFLAGS, LDFLAGS...), which are removed from both steps. The
# bare-metal boards and the verifier for this machine are built with
# their own toolchain's flags alone: a user's -march=native or
# -fsanitize=address is for the build they asked for.
include(ExternalProject)

function(zarvek_sub_build NAME)
  cmake_parse_arguments(PARSE_ARGV 1 sub "" "BINARY_DIR" "TARGETS;ARGS")
  set(clean ${CMAKE_COMMAND} -E env)
  foreach(variable CFLAGS CXXFLAGS CPPFLAGS LDFLAGS ASMFLAGS)
    list(APPEND clean --unset=${variable})
  endforeach()
  set(build ${clean} ${CMAKE_COMMAND} --build <BINARY_DIR>)
  if(sub_TARGETS)
    list(APPEND build --target ${sub_TARGETS})
  endif()
  set(where "")
  if(sub_BINARY_DIR)
    set(where BINARY_DIR ${sub_BINARY_DIR})
  endif()
  ExternalProject_Add(${NAME}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    ${where}
    CONFIGURE_COMMAND ${clean} ${CMAKE_COMMAND} -G ${CMAKE_GENERATOR} -S <SOURCE_DIR>
      -B <BINARY_DIR> ${sub_ARGS}
    BUILD_COMMAND ${build}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
endfunction()
