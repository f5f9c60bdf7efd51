// zarvek-bench, run briefly with JSON output: its runs are there, each
// rate is the one its time gives, and the build is in the context. Nothing
// here depends on how fast the machine is.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

#include "process.h"

namespace {

// The value of "KEY": in a flat JSON object, as text (a string's without
// its quotes).
std::string field(const std::string &object, const std::string &key)
{
    const std::string label = "\"" + key + "\": ";
    const size_t at = object.find(label);
    if (at == std::string::npos) {
        return "";
    }
    const size_t start = at + label.size();
    if (object[start] == '"') {
        return object.substr(start + 1, object.find('"', start + 1) - start - 1);
    }
    return object.substr(start, object.find_first_of(",\n}", start) - start);
}

TEST(Bench, ReportsEveryRunWithItsRateAndTheBuild)
{
    TempFile json;
    const ProcessResult r =
        run_process({ZARVEK_BENCH, "--benchmark_min_time=0.01", "--benchmark_format=json",
                     "--benchmark_out=" + json.path});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string text = read_file(json.path);
    EXPECT_EQ(text, r.out) << "--benchmark_out and standard output differ";

    const std::string context = text.substr(0, text.find("\"benchmarks\""));
    EXPECT_EQ(field(context, "compiler").rfind(ZARVEK_COMPILER_ID, 0), 0u) << context;
    EXPECT_NE(field(context, "flags").find("-ffp-contract=off"), std::string::npos) << context;
    EXPECT_NE(field(context, "target"), "") << context;

    // Benchmark instructions per iteration: 100,000 per loop for a pass,
    // one call for a procedure.
    const std::map<std::string, double> items = {
        {"timed_pass/1", 1e5},
        {"timed_pass/10", 1e6},
        {"timed_pass/100", 1e7},
        {"timed_pass/1000", 1e8},
        {"timed_pass/10000", 1e9},
        {"PA", 1},
        {"P3", 1},
        {"P0", 1},
    };
    std::map<std::string, int> seen;
    // Each run is a flat object in the "benchmarks" array.
    for (size_t open = text.find('{', context.size()); open != std::string::npos;
         open = text.find('{', open + 1)) {
        const std::string run = text.substr(open, text.find('}', open) - open + 1);
        const std::string name = field(run, "name");
        ASSERT_EQ(items.count(name), 1u) << "unexpected run " << name;
        ++seen[name];
        ASSERT_EQ(field(run, "time_unit"), "ns") << name;
        const double seconds = std::atof(field(run, "cpu_time").c_str()) * 1e-9;
        const double rate = std::atof(field(run, "items_per_second").c_str());
        ASSERT_GT(seconds, 0) << name;
        EXPECT_NEAR(rate, items.at(name) / seconds, rate * 1e-9) << name;
    }
    for (const auto &[name, n] : items) {
        EXPECT_EQ(seen[name], 1) << name;
    }
}

} // namespace
