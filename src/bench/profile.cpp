// SPDX-License-Identifier: MIT
#include "profile.h"

#include <cfenv>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>

#include "driver.h"
#include "loop_text.h"
#include "median.h"
#include "pass_rate.h"
#include "reporters.h"
#include "sections.h"

timespec SECTION_CLOCK[12];

namespace {

std::string counter_name(int S)
{
    return "section_" + std::to_string(S);
}

// The section counters of RUN into PROFILE; false when it has none.
bool read_profile(const benchmark::BenchmarkReporter::Run &run, Profile *profile)
{
    for (int S = 1; S <= 10; ++S) {
        const auto counter = run.counters.find(counter_name(S));
        if (counter == run.counters.end()) {
            return false;
        }
        profile->ns[S] = counter->second.value;
    }
    return true;
}

} // namespace

// The whole loop is timed as timed_pass's is, for the same rate; each
// section from the clock read at its start to the one read at the next
// boundary, so that the sections' sum leaves out only the constants and
// the loop's own bookkeeping.
void sections_bench(benchmark::State &state, Results *results)
{
    const auto LOOP = static_cast<int32_t>(state.range(0));
    int64_t ns[11] = {};
    std::feclearexcept(FE_UNDERFLOW);
    timespec start{}, finish{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (auto _ : state) { // NOLINT(clang-analyzer-deadcode.DeadStores): unused by design
        assign_constants();
        profiled_pass(LOOP);
        for (int S = 1; S <= 10; ++S) {
            ns[S] += nanoseconds(SECTION_CLOCK[S], SECTION_CLOCK[S + 1]);
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &finish);
    report_pass_rate(state, results, LOOP, static_cast<double>(nanoseconds(start, finish)) * 1e-9,
                     std::fetestexcept(FE_UNDERFLOW) != 0);
    const double units = static_cast<double>(state.iterations()) * LOOP;
    for (int S = 1; S <= 10; ++S) {
        state.counters[counter_name(S)] = static_cast<double>(ns[S]) / units;
    }
}

void note_profiles(const std::vector<benchmark::BenchmarkReporter::Run> &runs, Results &results)
{
    std::map<int32_t, std::vector<std::vector<double>>> each; // by LOOP, section, run
    for (const auto &run : runs) {
        if (run.run_name.function_name != "sections" || run.error_occurred) {
            continue;
        }
        const bool iteration = run.run_type == benchmark::BenchmarkReporter::Run::RT_Iteration;
        if (!iteration && run.aggregate_name != "median") {
            continue;
        }
        const auto LOOP = static_cast<int32_t>(std::stol(run.run_name.args));
        Profile profile{{}, iteration ? 1 : static_cast<size_t>(run.repetitions)};
        if (!read_profile(run, &profile)) {
            continue;
        }
        if (!iteration) {
            results.profiles[LOOP] = profile;
            continue;
        }
        auto &values = each[LOOP];
        values.resize(11);
        for (int S = 1; S <= 10; ++S) {
            values[S].push_back(profile.ns[S]);
        }
    }
    for (const auto &[LOOP, values] : each) {
        Profile &profile = results.profiles[LOOP];
        profile.runs = values[1].size();
        for (int S = 1; S <= 10; ++S) {
            profile.ns[S] = median(values[S]);
        }
    }
}

void print_profiles(FILE *out, const Results &results)
{
    for (const auto &[LOOP, profile] : results.profiles) {
        double sum = 0;
        for (int S = 1; S <= 10; ++S) {
            sum += profile.ns[S];
        }
        std::fprintf(out, "\nWhere the time goes: sections/%d, %s loops", static_cast<int>(LOOP),
                     grouped(LOOP).c_str());
        if (profile.runs > 1) {
            std::fprintf(out, ", median of %zu runs", profile.runs);
        }
        std::fprintf(out, "\n  %-41s %10s %7s\n", "section", "ns/loop", "share");
        for (int S = 1; S <= 10; ++S) {
            std::fprintf(out, "  %2d  %-37s %10.1f %6.1f %%\n", S, SECTION_NAME[S], profile.ns[S],
                         sum > 0 ? 100 * profile.ns[S] / sum : 0.0);
        }
        std::fprintf(out, "      %-37s %10.1f %6.1f %%\n", "the ten sections", sum, 100.0);
    }
}
