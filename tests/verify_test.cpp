// zarvek-verify's verdicts on binaries that do less than the work (which
// it must reject, naming the shortfall), on one that does the work in
// another shape, and on files it cannot judge. Its verdict on this build's
// zarvek is the fidelity test.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "process.h"

namespace {

// zarvek-verify, with --emulator for a cross build (or EMULATOR), judging
// BINARY.
ProcessResult verify(const std::string &binary, const std::string &emulator = "")
{
    std::vector<std::string> argv = split_command(VERIFY_COMMAND, '|');
    if (!emulator.empty()) {
        argv.insert(argv.end(), {"--emulator", emulator});
    }
    argv.push_back(binary);
    return run_process(argv);
}

struct Fixture {
    const char *name;
    const char *shortfall; // a line of the verdict's list, as a regex
    int status;
};

const Fixture FIXTURES_JUDGED[] = {
    // No volatile: the optimiser keeps PA's elements in registers (and
    // GCC drops section 6's trigonometry too).
    {"cheat-no-volatile", "reads in PA: specified >= 1848, measured [0-9]+", 1},
    {"cheat-inlined-p0", "Calls per loop, P0: specified 616, measured 0", 1},
    {"cheat-no-log", "Calls per loop, log: specified 93, measured 0", 1},
    // Section 5's second store, 210 per loop of E1[1]'s writes, gone.
    {"cheat-dropped-store", "E1\\[1\\] writes: specified 922 \\+2, measured 712 \\+2", 1},
    // One of section 4's tests without a branch: its loop control cannot
    // make up the 345 branches lost.
    {"cheat-branch-free-test",
     "section 4 \\(last PA call to first K write\\): specified >= 1036, measured [0-9]+", 1},
    // The same work in another shape: C++ linkage and a static maths
    // library; every loop of the pass unrolled.
    {"cxx-static", "", 0},
    {"unrolled", "", 0},
};

void PrintTo(const Fixture &f, std::ostream *out)
{
    *out << f.name;
}

class Judged : public ::testing::TestWithParam<Fixture> {};

TEST_P(Judged, VerdictNamesTheShortfall)
{
    const Fixture &f = GetParam();
    if (!STATIC_FIXTURE && std::string(f.name) == "cxx-static") {
        GTEST_SKIP() << "not built: the build's flags cannot link statically";
    }
    const ProcessResult r = verify(std::string(FIXTURES) + f.name);
    EXPECT_EQ(r.status, f.status) << r.out << r.err;
    if (*f.shortfall) {
        EXPECT_TRUE(
            std::regex_search(r.out, std::regex("\n  - .*" + std::string(f.shortfall) + "\n")))
            << "no shortfall " << f.shortfall << "\n"
            << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, Judged, ::testing::ValuesIn(FIXTURES_JUDGED),
                         [](const ::testing::TestParamInfo<Fixture> &info) {
                             std::string name = info.param.name;
                             for (char &c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

// Status 2 with a message that says what to do, never a verdict.
TEST(Verify, SaysWhenItCannotJudge)
{
    TempFile script, stripped;
    std::ofstream(script.path) << "#!/bin/sh\nexit 0\n";
    chmod(script.path.c_str(), 0755);
    ASSERT_EQ(run_process({STRIP, "-o", stripped.path, ZARVEK_BINARY}).status, 0);
    const struct {
        std::string path, emulator, message;
    } cases[] = {
        {script.path, "", "it is not an ELF file"},
        {stripped.path, "", "its symbol table has been stripped"},
        {"/nonexistent/zarvek", "", "it is not an executable file"},
        {ZARVEK_BINARY, "qemu-nowhere -L /", "the emulator qemu-nowhere is not installed"},
    };
    for (const auto &c : cases) {
        const ProcessResult r = verify(c.path, c.emulator);
        EXPECT_EQ(r.status, 2) << c.path << r.out << r.err;
        EXPECT_EQ(r.out, "") << c.path;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.path << ": " << r.err;
    }
}

// The qemu-user command that runs this build's zarvek: the build's own
// emulator, or qemu for this machine's processor.
std::string emulator_for_this_build()
{
    const std::vector<std::string> words = split_command(VERIFY_COMMAND, '|');
    for (size_t i = 0; i + 1 < words.size(); ++i) {
        if (words[i] == "--emulator") {
            return "";
        }
    }
    utsname machine{};
    uname(&machine);
    return std::string("qemu-") + machine.machine;
}

// The report's count of the workload's instructions per loop unit.
std::string instructions_per_loop(const std::string &report)
{
    std::smatch m;
    std::regex_search(report, m,
                      std::regex("\n  instructions in PA, P3, P0, timed_pass +\\(not "
                                 "judged\\) +([0-9]+\\.[0-9]) +yes\n"));
    return m.empty() ? "no count" : m[1].str();
}

// Under emulation the plugin sees each global, as valgrind does natively;
// where qemu cannot load it, the execution log still judges, and the
// report says what it could not see. All three count the same
// instructions of the workload.
TEST(Verify, UnderEmulationWithThePluginOrItsFallback)
{
    const std::string emulator = emulator_for_this_build();
    if (!emulator.empty() && run_process({emulator, "--version"}).status != 0) {
        GTEST_SKIP() << emulator << " is not installed";
    }
    std::vector<std::string> counts;
    if (!emulator.empty()) {
        counts.push_back(instructions_per_loop(verify(ZARVEK_BINARY).out));
    }
    for (const bool plugin : {true, false}) {
        if (!plugin) {
            setenv("ZARVEK_QEMU_PLUGIN", "/nonexistent/zarvek-qemu-plugin.so", 1);
        }
        const ProcessResult r = verify(ZARVEK_BINARY, emulator);
        unsetenv("ZARVEK_QEMU_PLUGIN");
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        const bool log_method =
            r.out.find("from qemu's execution log (the plugin "
                       "/nonexistent/zarvek-qemu-plugin.so did not load") != std::string::npos;
        EXPECT_EQ(log_method, !plugin) << r.out;
        EXPECT_EQ(r.out.find("with zarvek-verify's plugin") != std::string::npos, plugin) << r.out;
        EXPECT_EQ(r.out.find("\nGlobals per loop") != std::string::npos, plugin) << r.out;
        counts.push_back(instructions_per_loop(r.out));
    }
    EXPECT_NE(counts[0], "no count");
    for (const std::string &count : counts) {
        EXPECT_EQ(count, counts[0]) << "natively (where this machine runs it), with the plugin, "
                                       "from the execution log";
    }
}

// Whether a process other than this one and EXCEPT whose command line
// mentions TEXT is running.
bool running(const std::string &text, pid_t except)
{
    DIR *proc = opendir("/proc");
    bool found = false;
    while (dirent *entry = proc ? readdir(proc) : nullptr) {
        if (std::isdigit(static_cast<unsigned char>(entry->d_name[0])) &&
            std::atoi(entry->d_name) != getpid() && std::atoi(entry->d_name) != except) {
            std::string command = read_file(std::string("/proc/") + entry->d_name + "/cmdline");
            found = found || command.find(text) != std::string::npos;
        }
    }
    if (proc) {
        closedir(proc);
    }
    return found;
}

// Waits up to SECONDS for running(TEXT, EXCEPT) to be WANTED; returns
// what it is.
bool running_within(const std::string &text, int seconds, bool wanted, pid_t except = 0)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (running(text, except) != wanted) {
        if (std::chrono::steady_clock::now() > end) {
            return !wanted;
        }
        usleep(50000);
    }
    return wanted;
}

// A zarvek whose pass never ends: each traced run is stopped at the bound,
// with status 2 naming the run; an interrupted verifier leaves no traced
// run behind.
TEST(Verify, StopsARunThatNeverEnds)
{
    const std::string endless = std::string(FIXTURES) + "endless";
    std::vector<std::string> argv = split_command(VERIFY_COMMAND, '|');
    argv.insert(argv.end(), {"--timeout", "2", endless});
    const ProcessResult r = run_process(argv);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(std::regex_search(
        r.err, std::regex("the run at [135] loops? did not end within 2 seconds and was stopped")))
        << r.err;
    EXPECT_FALSE(running_within(endless, 5, false)) << "a traced run was left behind";

    argv.erase(argv.end() - 3, argv.end() - 1); // without the bound
    const pid_t verifier = fork();
    ASSERT_GE(verifier, 0);
    if (verifier == 0) {
        std::vector<char *> args;
        args.reserve(argv.size() + 1);
        for (std::string &a : argv) {
            args.push_back(a.data());
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    const bool started = running_within(endless, 60, true, verifier);
    kill(verifier, SIGTERM);
    int status = 0;
    waitpid(verifier, &status, 0);
    EXPECT_TRUE(started) << "no traced run started";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_FALSE(running_within(endless, 5, false)) << "a traced run was left behind";
}

} // namespace
