// SPDX-License-Identifier: MIT
// What zarvek-bench reports beyond Google Benchmark's own: the runs
// noted on their way to the display (the copies' rates, the sections'
// profiles, failures), the JSON file repaired, CSV written whole, the
// whole machine's summary and the subnormal warning.
#ifndef ZARVEK_BENCH_REPORTERS_H
#define ZARVEK_BENCH_REPORTERS_H

#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

#include <benchmark/benchmark.h>

#include "profile.h"

// What the benchmarks and the reporters learn during a run.
struct Results {
    // The loop counts whose passes raised the IEEE underflow flag: they
    // computed with subnormal numbers.
    std::set<int32_t> subnormal_loops;
    // The copies/N figures reported so far, by N: the median rate and the
    // number of runs it is the median of, and whether one failed.
    // copies/1's is the single-copy rate that scaling needs.
    struct Figure {
        double rate;
        size_t runs;
    };
    std::map<int, Figure> reported;
    std::map<int, bool> failed_copies;
    bool any_error = false;
    int log_run = 0; // the copies' runs so far, numbered in the log
    // The sections/LOOP profiles reported so far, by LOOP.
    std::map<int32_t, Profile> profiles;
};

// The runs with every coefficient of variation that is not a number set
// to 0. Google Benchmark's is the standard deviation over the mean: 0/0
// for a counter that is 0 in every repetition (subnormal, say), which its
// JSON output writes as NaN, a word JSON does not have. Values that are
// all equal vary by 0.
std::vector<benchmark::BenchmarkReporter::Run>
repaired(const std::vector<benchmark::BenchmarkReporter::Run> &runs);

// The JSON report written to --benchmark_out's file, repaired, where
// Google Benchmark points this reporter.
class JSONFileRepaired : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context &context) override;
    void ReportRuns(const std::vector<Run> &runs) override;
    void Finalize() override;

private:
    benchmark::JSONReporter json_;
};

// A reporter, CSV's, given every run at once when the benchmarks have
// run. Google Benchmark's CSV output takes its columns from the first
// runs reported and aborts on a counter it has no column for; the runs of
// copies, timed_pass and sections each have counters the others lack.
// Given all at once, it takes the columns of them all, and leaves a run's
// cells empty where it has no such counter.
class WholeRuns : public benchmark::BenchmarkReporter {
public:
    explicit WholeRuns(benchmark::BenchmarkReporter *inner);
    bool ReportContext(const Context &context) override;
    void ReportRuns(const std::vector<Run> &runs) override;
    void Finalize() override;

private:
    benchmark::BenchmarkReporter *inner_;
    std::vector<Run> runs_;
};

// Passes everything to the display reporter chosen by
// --benchmark_format, repaired, noting in RESULTS the copies/N rates on
// the way for the scaling counter and the summary, and any failure.
class RunsNoted : public benchmark::BenchmarkReporter {
public:
    RunsNoted(benchmark::BenchmarkReporter *display, Results &results);
    bool ReportContext(const Context &context) override;
    void ReportRuns(const std::vector<Run> &runs) override;
    void Finalize() override;

private:
    benchmark::BenchmarkReporter *display_;
    Results &results_;
};

// The figure of the machine at a glance: CPUS, the single-copy rate, the
// all-copies rate and the scaling, each the median of its runs.
void print_summary(FILE *out, const Results &results, int cpus, bool pinned, int32_t copies_loop);

// One warning for every pass that computed with subnormal numbers, naming
// their loop counts.
void warn_subnormal(FILE *err, const Results &results);

#endif
