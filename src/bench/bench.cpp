// zarvek-bench: the benchmark's work timed by Google Benchmark, with
// nanosecond clocks, repetitions and machine context, over the same
// workload objects as zarvek.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "build_context.h"
#include "copies.h"
#include "driver.h"

namespace {

// Benchmark instructions per unit of loop count and pass.
constexpr int64_t INSTRUCTIONS_PER_LOOP = 100000;

// The copies (below) run first and all carry the same counters, because
// Google Benchmark's CSV output takes its columns from the first run
// reported and aborts on a counter it has no column for.
void copies_bench(benchmark::State &state);
void copy_counts(benchmark::internal::Benchmark *b);
BENCHMARK(copies_bench)
    ->Name("copies")
    ->Apply(copy_counts)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

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

// The whole machine: N copies of one measurement, each a process of its
// own (the workload's globals are process-wide, so threads would share
// them), started together. An iteration is timed from the release to the
// last copy's report; items_per_second is then the machine's rate.

// The loop count of a copy's pass: about 0.15 s here, so that starting
// and collecting the copies is well under 0.5 % of an iteration.
constexpr int32_t COPY_LOOP = 10000;

// Whether copy i runs only on the i-th CPU of the affinity set
// (--pin_copies), and the CPUs themselves. Not by default: pinned,
// copies/1 measures whichever CPU comes first, slow or busy as it may be,
// where zarvek and timed_pass run where the system puts them.
bool PIN_COPIES = false;
std::vector<int> CPUS;

// Each copy's report, one line each, when --copies_log names a file.
FILE *COPIES_LOG = nullptr;
int LOG_RUN = 0;

// The copies/N figures reported so far, by N: the median rate and the
// number of runs it is the median of, and whether one failed. copies/1's
// is the single-copy rate that scaling needs.
struct Figure {
    double rate;
    size_t runs;
};
std::map<int, Figure> REPORTED;
std::map<int, bool> FAILED_COPIES;
bool ANY_ERROR = false;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void copies_bench(benchmark::State &state)
{
    const int N = static_cast<int>(state.range(0));
    const double ITEMS = static_cast<double>(INSTRUCTIONS_PER_LOOP) * COPY_LOOP; // per copy
    const std::vector<int> pin = PIN_COPIES ? CPUS : std::vector<int>();
    double total = 0;
    double slowest = std::numeric_limits<double>::infinity();
    double fastest = 0;
    ++LOG_RUN;
    int64_t iteration = 0;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): unused by design
        const CopiesResult r = run_copies(N, COPY_LOOP, pin);
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
            if (COPIES_LOG != nullptr) {
                std::fprintf(COPIES_LOG, "%d\t%d\t%lld\t%zu\t%d\t%d\t%d\t%.9f\t%.6e\t%.9f\n",
                             LOG_RUN, N, static_cast<long long>(iteration), i + 1,
                             static_cast<int>(c.pid), static_cast<int>(getpid()), c.cpu, c.seconds,
                             ITEMS / c.seconds, r.seconds);
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
    // copies/1 is its own reference; the others need copies/1 reported
    // before them in this process.
    const auto single = REPORTED.find(1);
    const double reference = N == 1                     ? items / total
                             : single != REPORTED.end() ? single->second.rate
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

// Passes everything to the display reporter chosen by
// --benchmark_format, noting the copies/N rates on the way for the
// scaling counter and the summary.
class RunsNoted : public benchmark::BenchmarkReporter {
public:
    explicit RunsNoted(benchmark::BenchmarkReporter *display) : display_(display)
    {
        SetOutputStream(&display->GetOutputStream());
        SetErrorStream(&display->GetErrorStream());
    }
    bool ReportContext(const Context &context) override { return display_->ReportContext(context); }
    void ReportRuns(const std::vector<Run> &runs) override
    {
        // Each run, or with --benchmark_report_aggregates_only only the
        // aggregates, of which the median is taken.
        std::map<int, std::vector<double>> rates;
        std::map<int, Figure> medians;
        for (const Run &run : runs) {
            ANY_ERROR = ANY_ERROR || run.error_occurred;
            if (run.run_name.function_name != "copies") {
                continue;
            }
            const int N = std::stoi(run.run_name.args);
            const auto rate = run.counters.find("items_per_second");
            if (run.error_occurred) {
                FAILED_COPIES[N] = true;
            } else if (rate == run.counters.end()) {
                continue;
            } else if (run.run_type == Run::RT_Iteration) {
                rates[N].push_back(rate->second.value);
            } else if (run.aggregate_name == "median") {
                medians[N] = {rate->second.value, static_cast<size_t>(run.repetitions)};
            }
        }
        for (const auto &[N, figure] : medians) {
            REPORTED[N] = figure;
        }
        for (const auto &[N, values] : rates) {
            REPORTED[N] = {median(values), values.size()};
        }
        display_->ReportRuns(runs);
    }
    void Finalize() override { display_->Finalize(); }

private:
    benchmark::BenchmarkReporter *display_;
};

// The figure of the machine at a glance: CPUs, the single-copy rate, the
// all-copies rate and the scaling, each the median of its runs.
void print_summary(FILE *out)
{
    const int cpus = std::max(static_cast<int>(CPUS.size()), 1);
    if (REPORTED.empty() && FAILED_COPIES.empty()) {
        return;
    }
    std::fprintf(out, "\nWhole machine: %d CPU%s, copies %s\n", cpus, cpus == 1 ? "" : "s",
                 PIN_COPIES ? "pinned one per CPU" : "not pinned");
    const auto line = [&](const char *label, int N) {
        const auto figure = REPORTED.find(N);
        if (FAILED_COPIES.count(N) != 0) {
            std::fprintf(out, "  %-12s failed (copies/%d)\n", label, N);
        } else if (figure == REPORTED.end()) {
            std::fprintf(out, "  %-12s not run (copies/%d)\n", label, N);
        } else {
            std::fprintf(out, "  %-12s %10.1f MIPS (copies/%d", label, figure->second.rate / 1e6,
                         N);
            if (figure->second.runs > 1) {
                std::fprintf(out, ", median of %zu runs", figure->second.runs);
            }
            std::fprintf(out, ")\n");
        }
    };
    line("one copy:", 1);
    char all[32];
    std::snprintf(all, sizeof all, "%d copies:", cpus);
    if (cpus > 1) {
        line(all, cpus);
    }
    const auto one = REPORTED.find(1);
    const auto every = REPORTED.find(cpus);
    if (cpus > 1 && one != REPORTED.end() && every != REPORTED.end() && FAILED_COPIES.empty()) {
        std::fprintf(out, "  %-12s %10.3f (%d copies' rate / (%d x one copy's rate))\n",
                     "scaling:", every->second.rate / (cpus * one->second.rate), cpus, cpus);
    }
}

// zarvek-bench's own options, taken out of the arguments before Google
// Benchmark reads them. Returns false, having said why, on a bad one.
bool take_own_options(int *argc, char **argv)
{
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        const std::string arg = argv[i];
        const std::string pin = "--pin_copies=", log = "--copies_log=";
        if (arg.rfind(pin, 0) == 0) {
            const std::string value = arg.substr(pin.size());
            if (value == "yes" || value == "true" || value == "1") {
                PIN_COPIES = true;
            } else if (value == "no" || value == "false" || value == "0") {
                PIN_COPIES = false;
            } else {
                std::fprintf(stderr, "zarvek-bench: --pin_copies takes yes or no, not '%s'\n",
                             value.c_str());
                return false;
            }
        } else if (arg.rfind(log, 0) == 0) {
            const std::string path = arg.substr(log.size());
            if (COPIES_LOG != nullptr) {
                std::fclose(COPIES_LOG); // the last one given counts
            }
            COPIES_LOG = std::fopen(path.c_str(), "w");
            if (COPIES_LOG == nullptr) {
                std::fprintf(stderr, "zarvek-bench: cannot write %s: %s\n", path.c_str(),
                             std::strerror(errno));
                return false;
            }
            std::fprintf(COPIES_LOG,
                         "run\tcopies\titeration\tcopy\tpid\tparent\tcpu\tseconds\trate\twhole\n");
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
    argv[kept] = nullptr;
    return true;
}

void print_help()
{
    std::printf(
        "zarvek-bench [--pin_copies=yes|no] [--copies_log=FILE] [Google Benchmark options]\n"
        "  --pin_copies=yes|no  run copy i of copies/N on the i-th CPU of the affinity\n"
        "                       set only (default no)\n"
        "  --copies_log=FILE    write each copy's report to FILE, one line each\n\n");
    benchmark::PrintDefaultHelp();
}

} // namespace

int main(int argc, char **argv)
{
    // A rating is worth little without the build that made it.
    benchmark::AddCustomContext("compiler", ZARVEK_COMPILER);
    benchmark::AddCustomContext("flags", ZARVEK_WORKLOAD_FLAGS);
    benchmark::AddCustomContext("target", ZARVEK_TARGET);
    if (!take_own_options(&argc, argv)) {
        return 1;
    }
    CPUS = affinity_cpus();
    benchmark::AddCustomContext("copies_cpus", std::to_string(std::max<size_t>(CPUS.size(), 1)));
    benchmark::AddCustomContext("copies_pinned", PIN_COPIES ? "yes" : "no");
    benchmark::AddCustomContext("copies_loop", std::to_string(COPY_LOOP));
    stop_copies_on_signals();
    benchmark::Initialize(&argc, argv, print_help);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::BenchmarkReporter *display = benchmark::CreateDefaultDisplayReporter();
    RunsNoted noted(display);
    benchmark::RunSpecifiedBenchmarks(&noted);
    // The summary goes with the table; beside JSON or CSV on standard
    // output it goes to standard error, so that they stay well formed.
    print_summary(dynamic_cast<benchmark::ConsoleReporter *>(display) != nullptr ? stdout : stderr);
    benchmark::Shutdown();
    if (COPIES_LOG != nullptr && std::fclose(COPIES_LOG) != 0) {
        std::fprintf(stderr, "zarvek-bench: the copies' log: %s\n", std::strerror(errno));
        return 1;
    }
    // A benchmark that failed (a copy that died, say) is never a rating.
    return ANY_ERROR ? 1 : 0;
}
