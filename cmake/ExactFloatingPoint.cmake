# SPDX-License-Identifier: MIT
# Chooses the options that make the compiler round every double operation
# on its own, as the benchmark requires, and refuses a compiler that cannot
# be made to: a wrong benchmark is worse than none.
#
# Sets ZARVEK_FP_OPTIONS. They go on the targets, so they come after
# CMAKE_CXX_FLAGS on the command line and win over a user's -Ofast.
# Sets ZARVEK_FP_LINK_OPTIONS, for the link line, which carries
# CMAKE_CXX_FLAGS too.
include(CheckCXXSourceCompiles)

if(NOT CMAKE_CXX_COMPILER_ID MATCHES "^(GNU|Clang|AppleClang)$")
  message(FATAL_ERROR
    "zarvek: cannot build with ${CMAKE_CXX_COMPILER_ID} ${CMAKE_CXX_COMPILER}. "
    "The benchmark needs GCC or Clang, whose options it uses to keep IEEE "
    "double rounding (no fast-math, no fused multiply-add, no excess "
    "precision). Choose one with -DCMAKE_CXX_COMPILER=g++ or clang++.")
endif()

# What the compiler itself says about the arithmetic it will generate.
set(_zarvek_fp_probe [=[
#include <float.h>
#if defined(__FAST_MATH__) || (defined(__FINITE_MATH_ONLY__) && __FINITE_MATH_ONLY__)
#error "fast-math is in effect"
#endif
static_assert(FLT_EVAL_METHOD == 0, "doubles are evaluated with excess precision");
int main() { return 0; }
]=])

# Plain IEEE double first; then, for 32-bit x86 whose default is the x87's
# extended precision, SSE2 arithmetic.
set(_zarvek_candidates
  "-ffp-contract=off -fno-fast-math"
  "-ffp-contract=off -fno-fast-math -msse2 -mfpmath=sse")
set(ZARVEK_FP_OPTIONS "")
set(_index 0)
foreach(_options IN LISTS _zarvek_candidates)
  set(CMAKE_REQUIRED_FLAGS "${_options}")
  set(CMAKE_REQUIRED_QUIET ON)
  check_cxx_source_compiles("${_zarvek_fp_probe}" ZARVEK_EXACT_FP_${_index})
  unset(CMAKE_REQUIRED_FLAGS)
  unset(CMAKE_REQUIRED_QUIET)
  if(ZARVEK_EXACT_FP_${_index})
    separate_arguments(ZARVEK_FP_OPTIONS UNIX_COMMAND "${_options}")
    break()
  endif()
  math(EXPR _index "${_index} + 1")
endforeach()

if(NOT ZARVEK_FP_OPTIONS)
  list(JOIN _zarvek_candidates "\" or \"" _tried)
  message(FATAL_ERROR
    "zarvek: ${CMAKE_CXX_COMPILER} cannot be made to round each double "
    "operation on its own: with \"${_tried}\" and CMAKE_CXX_FLAGS "
    "\"${CMAKE_CXX_FLAGS}\" it still reports fast-math or excess precision. "
    "A build like that would not do the benchmark's work; use a compiler "
    "or flags that keep IEEE double arithmetic.")
endif()
message(STATUS "zarvek: exact floating point with ${ZARVEK_FP_OPTIONS}")

# The link: given -Ofast, -ffast-math or -funsafe-math-optimizations, the
# compiler driver links its fast-math start-up file, which turns on
# flush-to-zero before main, and the pass's arithmetic past the subnormal
# edge is no longer IEEE. -fno-fast-math cancels the last two; only a
# later optimisation level cancels -Ofast, and -O3 is the level -Ofast
# asks for (at link time it matters only to link-time optimisation).
string(TOUPPER "${CMAKE_BUILD_TYPE}" _zarvek_type)
separate_arguments(_zarvek_link_flags UNIX_COMMAND
  "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${_zarvek_type}} ${CMAKE_EXE_LINKER_FLAGS} ${CMAKE_EXE_LINKER_FLAGS_${_zarvek_type}}")
set(ZARVEK_FP_LINK_OPTIONS "")
set(_zarvek_start_up_file ON)
foreach(_options "" "-fno-fast-math -fno-unsafe-math-optimizations"
    "-fno-fast-math -fno-unsafe-math-optimizations -O3")
  separate_arguments(_options UNIX_COMMAND "${_options}")
  execute_process(
    COMMAND ${CMAKE_CXX_COMPILER} ${_zarvek_link_flags} ${_options} "-###" -x c++ /dev/null
      -o zarvek-link-probe
    OUTPUT_VARIABLE _zarvek_link ERROR_VARIABLE _zarvek_link)
  if(NOT _zarvek_link MATCHES "crtfastmath")
    set(ZARVEK_FP_LINK_OPTIONS "${_options}")
    set(_zarvek_start_up_file OFF)
    break()
  endif()
endforeach()
if(_zarvek_start_up_file)
  message(FATAL_ERROR
    "zarvek: ${CMAKE_CXX_COMPILER} links its fast-math start-up file "
    "(crtfastmath) with the flags in force, whatever options follow them. It "
    "turns on flush-to-zero before main, and the benchmark's arithmetic would "
    "no longer be IEEE; leave fast-math out of CMAKE_CXX_FLAGS and "
    "CMAKE_EXE_LINKER_FLAGS.")
endif()
if(ZARVEK_FP_LINK_OPTIONS)
  list(JOIN ZARVEK_FP_LINK_OPTIONS " " _options)
  message(STATUS "zarvek: no fast-math start-up file at link, with ${_options}")
endif()
