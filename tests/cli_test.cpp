// SPDX-License-Identifier: MIT
// The built zarvek, run as a user runs it.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
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

// A loop count that lasts a few seconds: about 3 s natively on the server
// cores CI runs on, so at least a second on one three times as fast, and
// below the subnormal edge; emulation is many times slower, so it needs
// fewer. zarvek's clock counts whole seconds, and a measurement shorter
// than one can read 0 s and be refused.
const int MEASURED_LOOPS = ZARVEK_EMULATED ? 20000 : 300000;

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
// must end with the status and message given, a continuous run at its
// first measurement (each measurement's report leaves when it ends), and
// never run on: it is killed after the timeout, less than the twenty or so
// measurements the run would last if its reports waited in a block buffer.
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
        args.insert(args.begin(), "-c");
    }
    RunOptions options;
    options.output = s.output;
    options.path = "/dev/full";
    options.ignore_sigpipe = s.ignore_sigpipe;
    options.timeout_seconds = 30;
    const ProcessResult r = run_process(command(args), options);
    EXPECT_FALSE(r.timed_out) << "still running after a lost report";
    EXPECT_EQ(r.status, s.status);
    EXPECT_EQ(r.err, s.err);
}

INSTANTIATE_TEST_SUITE_P(LostReports, Streams, ::testing::ValuesIn(STREAMS),
                         [](const auto &info) { return std::string(info.param.name); });

// A continuous run redirected to a file and ended by a signal, as one is
// usually ended, leaves every measurement it completed in the file, whole.
// It is signalled once the first measurement is in the file, in the
// middle of the second. Each measurement takes the full measured count: at
// half of it a fast build reads 0 s and the run ends refused.
class Stopped : public ::testing::TestWithParam<int> {};

TEST_P(Stopped, ContinuousRunKeepsEveryCompletedMeasurement)
{
    const std::string loops = std::to_string(MEASURED_LOOPS);
    const std::regex whole("(\nLoops: " + loops +
                           ", Iterations: 1, Duration: [0-9]+ sec\\.\n"
                           "C Converted Double Precision Corvanes: [0-9]+\\.[0-9] MIPS\n)+");
    TempFile file;
    const std::vector<std::string> argv = command({"-c", loops});
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, file.path.c_str(), O_WRONLY | O_TRUNC, 0);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    std::string out;
    for (int i = 0; i < 6000 && !std::regex_match(out, whole); ++i) {
        usleep(10000);
        out = read_file(file.path);
    }
    usleep(500000);
    kill(pid, GetParam());
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == GetParam()) << "status " << status;
    out = read_file(file.path);
    EXPECT_TRUE(std::regex_match(out, whole))
        << "not one or more whole measurements: \"" << out << '"';
}

INSTANTIATE_TEST_SUITE_P(Signals, Stopped, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto &info) { return std::string(strsignal(info.param)); });

} // namespace
