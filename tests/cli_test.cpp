// The built zarvek, run as a user runs it.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "process.h"

namespace {

const std::string USAGE = "usage: zarvek [-c] [loops]\n";

std::vector<std::string> command(std::vector<std::string> args)
{
    args.insert(args.begin(), ZARVEK_BINARY);
    return args;
}

TEST(Cli, BadArgumentsGiveTheUsageErrorAndNothingElse)
{
    const std::vector<std::vector<std::string>> bad = {
        {"-x"}, {"0"}, {"-5"}, {"abc"}, {"C"}, {""}, {"-c", "0"}, {"-99999999999"}, {"7", "-"},
    };
    for (const auto &args : bad) {
        const ProcessResult r = run_process(command(args));
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.out, "") << args[0];
        EXPECT_EQ(r.err, USAGE) << args[0];
    }
}

// One real measurement: long enough here (about 3 s) to last at least
// a second on a machine three times faster.
TEST(Cli, MeasuresAndReportsARating)
{
    const ProcessResult r = run_process(command({"200000"}));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.err, "");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m,
                                 std::regex("\nLoops: 200000, Iterations: 1, Duration: ([0-9]+) "
                                            "sec\\.\nC Converted Double Precision Corvanes: "
                                            "([0-9]+\\.[0-9]) MIPS\n")))
        << r.out;
    // 20,000 million benchmark instructions in all, over the duration.
    const double seconds = std::stod(m[1]);
    EXPECT_NEAR(std::stod(m[2]), 20000.0 / seconds, 0.05);
}

// A report lost to a full disk is a failure, not a success.
TEST(Cli, ReportThatCannotBeWrittenEndsWithStatusOne)
{
    const ProcessResult r = run_process(command({"100000"}), "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zarvek: cannot write standard output: No space left on device\n");
}

} // namespace
