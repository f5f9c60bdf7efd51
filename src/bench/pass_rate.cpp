// SPDX-License-Identifier: MIT
#include "pass_rate.h"

#include "workload.h"

int64_t nanoseconds(const timespec &start, const timespec &finish)
{
    return (static_cast<int64_t>(finish.tv_sec) - start.tv_sec) * 1000000000 +
           (finish.tv_nsec - start.tv_nsec);
}

void report_pass_rate(benchmark::State &state, Results *results, int32_t LOOP, double seconds,
                      bool subnormal)
{
    if (subnormal) {
        results->subnormal_loops.insert(LOOP);
    }
    state.counters["subnormal"] = subnormal ? 1 : 0;
    const double items =
        static_cast<double>(state.iterations()) * static_cast<double>(INSTRUCTIONS_PER_LOOP) * LOOP;
    state.counters["items_per_second"] = seconds > 0 ? items / seconds : 0;
}
