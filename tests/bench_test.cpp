// zarvek-bench, run briefly with JSON output: its runs are there, each
// rate is the one its time gives, and the build is in the context. Nothing
// here depends on how fast the machine is.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <regex>
#include <string>

#include "process.h"

namespace {

// The value of "KEY": in a flat JSON object, as text.
std::string field(const std::string &object, const std::string &key)
{
    std::smatch m;
    const std::regex re("\"" + key + "\": (\"([^\"]*)\"|[^,\\n}]+)");
    if (!std::regex_search(object, m, re)) {
        return "";
    }
    return m[2].matched ? m[2].str() : m[1].str();
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
    const std::regex object("\\{[^{}]*\\}");
    for (auto it = std::sregex_iterator(text.begin() + static_cast<std::ptrdiff_t>(context.size()),
                                        text.end(), object);
         it != std::sregex_iterator(); ++it) {
        const std::string run = it->str();
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
