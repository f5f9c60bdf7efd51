// The built zarvek, run as a user runs it.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "process.h"

namespace {

const std::string USAGE = "usage: zarvek [-c] [loops]\n";

// zarvek with ARGS, under the emulator in a cross build.
std::vector<std::string> command(const std::vector<std::string> &args)
{
    std::vector<std::string> argv;
    const std::string runner = ZARVEK_COMMAND;
    for (size_t start = 0;;) {
        const size_t bar = runner.find('|', start);
        argv.push_back(runner.substr(start, bar - start));
        if (bar == std::string::npos) {
            break;
        }
        start = bar + 1;
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// A loop count that lasts a few seconds here: about 3 s natively, so at
// least a second on a machine three times faster; emulation is many times
// slower, so it needs fewer.
const int MEASURED_LOOPS = ZARVEK_EMULATED ? 20000 : 200000;

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

TEST(Cli, MeasuresAndReportsARating)
{
    const std::string loops = std::to_string(MEASURED_LOOPS);
    const ProcessResult r = run_process(command({loops}));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.err, "");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.out, m,
                                 std::regex("\nLoops: " + loops + ", Iterations: 1, Duration: ([0-9]+) "
                                            "sec\\.\nC Converted Double Precision Corvanes: "
                                            "([0-9]+\\.[0-9]) MIPS\n")))
        << r.out;
    // 0.1 million benchmark instructions per loop, over the duration.
    const double seconds = std::stod(m[1]);
    EXPECT_NEAR(std::stod(m[2]), MEASURED_LOOPS / 10.0 / seconds, 0.05);
}

// A report lost to a full disk is a failure, not a success.
TEST(Cli, ReportThatCannotBeWrittenEndsWithStatusOne)
{
    const ProcessResult r = run_process(command({std::to_string(MEASURED_LOOPS / 2)}), "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zarvek: cannot write standard output: No space left on device\n");
}

} // namespace
