// SPDX-License-Identifier: MIT
// Where the timed pass's sections begin and end. pass.cpp marks the start
// of each section S with SECTION_BOUNDARY(S) and the end of the last with
// SECTION_BOUNDARY(11). In the pass that zarvek and the programs that rate
// run, the mark is nothing at all: no call, no instruction, whatever the
// optimisation (a test compiles pass.cpp with and without the marks and
// compares the objects).
//
// zarvek-bench compiles pass.cpp a second time with ZARVEK_PROFILED_PASS
// defined: there each mark reads the monotonic clock into SECTION_CLOCK[S],
// and what pass.cpp defines is renamed, so that both passes link into one
// program. This header is then included before workload.h, which declares
// the renamed functions.
//
// zarvek-cycles, on a board, holds one pass only, compiled with
// ZARVEK_CYCLES_PASS: each mark reads the core's cycle counter into
// SECTION_CYCLES[S], where the port has one (PORT_HAS_CYCLES, port.h),
// and nothing is renamed.
#ifndef ZARVEK_SECTIONS_H
#define ZARVEK_SECTIONS_H

#include <stdint.h>
#include <time.h>

#if defined(ZARVEK_PROFILED_PASS)
#define timed_pass profiled_pass
#define section_count profiled_section_count
#define SECTION_BOUNDARY(S) clock_gettime(CLOCK_MONOTONIC, &SECTION_CLOCK[S])
#elif defined(ZARVEK_CYCLES_PASS) && defined(PORT_HAS_CYCLES)
#include "port.h"
#define SECTION_BOUNDARY(S) SECTION_CYCLES[S] = port_cycles()
#else
#define SECTION_BOUNDARY(S)
#endif

// The sections' names, by number; index 0 unused.
inline const char *const SECTION_NAME[11] = {
    "",
    "scalar updates",
    "array-element updates",
    "array passed to a procedure",
    "conditional branches",
    "integer arithmetic with array stores",
    "trigonometric functions",
    "procedure calls",
    "array references through a procedure",
    "integer arithmetic",
    "standard functions",
};

// The timed pass with the clock read at every boundary, zarvek-bench's only.
extern "C" void profiled_pass(int32_t LOOP);

// The clock at the start of section S (1 to 10), and at 11 after the last,
// as the last profiled pass read it; index 0 unused. zarvek-bench owns it.
extern timespec SECTION_CLOCK[12];

// The cycle count at each boundary, as SECTION_CLOCK; zarvek-cycles owns it.
extern uint64_t SECTION_CYCLES[12];

#endif
