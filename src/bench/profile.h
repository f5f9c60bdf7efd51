// SPDX-License-Identifier: MIT
// sections/LOOP: the timed pass profiled section by section, with the
// clock read at every section boundary, and the table of where its time
// goes that the console shows after the run.
#ifndef ZARVEK_BENCH_PROFILE_H
#define ZARVEK_BENCH_PROFILE_H

#include <cstddef>
#include <cstdio>
#include <vector>

#include <benchmark/benchmark.h>

struct Results;

// One sections/LOOP run as reported: each section's nanoseconds per unit
// of loop count (index 1 to 10), the median over RUNS runs.
struct Profile {
    double ns[11];
    size_t runs;
};

// One profiled pass of LOOP per iteration. Its counters are the timed
// pass's (items_per_second, subnormal) and section_1 to section_10, each
// section's nanoseconds per unit of loop count averaged over the
// iterations.
void sections_bench(benchmark::State &state, Results *results);

// Notes in RESULTS the profile of every sections run among RUNS: the
// median of its repetitions, or the median aggregate where only the
// aggregates are reported.
void note_profiles(const std::vector<benchmark::BenchmarkReporter::Run> &runs, Results &results);

// For each profile noted, a table of the sections: number, name,
// nanoseconds per unit of loop count and share of the pass.
void print_profiles(FILE *out, const Results &results);

#endif
