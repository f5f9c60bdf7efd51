// SPDX-License-Identifier: MIT
// The driver: command line, measurement cycle and report.
#ifndef ZARVEK_DRIVER_H
#define ZARVEK_DRIVER_H

#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include "workload.h"

// A 32-bit time_t runs out in January 2038; on 32-bit glibc the build asks
// for the 64-bit one.
static_assert(sizeof(time_t) >= 8, "zarvek needs a 64-bit time_t (_TIME_BITS=64 on glibc)");

struct CommandLine {
    int32_t requested_loops; // 1000 unless an argument sets it
    bool continuous_mode;
    bool usage_error; // a count of 0 or less was given
};

// Reads the arguments left to right; stops at the first bad one.
CommandLine parse_command_line(int argc, const char *const *argv);

// Reads TEXT the way atol does (leading white space, optional sign,
// digits up to the first other character, none = 0), saturating at the
// 32-bit limits instead of overflowing.
int32_t parse_loops(const char *TEXT);

// Writes the usage line to ERR as one block.
void write_usage(FILE *err);

// Writes the report of one measurement: the empty line, then the loop and
// rating lines, or the insufficient-duration message, in which case it
// returns false and the process must end with status 1. The report is
// flushed, so that it leaves the process before the next measurement
// starts: a continuous run killed from outside keeps every result, and a
// write error shows at the measurement that could not be written.
bool report_measurement(FILE *out, int32_t LOOP, int iterations, time_t start_time,
                        time_t finish_time);

// Flushes OUT at exit. A report that could not be written is a failure:
// names the error on ERR and returns 1; otherwise returns STATUS.
int finish_output(FILE *out, FILE *err, int status);

// The constants of the workload, assigned at the start of every
// measurement (each the nearest double to its decimal).
inline void assign_constants()
{
    T = 0.499975;
    T1 = 0.50025;
    T2 = 2.0;
}

inline time_t wall_clock()
{
    return time(nullptr);
}

// Runs the benchmark for a command line and returns the exit status
// before the final flush. CLOCK reads the wall clock in whole seconds; it
// is a template argument so that the real clock is called directly and
// the timed interval holds nothing but the constants and the passes.
template <time_t (*CLOCK)()>
int run_benchmark(int argc, const char *const *argv, FILE *out, FILE *err)
{
    const CommandLine command = parse_command_line(argc, argv);
    if (command.usage_error) {
        write_usage(err);
        return 1;
    }
    do {
        const time_t start_time = CLOCK();
        assign_constants();
        const int32_t LOOP = command.requested_loops;
        const int iterations = 1;
        for (int pass = 1; pass <= iterations; ++pass) {
            timed_pass(LOOP);
        }
        const time_t finish_time = CLOCK();
        if (!report_measurement(out, LOOP, iterations, start_time, finish_time)) {
            return 1;
        }
        // A report that could not be written ends the run; finish_output
        // then turns it into status 1.
    } while (command.continuous_mode && !ferror(out));
    return 0;
}

#endif
