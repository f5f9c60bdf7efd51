// SPDX-License-Identifier: MIT
// Copies of one measurement, each in a child process with its own
// workload globals, started together and timed as a whole.
#ifndef ZARVEK_BENCH_COPIES_H
#define ZARVEK_BENCH_COPIES_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// What a copy tells the parent after its pass.
struct CopyReport {
    pid_t pid;         // the copy's own process id
    int32_t cpu;       // the CPU it finished on
    double seconds;    // its pass, constants included, by its monotonic clock
    int32_t subnormal; // 1 when the pass raised the IEEE underflow flag
};

struct CopiesResult {
    double seconds = 0; // from the release to the last copy's report
    std::vector<CopyReport> copies;
    std::string error; // empty when every copy ran its pass and exited 0
};

// The CPUs this process may run on, in ascending order.
std::vector<int> affinity_cpus();

// Starts N copies and has each, once all are ready, assign the constants
// and run one pass of LOOP. With PIN not empty, copy i runs on CPU
// PIN[i % PIN.size()] only. Every copy has been reaped when this returns.
CopiesResult run_copies(int N, int32_t LOOP, const std::vector<int> &PIN);

// Makes SIGINT, SIGTERM and SIGHUP kill and reap the running copies before
// the process ends by the signal as it would have.
void stop_copies_on_signals();

#endif
