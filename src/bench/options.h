// SPDX-License-Identifier: MIT
// zarvek-bench's own options, read once into BenchOptions and taken out of
// the arguments before Google Benchmark reads its own.
#ifndef ZARVEK_BENCH_OPTIONS_H
#define ZARVEK_BENCH_OPTIONS_H

#include <cstdint>
#include <set>
#include <string>

#include "workload.h"

struct BenchOptions {
    bool version = false;
    // timed_pass's loop counts: the short ones, the reference loop count,
    // and those --loops names.
    std::set<int32_t> pass_loops = {1, 10, 100, 1000, 10000, REFERENCE_LOOP};
    // sections's loop counts: the reference loop count and those --loops
    // names.
    std::set<int32_t> profile_loops = {REFERENCE_LOOP};
    // The loop count of a copy's pass (--copies_loops): by default the
    // reference loop count, so that the machine's figure and one core's
    // are taken at the same loop count; starting and collecting the copies
    // is then a small part of an iteration.
    int32_t copies_loop = REFERENCE_LOOP;
    // Whether copy i runs only on the i-th CPU of the affinity set
    // (--pin_copies). Not by default: pinned, copies/1 measures whichever
    // CPU comes first, slow or busy as it may be, where zarvek and
    // timed_pass run where the system puts them.
    bool pin_copies = false;
    std::string copies_log; // --copies_log: each copy's report, one line each
};

// Takes zarvek-bench's options out of ARGV into OPTIONS. Returns an empty
// string, or what is wrong with them.
std::string take_own_options(int *argc, char **argv, BenchOptions &options);

void print_help();

#endif
