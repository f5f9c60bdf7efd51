// SPDX-License-Identifier: MIT
// The benchmark's work: the process-wide numeric state, the three work
// procedures and the timed pass.
//
// Everything the workload touches is volatile. That is what keeps the
// optimiser honest: each read and write of a global, of an element of E1
// and of a local of the pass is a side effect the compiler must perform,
// once, in order, so no loop can be dropped, shortened, hoisted or folded,
// and no result can be kept in a register instead of its variable.
#ifndef ZARVEK_WORKLOAD_H
#define ZARVEK_WORKLOAD_H

#include <float.h>
#include <stdint.h>

// The benchmark's figure is for IEEE double arithmetic, every operation
// rounded on its own. The build's options ensure it; this stops a build
// made some other way.
#if defined(__FAST_MATH__) || FLT_EVAL_METHOD != 0
#error "the workload needs IEEE double rounding: no fast-math, and SSE2 arithmetic on 32-bit x86"
#endif

// The procedures and the pass must stay real calls that run their whole
// body: never inlined, never cloned or specialised from what a caller
// passes (GCC's noipa), so the call counts a profiler sees are the
// benchmark's.
#if defined(__clang__)
#define WORKLOAD_CALL [[gnu::noinline]]
#elif defined(__GNUC__)
#define WORKLOAD_CALL [[gnu::noinline, gnu::noipa]]
#else
#define WORKLOAD_CALL
#endif

// Integer state: loop counter of PA, branch state, operands and indices.
extern volatile int32_t J, K, L;
// Constants assigned by the driver at the start of every measurement.
extern volatile double T, T1, T2;
// Work array; elements 1 to 4 are used, element 0 never is.
extern volatile double E1[5];

extern "C" {
// Six rounds of updates of E[1..4]; leaves J = 6.
WORKLOAD_CALL void PA(volatile double (&E)[5]);
// Stores a combination of A and B into OUT; A and B are copies.
WORKLOAD_CALL void P3(double A, double B, volatile double &OUT);
// Copies three elements of E1 among each other, chosen by J, K and L.
WORKLOAD_CALL void P0();
// One timed pass: the ten sections with counts scaled by LOOP (>= 1).
WORKLOAD_CALL void timed_pass(int32_t LOOP);
}

// The first loop count whose pass computes with subnormal numbers. Section
// 2 shrinks E1 a little every repetition and PA carries it further; from
// this count on, section 3's elements fall below the smallest normal
// double and stay there, raising the IEEE underflow flag. Many processors
// handle subnormal operands in microcode, many times slower, so a rate
// measured from here on measures that as much as the processor's speed.
// Every operation of sections 2 and 3 is exactly rounded, so the edge is
// the same on every processor that computes the pass bit for bit.
constexpr int32_t SUBNORMAL_LOOP = 327584;

// Benchmark instructions per unit of loop count in one pass: a pass of
// LOOP is LOOP x 100,000 of them, and the rating in MIPS is their count
// per second over a million.
constexpr int64_t INSTRUCTIONS_PER_LOOP = 100000;

// The loop count every program measures at by default: on the plateau
// where the rate no longer rises with the loop count (section 6's values
// have settled), and well below the subnormal edge.
constexpr int32_t REFERENCE_LOOP = 100000;

// Repetitions of section S (1 to 10) for a loop count: multiplier x LOOP,
// in 64 bits so that every LOOP up to INT32_MAX runs its full count.
int64_t section_count(int S, int32_t LOOP);

#endif
