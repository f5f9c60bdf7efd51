// SPDX-License-Identifier: MIT
// zarvek-bench: the benchmark's work timed by Google Benchmark, with
// nanosecond clocks, repetitions and machine context, over the same
// workload objects as zarvek.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <cfenv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <unistd.h>
#include <vector>
#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "build_context.h"
#include "copies.h"
#include "driver.h"
#include "loop_text.h"
#include "options.h"
#include "pass_rate.h"
#include "profile.h"
#include "reporters.h"

namespace {

// One iteration is one measurement of one pass: the constants, then the
// pass. items_per_second is benchmark instructions per wall-clock second,
// as zarvek's rating is, so divided by a million it is the MIPS figure
// zarvek would print with a perfect clock. zarvek-bench measures the wall
// clock around the iterations itself: Google Benchmark divides its own
// rate by CPU time unless told to use real time, and then renames the run
// timed_pass/LOOP/real_time, which every filter and script that names
// timed_pass/LOOP would miss. Its Time column is the wall clock too. The
// underflow flag is cleared before the timed loop and read after it.
void timed_pass_bench(benchmark::State &state, Results *results)
{
    const auto LOOP = static_cast<int32_t>(state.range(0));
    std::feclearexcept(FE_UNDERFLOW);
    timespec start{}, finish{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): unused by design
        assign_constants();
        timed_pass(LOOP);
    }
    clock_gettime(CLOCK_MONOTONIC, &finish);
    report_pass_rate(state, results, LOOP, static_cast<double>(nanoseconds(start, finish)) * 1e-9,
                     std::fetestexcept(FE_UNDERFLOW) != 0);
}

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

// The whole machine: N copies of one measurement, each a process of its
// own (the workload's globals are process-wide, so threads would share
// them), started together. An iteration is timed from the release to the
// last copy's report; items_per_second is then the machine's rate. Each
// copy's report goes to LOG, one line each, when it is open.
struct CopiesSetting {
    int32_t loop;
    std::vector<int> pin; // the CPUs copy i is pinned to, in turn; empty: none
    FILE *log;
};

void copies_bench(benchmark::State &state, const CopiesSetting *setting, Results *results)
{
    const int N = static_cast<int>(state.range(0));
    const int32_t LOOP = setting->loop;
    const double ITEMS = static_cast<double>(INSTRUCTIONS_PER_LOOP) * LOOP; // per copy
    double total = 0;
    double slowest = std::numeric_limits<double>::infinity();
    double fastest = 0;
    const int run = ++results->log_run;
    int64_t iteration = 0;
    bool subnormal = false;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): unused by design
        const CopiesResult r = run_copies(N, LOOP, setting->pin);
        if (!r.error.empty()) {
            state.SkipWithError(r.error.c_str());
            break;
        }
        state.SetIterationTime(r.seconds);
        total += r.seconds;
        ++iteration;
        for (size_t i = 0; i < r.copies.size(); ++i) {
            const CopyReport &c = r.copies[i];
            slowest = std::min(slowest, ITEMS / c.seconds);
            fastest = std::max(fastest, ITEMS / c.seconds);
            subnormal = subnormal || c.subnormal != 0;
            if (setting->log != nullptr) {
                std::fprintf(setting->log, "%d\t%d\t%lld\t%zu\t%d\t%d\t%d\t%.9f\t%.6e\t%.9f\t%d\n",
                             run, N, static_cast<long long>(iteration), i + 1,
                             static_cast<int>(c.pid), static_cast<int>(getpid()), c.cpu, c.seconds,
                             ITEMS / c.seconds, r.seconds, static_cast<int>(c.subnormal));
            }
        }
    }
    if (state.error_occurred()) {
        return;
    }
    const double items = static_cast<double>(state.iterations()) * N * ITEMS;
    state.SetItemsProcessed(static_cast<int64_t>(items));
    state.counters["slowest_copy"] = slowest;
    state.counters["fastest_copy"] = fastest;
    state.counters["subnormal"] = subnormal ? 1 : 0;
    if (subnormal) {
        results->subnormal_loops.insert(LOOP);
    }
    // copies/1 is its own reference; the others need copies/1 reported
    // before them in this process.
    const auto single = results->reported.find(1);
    const double reference = N == 1                              ? items / total
                             : single != results->reported.end() ? single->second.rate
                                                                 : 0;
    if (reference > 0) {
        state.counters["single_copy"] = reference;
        state.counters["scaling"] = items / total / (N * reference);
    }
}

// copies/N for N = 1, 2, 4, ... below the number of CPUs this process
// may run on, and for that number.
void copy_counts(benchmark::internal::Benchmark *b)
{
    const int cpus = static_cast<int>(affinity_cpus().size());
    for (int n = 1; n < cpus; n *= 2) {
        b->Arg(n);
    }
    b->Arg(std::max(cpus, 1));
}

// The benchmarks, in the order they run: the copies first, copies/1
// before the others, whose scaling needs its rate; then the passes and
// the procedures. CSV output, whose columns Google Benchmark takes from
// the first runs it is given, is given them all at the end (WholeRuns).
void register_benchmarks(const BenchOptions &options, const CopiesSetting &copies, Results &results)
{
    // Google Benchmark keeps what it registers for the life of the
    // process. Its inline RegisterBenchmark makes clang's static analyser
    // see a leak on the path where a constructor throws, which the
    // analyser is not shown.
#ifndef __clang_analyzer__
    benchmark::RegisterBenchmark("copies", copies_bench, &copies, &results)
        ->Apply(copy_counts)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::internal::Benchmark *const pass =
        benchmark::RegisterBenchmark("timed_pass", timed_pass_bench, &results);
    for (const int32_t LOOP : options.pass_loops) {
        pass->Arg(LOOP);
    }
    benchmark::internal::Benchmark *const sections =
        benchmark::RegisterBenchmark("sections", sections_bench, &results);
    for (const int32_t LOOP : options.profile_loops) {
        sections->Arg(LOOP);
    }
    benchmark::RegisterBenchmark("PA", pa_bench);
    benchmark::RegisterBenchmark("P3", p3_bench);
    benchmark::RegisterBenchmark("P0", p0_bench);
#else
    (void)options, (void)copies, (void)results;
#endif
}

// Whether the floating-point unit flushes subnormal numbers to zero, from
// its live control register: "true", "false", or "unknown" where this
// processor's register is not read. A build linked with -ffast-math or
// -Ofast sets the mode before main; past the subnormal edge its passes
// then skip work that IEEE arithmetic does.
const char *flush_to_zero()
{
#if defined(__SSE__)
    // MXCSR: FTZ (bit 15) flushes results, DAZ (bit 6) operands.
    const unsigned MXCSR = _mm_getcsr();
    return (MXCSR & (1U << 15 | 1U << 6)) != 0 ? "true" : "false";
#elif defined(__aarch64__)
    // FPCR: FZ is bit 24.
    uint64_t FPCR = 0;
    asm volatile("mrs %0, fpcr" : "=r"(FPCR));
    return (FPCR >> 24 & 1) != 0 ? "true" : "false";
#elif defined(__arm__) && defined(__ARM_FP)
    // FPSCR: FZ is bit 24.
    uint32_t FPSCR = 0;
    asm volatile("vmrs %0, fpscr" : "=r"(FPSCR));
    return (FPSCR >> 24 & 1) != 0 ? "true" : "false";
#elif defined(__riscv)
    // The RISC-V F and D extensions have no such mode: subnormal numbers
    // are always computed.
    return "false";
#else
    return "unknown";
#endif
}

// The value Google Benchmark will take for its option NAME: the last
// --NAME=VALUE given, or else the environment variable of the name in
// capitals. Read before Google Benchmark takes its options out.
std::string benchmark_option(int argc, char **argv, const std::string &name)
{
    const std::string prefix = "--" + name + "=";
    for (int i = argc - 1; i > 0; --i) {
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) {
            return argv[i] + prefix.size();
        }
    }
    std::string variable = name;
    std::transform(variable.begin(), variable.end(), variable.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const char *value = std::getenv(variable.c_str());
    return value != nullptr ? value : "";
}

} // namespace

int main(int argc, char **argv)
{
    BenchOptions options;
    const std::string wrong = take_own_options(&argc, argv, options);
    if (!wrong.empty()) {
        std::fprintf(stderr, "zarvek-bench: %s\n", wrong.c_str());
        return 1;
    }
    if (options.version) {
        std::puts("zarvek-bench " ZARVEK_VERSION);
        return 0;
    }
    CopiesSetting copies{options.copies_loop, {}, nullptr};
    if (!options.copies_log.empty()) {
        copies.log = std::fopen(options.copies_log.c_str(), "w");
        if (copies.log == nullptr) {
            std::fprintf(stderr, "zarvek-bench: cannot write %s: %s\n", options.copies_log.c_str(),
                         std::strerror(errno));
            return 1;
        }
        std::fprintf(copies.log, "run\tcopies\titeration\tcopy\tpid\tparent\tcpu\tseconds\trate\t"
                                 "whole\tsubnormal\n");
    }
    const std::vector<int> cpus = affinity_cpus();
    if (options.pin_copies) {
        copies.pin = cpus;
    }
    // A rating is worth little without the build that made it.
    benchmark::AddCustomContext("compiler", ZARVEK_COMPILER);
    benchmark::AddCustomContext("flags", ZARVEK_WORKLOAD_FLAGS);
    benchmark::AddCustomContext("target", ZARVEK_TARGET);
    benchmark::AddCustomContext("version", ZARVEK_VERSION);
    benchmark::AddCustomContext("copies_cpus", std::to_string(std::max<size_t>(cpus.size(), 1)));
    benchmark::AddCustomContext("copies_pinned", options.pin_copies ? "yes" : "no");
    benchmark::AddCustomContext("copies_loop", std::to_string(options.copies_loop));
    benchmark::AddCustomContext("reference_loop", std::to_string(REFERENCE_LOOP));
    benchmark::AddCustomContext("subnormal_loop", std::to_string(SUBNORMAL_LOOP));
    const std::string flush = flush_to_zero();
    benchmark::AddCustomContext("flush_to_zero", flush);
    if (flush == "true") {
        std::fprintf(stderr,
                     "zarvek-bench: warning: this process flushes subnormal numbers to zero, as "
                     "a build linked with -ffast-math or -Ofast does: from loop count %s on, "
                     "its passes skip work that IEEE arithmetic does, and their rates are not "
                     "the benchmark's\n",
                     grouped(SUBNORMAL_LOOP).c_str());
    }
    Results results;
    register_benchmarks(options, copies, results);
    stop_copies_on_signals();
    // A JSON file is repaired, a CSV file written whole; a file in
    // another format is Google Benchmark's own.
    const std::string out_format = benchmark_option(argc, argv, "benchmark_out_format");
    const bool out = !benchmark_option(argc, argv, "benchmark_out").empty();
    const bool json_file = out && (out_format.empty() || out_format == "json");
    const bool csv_file = out && out_format == "csv";
    const bool csv_display = benchmark_option(argc, argv, "benchmark_format") == "csv";
    JSONFileRepaired file;
    // Deprecated upstream, and the only CSV writer it has.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    benchmark::CSVReporter csv;
#pragma GCC diagnostic pop
    WholeRuns csv_whole(&csv);
    benchmark::Initialize(&argc, argv, print_help);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::BenchmarkReporter *display = benchmark::CreateDefaultDisplayReporter();
    WholeRuns display_whole(display);
    RunsNoted noted(csv_display ? &display_whole : display, results);
    benchmark::BenchmarkReporter *file_reporter = nullptr;
    if (json_file) {
        file_reporter = &file;
    } else if (csv_file) {
        file_reporter = &csv_whole;
    }
    benchmark::RunSpecifiedBenchmarks(&noted, file_reporter);
    // The summary and the profiles go with the table; beside JSON or CSV
    // on standard output they go to standard error, so that they stay
    // well formed.
    FILE *const beside =
        dynamic_cast<benchmark::ConsoleReporter *>(display) != nullptr ? stdout : stderr;
    print_summary(beside, results, std::max(static_cast<int>(cpus.size()), 1), options.pin_copies,
                  options.copies_loop);
    print_profiles(beside, results);
    warn_subnormal(stderr, results);
    benchmark::Shutdown();
    if (copies.log != nullptr && std::fclose(copies.log) != 0) {
        std::fprintf(stderr, "zarvek-bench: the copies' log: %s\n", std::strerror(errno));
        return 1;
    }
    // A benchmark that failed (a copy that died, say) is never a rating.
    return results.any_error ? 1 : 0;
}
