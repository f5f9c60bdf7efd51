// zarvek-verify's verdicts on binaries that do less than the work (which
// it must reject, naming the shortfall), on one that does the work in
// another shape, and on files it cannot judge. Its verdict on this build's
// zarvek is the fidelity test.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cctype>
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
    bool emulated_too; // whether emulation can see it
};

const Fixture FIXTURES_JUDGED[] = {
    // No volatile: the optimiser keeps PA's elements in registers (and
    // GCC drops section 6's trigonometry too).
    {"cheat-no-volatile", "reads in PA: specified >= 1848, measured [0-9]+", 1, true},
    {"cheat-inlined-p0", "Calls per loop, P0: specified 616, measured 0", 1, true},
    {"cheat-no-log", "Calls per loop, log: specified 93, measured 0", 1, true},
    // Section 5's second store, 210 per loop of E1[1]'s writes, gone; under
    // emulation the stores of spills and calls can make up the total.
    {"cheat-dropped-store", "E1\\[1\\] writes: specified 922 \\+2, measured 712 \\+2", 1, false},
    // C++ linkage and a static maths library: the same work, another shape.
    {"cxx-static", "", 0, true},
};

void PrintTo(const Fixture &f, std::ostream *out)
{
    *out << f.name;
}

class Judged : public ::testing::TestWithParam<Fixture> {};

TEST_P(Judged, VerdictNamesTheShortfall)
{
    const Fixture &f = GetParam();
    if (ZARVEK_EMULATED && !f.emulated_too) {
        GTEST_SKIP() << "emulation cannot see this shortfall";
    }
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

} // namespace
