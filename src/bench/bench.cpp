// zarvek-bench: the benchmark's work timed by Google Benchmark, with
// nanosecond clocks, repetitions and machine context, over the same
// workload objects as zarvek.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "build_context.h"
#include "driver.h"

namespace {

// Benchmark instructions per unit of loop count and pass.
constexpr int64_t INSTRUCTIONS_PER_LOOP = 100000;

// One iteration is one measurement of one pass: the constants, then the
// pass. items_per_second is then benchmark instructions per second, and
// divided by a million it is zarvek's MIPS figure with a perfect clock.
void timed_pass_bench(benchmark::State &state)
{
    const auto LOOP = static_cast<int32_t>(state.range(0));
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): unused by design
        assign_constants();
        timed_pass(LOOP);
    }
    state.SetItemsProcessed(state.iterations() * INSTRUCTIONS_PER_LOOP * LOOP);
}
BENCHMARK(timed_pass_bench)->Name("timed_pass")->Arg(1)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000);

// The procedures on their own; items_per_second is calls per second.

// PA on E1 as section 3 finds it. Each call shrinks the elements, so they
// are set again every 1000 calls, before they reach subnormal values.
void pa_bench(benchmark::State &state)
{
    assign_constants();
    int calls = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): unused by design
        if (calls-- == 0) {
            E1[1] = 1.0;
            E1[2] = -1.0;
            E1[3] = -1.0;
            E1[4] = -1.0;
            calls = 999;
        }
        PA(E1);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(pa_bench)->Name("PA");

// P3 as section 7 calls it.
void p3_bench(benchmark::State &state)
{
    assign_constants();
    volatile double W = 1.0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): unused by design
        P3(1.0, 1.0, W);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(p3_bench)->Name("P3");

// P0 with the indices section 8 sets.
void p0_bench(benchmark::State &state)
{
    J = 1;
    K = 2;
    L = 3;
    E1[1] = 1.0;
    E1[2] = 2.0;
    E1[3] = 3.0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): unused by design
        P0();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(p0_bench)->Name("P0");

} // namespace

int main(int argc, char **argv)
{
    // A rating is worth little without the build that made it.
    benchmark::AddCustomContext("compiler", ZARVEK_COMPILER);
    benchmark::AddCustomContext("flags", ZARVEK_WORKLOAD_FLAGS);
    benchmark::AddCustomContext("target", ZARVEK_TARGET);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
