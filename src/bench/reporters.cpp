// SPDX-License-Identifier: MIT
#include "reporters.h"

#include <cmath>
#include <string>

#include "loop_text.h"
#include "median.h"

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

bool JSONFileRepaired::ReportContext(const Context &context)
{
    json_.SetOutputStream(&GetOutputStream());
    json_.SetErrorStream(&GetErrorStream());
    return json_.ReportContext(context);
}

void JSONFileRepaired::ReportRuns(const std::vector<Run> &runs)
{
    json_.ReportRuns(repaired(runs));
}

void JSONFileRepaired::Finalize()
{
    json_.Finalize();
}

WholeRuns::WholeRuns(benchmark::BenchmarkReporter *inner) : inner_(inner)
{
    SetOutputStream(&inner->GetOutputStream());
    SetErrorStream(&inner->GetErrorStream());
}

bool WholeRuns::ReportContext(const Context &context)
{
    // A file reporter's streams are set after it is made.
    inner_->SetOutputStream(&GetOutputStream());
    inner_->SetErrorStream(&GetErrorStream());
    return inner_->ReportContext(context);
}

void WholeRuns::ReportRuns(const std::vector<Run> &runs)
{
    runs_.insert(runs_.end(), runs.begin(), runs.end());
}

void WholeRuns::Finalize()
{
    if (!runs_.empty()) {
        inner_->ReportRuns(runs_);
    }
    inner_->Finalize();
}

RunsNoted::RunsNoted(benchmark::BenchmarkReporter *display, Results &results)
    : display_(display), results_(results)
{
    SetOutputStream(&display->GetOutputStream());
    SetErrorStream(&display->GetErrorStream());
}

bool RunsNoted::ReportContext(const Context &context)
{
    return display_->ReportContext(context);
}

void RunsNoted::ReportRuns(const std::vector<Run> &runs)
{
    // Each run, or with --benchmark_report_aggregates_only only the
    // aggregates, of which the median is taken.
    std::map<int, std::vector<double>> rates;
    std::map<int, Results::Figure> medians;
    for (const Run &run : runs) {
        results_.any_error = results_.any_error || run.error_occurred;
        if (run.run_name.function_name != "copies") {
            continue;
        }
        const int N = std::stoi(run.run_name.args);
        const auto rate = run.counters.find("items_per_second");
        if (run.error_occurred) {
            results_.failed_copies[N] = true;
        } else if (rate == run.counters.end()) {
            continue;
        } else if (run.run_type == Run::RT_Iteration) {
            rates[N].push_back(rate->second.value);
        } else if (run.aggregate_name == "median") {
            medians[N] = {rate->second.value, static_cast<size_t>(run.repetitions)};
        }
    }
    for (const auto &[N, figure] : medians) {
        results_.reported[N] = figure;
    }
    for (const auto &[N, values] : rates) {
        results_.reported[N] = {median(values), values.size()};
    }
    note_profiles(runs, results_);
    display_->ReportRuns(repaired(runs));
}

void RunsNoted::Finalize()
{
    display_->Finalize();
}

void print_summary(FILE *out, const Results &results, int cpus, bool pinned, int32_t copies_loop)
{
    if (results.reported.empty() && results.failed_copies.empty()) {
        return;
    }
    std::fprintf(out, "\nWhole machine: %d CPU%s, copies %s, each one pass of %d loops\n", cpus,
                 cpus == 1 ? "" : "s", pinned ? "pinned one per CPU" : "not pinned",
                 static_cast<int>(copies_loop));
    const auto line = [&](const char *label, int N) {
        const auto figure = results.reported.find(N);
        if (results.failed_copies.count(N) != 0) {
            std::fprintf(out, "  %-12s failed (copies/%d)\n", label, N);
        } else if (figure == results.reported.end()) {
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
    const auto one = results.reported.find(1);
    const auto every = results.reported.find(cpus);
    if (cpus > 1 && one != results.reported.end() && every != results.reported.end() &&
        results.failed_copies.empty()) {
        std::fprintf(out, "  %-12s %10.3f (%d copies' rate / (%d x one copy's rate))\n",
                     "scaling:", every->second.rate / (cpus * one->second.rate), cpus, cpus);
    }
}

void warn_subnormal(FILE *err, const Results &results)
{
    if (results.subnormal_loops.empty()) {
        return;
    }
    std::string counts;
    size_t left = results.subnormal_loops.size();
    for (const int32_t LOOP : results.subnormal_loops) {
        counts += grouped(LOOP);
        --left;
        counts += left > 1 ? ", " : left == 1 ? " and " : "";
    }
    std::fprintf(err,
                 "zarvek-bench: warning: the pass computed with subnormal numbers at loop count%s "
                 "%s (from %s on, every pass does): %s\n",
                 results.subnormal_loops.size() > 1 ? "s" : "", counts.c_str(),
                 grouped(SUBNORMAL_LOOP).c_str(), subnormal_meaning().c_str());
}
