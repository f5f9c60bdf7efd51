// SPDX-License-Identifier: MIT
// zarvek-verify's verdicts on binaries that do less than the work (which
// it must reject, naming the shortfall), on one that does the work in
// another shape, and on files it cannot judge; its JSON report, and the
// commands it prints, run again. Its verdict on this build's zarvek is the
// fidelity test.
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
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "isa.h"
#include "process.h"
#include "report.h"

namespace {

namespace fs = std::filesystem;

// zarvek-verify, with --emulator for a cross build (or EMULATOR) and
// OPTIONS, judging BINARY.
ProcessResult verify(const std::string &binary, const std::string &emulator = "",
                     const std::vector<std::string> &options = {})
{
    std::vector<std::string> argv = split_command(VERIFY_COMMAND, '|');
    if (!emulator.empty()) {
        argv.insert(argv.end(), {"--emulator", emulator});
    }
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(binary);
    return run_process(argv);
}

// The shortfall of a binary whose start-up code turns flush-to-zero on.
const char FLUSH_TO_ZERO[] =
    "Floating-point mode before main, flush to zero \\([^)]+\\): specified off, measured on: "
    "\\w*set_fast_math\\w*( via \\w+)? \\(\\.init_array\\)";

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
    // Linked with -ffast-math: the compiler's start-up file turns on
    // flush-to-zero before main (GCC's for 32-bit x86 in a function it
    // calls).
    {"fast-math-link", FLUSH_TO_ZERO, 1},
    // The same by lld: the function's address only in the relocations.
    {"fast-math-lld", FLUSH_TO_ZERO, 1},
    // The same from 0x10000000: 32-bit code's addresses fill objdump's
    // column there.
    {"fast-math-high", FLUSH_TO_ZERO, 1},
};

void PrintTo(const Fixture &f, std::ostream *out)
{
    *out << f.name;
}

class Judged : public ::testing::TestWithParam<Fixture> {};

// The verdict, and the same verdict in the --json report.
TEST_P(Judged, VerdictNamesTheShortfall)
{
    const Fixture &f = GetParam();
    if (!STATIC_FIXTURE && std::string(f.name) == "cxx-static") {
        GTEST_SKIP() << "not built: the build's flags cannot link statically";
    }
    if (!FAST_MATH_FIXTURE && std::string(f.name).rfind("fast-math", 0) == 0) {
        GTEST_SKIP() << "not built: the compiler has no fast-math start-up file";
    }
    if (!LLD_FIXTURE && std::string(f.name) == "fast-math-lld") {
        GTEST_SKIP() << "not built: no lld, or a cross build";
    }
    if (!HIGH_FIXTURE && std::string(f.name) == "fast-math-high") {
        GTEST_SKIP() << "not built: the linker cannot place the code at 0x10000000";
    }
    TempDir dir;
    const std::string json = dir.path + "/report.json";
    const ProcessResult r = verify(std::string(FIXTURES) + f.name, "", {"--json", json});
    EXPECT_EQ(r.status, f.status) << r.out << r.err;
    if (*f.shortfall) {
        EXPECT_TRUE(
            std::regex_search(r.out, std::regex("\n  - .*" + std::string(f.shortfall) + "\n")))
            << "no shortfall " << f.shortfall << "\n"
            << r.out;
    }
    const nlohmann::json report = nlohmann::json::parse(read_file(json));
    EXPECT_EQ(report["faithful"], f.status == 0);
    size_t listed = 0;
    for (size_t at = r.out.find("\n  - "); at != std::string::npos;
         at = r.out.find("\n  - ", at + 1)) {
        ++listed;
    }
    EXPECT_EQ(report["shortfalls"].size(), listed) << report.dump(2);
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
        {fs::path(ZARVEK_BINARY).parent_path().string() + "/zarvek-qemu-plugin.so", "",
         "it is a shared library"},
        {fs::path(ZARVEK_BINARY).parent_path().string(), "",
         "it is a folder, not an executable file"},
        {ZARVEK_BINARY, "qemu-nowhere -L /", "the emulator qemu-nowhere is not installed"},
    };
    TempDir dir;
    const std::string json = dir.path + "/report.json";
    for (const auto &c : cases) {
        const ProcessResult r = verify(c.path, c.emulator, {"--json", json});
        EXPECT_EQ(r.status, 2) << c.path << r.out << r.err;
        EXPECT_EQ(r.out, "") << c.path;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.path << ": " << r.err;
        EXPECT_TRUE(fs::is_empty(dir.path)) << c.path << ": a report without a verdict";
    }
}

// A command line it cannot follow: the reason, then the usage line.
TEST(Verify, SaysWhatIsWrongWithTheCommandLine)
{
    const struct {
        std::vector<std::string> args;
        std::string reason;
    } cases[] = {
        {{"--timeout", "0"}, "--timeout takes whole seconds from 1 to 86400, not 0"},
        {{"--timeout=9x"}, "--timeout takes whole seconds from 1 to 86400, not 9x"},
        {{"--json"}, "--json needs a value"},
        {{"--keep="}, "--keep needs a value"},
        {{"--loops", "5"}, "unknown option --loops"},
        {{"a", "b"}, "one zarvek at a time: a and b"},
        {{"--json", "/nonexistent/report.json", ZARVEK_BINARY},
         "cannot write /nonexistent/report.json: No such file or directory"},
        {{"--json", "/tmp", ZARVEK_BINARY}, "cannot write /tmp: it is a folder"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> argv = split_command(VERIFY_COMMAND, '|');
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const ProcessResult r = run_process(argv);
        EXPECT_EQ(r.status, 2) << c.reason;
        EXPECT_EQ(r.out, "") << c.reason;
        EXPECT_EQ(r.err.rfind("zarvek-verify: " + c.reason + "\n", 0), 0) << r.err;
        const bool usage = c.reason.rfind("cannot write", 0) != 0;
        EXPECT_EQ(r.err.find("\nusage: zarvek-verify ") != std::string::npos, usage) << r.err;
    }
}

// The lines of TEXT's "Commands:" list that contain PART.
std::vector<std::string> commands_with(const std::string &text, const std::string &part)
{
    std::vector<std::string> found;
    const size_t list = text.find("\nCommands:\n");
    std::istringstream lines(list == std::string::npos ? "" : text.substr(list + 11));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("  ", 0) == 0 && line.find(part) != std::string::npos) {
            found.push_back(line.substr(2));
        }
    }
    return found;
}

// The commands of the report run again as printed: without --keep each
// writes its trace into the folder it is run in (the verifier's own are
// gone); with --keep DIR the verifier's traces stay in DIR, where its
// commands say. A zarvek named without a folder is the one in the current
// folder, for the verifier and for its commands.
TEST(Verify, PrintedCommandsRunAgainAsPrinted)
{
    TempDir here;
    fs::copy_file(ZARVEK_BINARY, here.path + "/zarvek");
    std::vector<std::string> argv = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", here.path};
    for (const std::string &word : split_command(VERIFY_COMMAND, '|')) {
        argv.push_back(word);
    }
    argv.push_back("zarvek");
    ProcessResult r = run_process(argv);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(fs::directory_iterator(here.path)->path().filename(), "zarvek")
        << "the verifier left files in the current folder";
    const std::vector<std::string> again = commands_with(r.out, " ./zarvek 1");
    ASSERT_EQ(again.size(), 1U) << r.out;
    EXPECT_EQ(again[0].find("zarvek-verify-"), std::string::npos) << again[0];
    // Its own status is zarvek's: 1, a run too short to measure (0 where
    // a busy machine makes the traced run last a second).
    r = run_process({"/bin/sh", "-c", "cd \"$0\" && " + again[0], here.path});
    EXPECT_TRUE(r.status == 1 || r.status == 0) << r.status << ": " << again[0] << "\n" << r.err;
    EXPECT_GT(fs::file_size(here.path + "/zarvek-trace-1"), 0U) << again[0];

    const std::string kept = here.path + "/kept";
    r = verify(ZARVEK_BINARY, "", {"--keep", kept});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const char *loops : {"1", "3", "5"}) {
        const std::string trace = kept + "/trace-" + loops;
        EXPECT_GT(fs::file_size(trace), 0U) << trace;
        EXPECT_EQ(commands_with(r.out, trace).size(), 1U) << trace << "\n" << r.out;
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
                      std::regex("\n  instructions in PA, P3, P0, timed_pass +- +([0-9]+\\.[0-9]) +"
                                 "not judged\n"));
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

// The report from a made-up judgement, no tracer run: a row that is not
// judged never fails, one that does not hold is the one shortfall, and the
// table and the JSON say the same.
TEST(VerifyReport, TableAndJsonAgree)
{
    Report report{"./zarvek", "x86-64", "made up", "lackey", {}, {"objdump -d ./zarvek"}};
    report.rows = {{"Calls per loop", "PA", "14", "14", true, true},
                   {"Calls per loop", "log", "93", "0", false, true},
                   {"Cost per loop", "instructions", "-", "59778.5", true, false}};
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    print_report(out, report);
    std::fclose(out);
    const std::string printed(text, size);
    std::free(text);
    EXPECT_TRUE(
        std::regex_search(printed, std::regex("\n  instructions +- +59778.5  not judged\n")))
        << printed;
    EXPECT_NE(printed.find("\nVerdict: NOT faithful: 1 shortfall:\n  - Calls per loop, log: "
                           "specified 93, measured 0\n\nCommands:\n  objdump -d ./zarvek\n"),
              std::string::npos)
        << printed;
    const nlohmann::ordered_json json = report_json(report);
    EXPECT_EQ(json["faithful"], false);
    ASSERT_EQ(json["shortfalls"].size(), 1U);
    EXPECT_EQ(json["shortfalls"][0]["item"], "log");
    EXPECT_EQ(json["rows"][2]["judged"], false);
}

// x86 memory traffic counted from the instruction under qemu's execution
// log: an operand alone in memory is read and written by inc and its kin
// (clang increments J with incl), written by set, read by the rest.
TEST(VerifyIsa, OneMemoryOperandIsReadWrittenOrBoth)
{
    const struct {
        const char *mnemonic, *operands;
        unsigned kinds;
    } cases[] = {
        {"incl", "(%rax)", LOAD | STORE}, {"negq", "0x8(%rdi)", LOAD | STORE},
        {"shll", "(%rax)", LOAD | STORE}, {"sete", "(%rax)", STORE},
        {"divl", "(%rcx)", LOAD},         {"addl", "$0x1,(%rax)", LOAD | STORE},
        {"movl", "$0x0,(%rax)", STORE},   {"cmpl", "$0x6,(%rax)", LOAD},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(classify(X86, c.mnemonic, c.operands) & (LOAD | STORE), c.kinds) << c.mnemonic;
    }
}

} // namespace
