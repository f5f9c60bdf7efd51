// zarvek-bench: the benchmark's work timed by Google Benchmark, with
// nanosecond clocks, repetitions and machine context, over the same
// workload objects as zarvek.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <set>
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
#include "median.h"

namespace {

// The loop counts whose passes raised the IEEE underflow flag: they
// computed with subnormal numbers (from SUBNORMAL_LOOP on, every pass
// does).
std::set<int32_t> SUBNORMAL_LOOPS;

// The copies (below) run first and all carry the same counters, and
// timed_pass runs before the procedures, which have none, because Google
// Benchmark's CSV output takes its columns from the first run reported and
// aborts on a counter it has no column for.
void copies_bench(benchmark::State &state);
void copy_counts(benchmark::internal::Benchmark *b);
BENCHMARK(copies_bench)
    ->Name("copies")
    ->Apply(copy_counts)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// One iteration is one measurement of one pass: the constants, then the
// pass. items_per_second is benchmark instructions per wall-clock second,
// as zarvek's rating is, so divided by a million it is the MIPS figure
// zarvek would print with a perfect clock. zarvek-bench measures the wall
// clock around the iterations itself: Google Benchmark divides its own
// rate by CPU time unless told to use real time, and then renames the run
// timed_pass/LOOP/real_time, which every filter and script that names
// timed_pass/LOOP would miss. Its Time column is the wall clock too. The
// underflow flag is cleared before the timed loop and read after it.
void timed_pass_bench(benchmark::State &state)
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
    const bool subnormal = std::fetestexcept(FE_UNDERFLOW) != 0;
    if (subnormal) {
        SUBNORMAL_LOOPS.insert(LOOP);
    }
    state.counters["subnormal"] = subnormal ? 1 : 0;
    const double seconds = static_cast<double>(finish.tv_sec - start.tv_sec) +
                           static_cast<double>(finish.tv_nsec - start.tv_nsec) * 1e-9;
    const double items =
        static_cast<double>(state.iterations()) * static_cast<double>(INSTRUCTIONS_PER_LOOP) * LOOP;
    state.counters["items_per_second"] = seconds > 0 ? items / seconds : 0;
}
// Its loop counts are added once the options are read: the short ones,
// the reference loop count, and those --loops names.
benchmark::internal::Benchmark *const TIMED_PASS =
    benchmark::RegisterBenchmark("timed_pass", timed_pass_bench);
std::set<int32_t> PASS_LOOPS = {1, 10, 100, 1000, 10000, REFERENCE_LOOP};

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

// The loop count of a copy's pass (--copies_loops): by default the
// reference loop count, so that the machine's figure and one core's are
// taken at the same loop count; starting and collecting the copies is
// then a small part of an iteration.
int32_t COPIES_LOOP = REFERENCE_LOOP;

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

void copies_bench(benchmark::State &state)
{
    const int N = static_cast<int>(state.range(0));
    const double ITEMS = static_cast<double>(INSTRUCTIONS_PER_LOOP) * COPIES_LOOP; // per copy
    const std::vector<int> pin = PIN_COPIES ? CPUS : std::vector<int>();
    double total = 0;
    double slowest = std::numeric_limits<double>::infinity();
    double fastest = 0;
    ++LOG_RUN;
    int64_t iteration = 0;
    bool subnormal = false;
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): unused by design
        const CopiesResult r = run_copies(N, COPIES_LOOP, pin);
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
            if (COPIES_LOG != nullptr) {
                std::fprintf(COPIES_LOG, "%d\t%d\t%lld\t%zu\t%d\t%d\t%d\t%.9f\t%.6e\t%.9f\t%d\n",
                             LOG_RUN, N, static_cast<long long>(iteration), i + 1,
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
        SUBNORMAL_LOOPS.insert(COPIES_LOOP);
    }
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

// The runs with every coefficient of variation that is not a number set
// to 0. Google Benchmark's is the standard deviation over the mean: 0/0
// for a counter that is 0 in every repetition (subnormal, say), which its
// JSON output writes as NaN, a word JSON does not have. Values that are
// all equal vary by 0.
std::vector<benchmark::BenchmarkReporter::Run>
repaired(const std::vector<benchmark::BenchmarkReporter::Run> &runs)
{
    std::vector<benchmark::BenchmarkReporter::Run> fixed = runs;
    for (auto &run : fixed) {
        if (run.aggregate_name != "cv") {
            continue;
        }
        for (auto &counter : run.counters) {
            if (std::isnan(counter.second.value)) {
                counter.second.value = 0;
            }
        }
    }
    return fixed;
}

// The JSON report written to --benchmark_out's file, repaired, where
// Google Benchmark points this reporter.
class JSONFileRepaired : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context &context) override
    {
        json_.SetOutputStream(&GetOutputStream());
        json_.SetErrorStream(&GetErrorStream());
        return json_.ReportContext(context);
    }
    void ReportRuns(const std::vector<Run> &runs) override { json_.ReportRuns(repaired(runs)); }
    void Finalize() override { json_.Finalize(); }

private:
    benchmark::JSONReporter json_;
};

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

// Passes everything to the display reporter chosen by
// --benchmark_format, repaired, noting the copies/N rates on the way for
// the scaling counter and the summary.
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
        display_->ReportRuns(repaired(runs));
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
    std::fprintf(out, "\nWhole machine: %d CPU%s, copies %s, each one pass of %d loops\n", cpus,
                 cpus == 1 ? "" : "s", PIN_COPIES ? "pinned one per CPU" : "not pinned",
                 static_cast<int>(COPIES_LOOP));
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

// One warning for every pass that computed with subnormal numbers, naming
// their loop counts.
void warn_subnormal(FILE *err)
{
    if (SUBNORMAL_LOOPS.empty()) {
        return;
    }
    std::string counts;
    size_t left = SUBNORMAL_LOOPS.size();
    for (const int32_t LOOP : SUBNORMAL_LOOPS) {
        counts += grouped(LOOP);
        --left;
        counts += left > 1 ? ", " : left == 1 ? " and " : "";
    }
    std::fprintf(err,
                 "zarvek-bench: warning: the pass computed with subnormal numbers at loop count%s "
                 "%s (from %s on, every pass does): %s\n",
                 SUBNORMAL_LOOPS.size() > 1 ? "s" : "", counts.c_str(),
                 grouped(SUBNORMAL_LOOP).c_str(), subnormal_meaning().c_str());
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

// A loop count: a whole decimal number from 1 to INT32_MAX, nothing else.
bool read_loop(const std::string &text, int32_t *LOOP)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    int64_t value = 0;
    for (const char digit : text) {
        value = value * 10 + (digit - '0');
        if (value > INT32_MAX) {
            return false;
        }
    }
    if (value < 1) {
        return false;
    }
    *LOOP = static_cast<int32_t>(value);
    return true;
}

// zarvek-bench's own options, taken out of the arguments before Google
// Benchmark reads them. Returns false, having said why, on a bad one.
bool take_own_options(int *argc, char **argv)
{
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        const std::string arg = argv[i];
        const std::string pin = "--pin_copies=", log = "--copies_log=", loops = "--loops=",
                          copies_loops = "--copies_loops=";
        if (arg == "--loops" || arg == "--copies_loops") {
            std::fprintf(stderr, "zarvek-bench: %s takes its value after '=': %s=N\n", arg.c_str(),
                         arg.c_str());
            return false;
        }
        if (arg.rfind(loops, 0) == 0) {
            // Each loop count of the list once, however often it is named.
            const std::string list = arg.substr(loops.size()) + ",";
            for (size_t at = 0, comma = 0; at < list.size(); at = comma + 1) {
                comma = list.find(',', at);
                const std::string value = list.substr(at, comma - at);
                int32_t LOOP = 0;
                if (!read_loop(value, &LOOP)) {
                    std::fprintf(stderr,
                                 "zarvek-bench: --loops takes whole numbers from 1 to 2147483647, "
                                 "separated by commas, not '%s'\n",
                                 value.c_str());
                    return false;
                }
                PASS_LOOPS.insert(LOOP);
            }
        } else if (arg.rfind(copies_loops, 0) == 0) {
            const std::string value = arg.substr(copies_loops.size());
            if (!read_loop(value, &COPIES_LOOP)) {
                std::fprintf(stderr,
                             "zarvek-bench: --copies_loops takes a whole number from 1 to "
                             "2147483647, not '%s'\n",
                             value.c_str());
                return false;
            }
        } else if (arg.rfind(pin, 0) == 0) {
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
                         "run\tcopies\titeration\tcopy\tpid\tparent\tcpu\tseconds\trate\twhole\t"
                         "subnormal\n");
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
    std::printf("zarvek-bench [--loops=N[,N...]] [--copies_loops=N] [--pin_copies=yes|no]\n"
                "             [--copies_log=FILE] [Google Benchmark options]\n"
                "  --loops=N[,N...]     also run timed_pass at these loop counts\n"
                "  --copies_loops=N     the loop count of each copy's pass (default %d)\n"
                "  --pin_copies=yes|no  run copy i of copies/N on the i-th CPU of the affinity\n"
                "                       set only (default no)\n"
                "  --copies_log=FILE    write each copy's report to FILE, one line each\n\n",
                static_cast<int>(REFERENCE_LOOP));
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
    benchmark::AddCustomContext("copies_loop", std::to_string(COPIES_LOOP));
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
    for (const int32_t LOOP : PASS_LOOPS) {
        TIMED_PASS->Arg(LOOP);
    }
    stop_copies_on_signals();
    // A file in another format than JSON is Google Benchmark's own.
    const std::string out_format = benchmark_option(argc, argv, "benchmark_out_format");
    const bool json_file = !benchmark_option(argc, argv, "benchmark_out").empty() &&
                           (out_format.empty() || out_format == "json");
    JSONFileRepaired file;
    benchmark::Initialize(&argc, argv, print_help);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::BenchmarkReporter *display = benchmark::CreateDefaultDisplayReporter();
    RunsNoted noted(display);
    benchmark::RunSpecifiedBenchmarks(&noted, json_file ? &file : nullptr);
    // The summary goes with the table; beside JSON or CSV on standard
    // output it goes to standard error, so that they stay well formed.
    print_summary(dynamic_cast<benchmark::ConsoleReporter *>(display) != nullptr ? stdout : stderr);
    warn_subnormal(stderr);
    benchmark::Shutdown();
    if (COPIES_LOG != nullptr && std::fclose(COPIES_LOG) != 0) {
        std::fprintf(stderr, "zarvek-bench: the copies' log: %s\n", std::strerror(errno));
        return 1;
    }
    // A benchmark that failed (a copy that died, say) is never a rating.
    return ANY_ERROR ? 1 : 0;
}
