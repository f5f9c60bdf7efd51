// SPDX-License-Identifier: MIT
// What every benchmark that times whole passes reports: timed_pass and
// sections alike.
#ifndef ZARVEK_BENCH_PASS_RATE_H
#define ZARVEK_BENCH_PASS_RATE_H

#include <cstdint>
#include <ctime>

#include <benchmark/benchmark.h>

#include "reporters.h"

// Nanoseconds from START to FINISH on one clock.
int64_t nanoseconds(const timespec &start, const timespec &finish);

// The counters of STATE's passes of LOOP, which took SECONDS of wall clock
// together: items_per_second, the benchmark instructions per second, as
// zarvek's rating is; and subnormal, 1 when they raised the IEEE underflow
// flag, in which case the loop count is noted in RESULTS for the warning.
void report_pass_rate(benchmark::State &state, Results *results, int32_t LOOP, double seconds,
                      bool subnormal);

#endif
