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
    std::vector<std::string> argv = split_command(ZARVEK_COMMAND, '|');
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
                                 std::regex("\nLoops: " + loops +
                                            ", Iterations: 1, Duration: ([0-9]+) "
                                            "sec\\.\nC Converted Double Precision Corvanes: "
                                            "([0-9]+\\.[0-9]) MIPS\n")))
        << r.out;
    // 0.1 million benchmark instructions per loop, over the duration.
    const double seconds = std::stod(m[1]);
    EXPECT_NEAR(std::stod(m[2]), MEASURED_LOOPS / 10.0 / seconds, 0.05);
}

// A report that cannot be reached by its reader is a failure: every case
// must end with the status and message given, at the write that failed or
// at exit, and never run on (it is killed after the timeout). Continuous
// runs go through "stdbuf -o0" so that each write reaches the stream at
// once; with the usual block buffering the first write would come only
// after some forty measurements (the driver tests cover that case with a
// small buffer).
struct Stream {
    const char *name;
    bool continuous;
    Output output;
    bool ignore_sigpipe;
    int status;
    std::string err;
};

const std::string CANNOT_WRITE = "zarvek: cannot write standard output: ";
const int SIGPIPE_STATUS = 128 + 13;

const Stream STREAMS[] = {
    {"OneShotToFullDevice", false, Output::Path, false, 1,
     CANNOT_WRITE + "No space left on device\n"},
    {"ContinuousToFullDevice", true, Output::Path, false, 1,
     CANNOT_WRITE + "No space left on device\n"},
    {"OneShotToClosedStdout", false, Output::Closed, false, 1,
     CANNOT_WRITE + "Bad file descriptor\n"},
    {"ContinuousToClosedStdout", true, Output::Closed, false, 1,
     CANNOT_WRITE + "Bad file descriptor\n"},
    {"OneShotReaderGone", false, Output::ReaderGone, false, SIGPIPE_STATUS, ""},
    {"ContinuousReaderGone", true, Output::ReaderGone, false, SIGPIPE_STATUS, ""},
    {"ContinuousReaderGoneSigpipeIgnored", true, Output::ReaderGone, true, 1,
     CANNOT_WRITE + "Broken pipe\n"},
};

void PrintTo(const Stream &s, std::ostream *os)
{
    *os << s.name;
}

class Streams : public ::testing::TestWithParam<Stream> {};

TEST_P(Streams, LostReportEndsTheRunWithAFailure)
{
    const Stream &s = GetParam();
    // About half the measured count: a measurement of a second or more,
    // so a run that went unnoticed would end with status 0 or go on.
    std::vector<std::string> args = {std::to_string(MEASURED_LOOPS / 2)};
    if (s.continuous) {
        if (ZARVEK_EMULATED) {
            GTEST_SKIP() << "stdbuf cannot reach a program under the emulator";
        }
        args.insert(args.begin(), "-c");
    }
    std::vector<std::string> argv = command(args);
    if (s.continuous) {
        argv.insert(argv.begin(), {"stdbuf", "-o0"});
    }
    RunOptions options;
    options.output = s.output;
    options.path = "/dev/full";
    options.ignore_sigpipe = s.ignore_sigpipe;
    options.timeout_seconds = 60;
    const ProcessResult r = run_process(argv, options);
    EXPECT_FALSE(r.timed_out) << "still running after a lost report";
    EXPECT_EQ(r.status, s.status);
    EXPECT_EQ(r.err, s.err);
}

INSTANTIATE_TEST_SUITE_P(LostReports, Streams, ::testing::ValuesIn(STREAMS),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
