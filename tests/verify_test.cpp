// zarvek-verify's verdicts: on this build's zarvek, on binaries that do
// less than the work (which it must reject, naming the shortfall), on one
// that does the work in another shape, and on files it cannot judge.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "process.h"

namespace {

// zarvek-verify, with --emulator for a cross build, judging BINARY.
ProcessResult verify(const std::string &binary)
{
    std::vector<std::string> argv;
    const std::string command = VERIFY_COMMAND;
    for (size_t start = 0;;) {
        const size_t bar = command.find('|', start);
        argv.push_back(command.substr(start, bar - start));
        if (bar == std::string::npos) {
            break;
        }
        start = bar + 1;
    }
    argv.push_back(binary);
    return run_process(argv);
}

TEST(Verify, JudgesThisBuildFaithful)
{
    const ProcessResult r = verify(ZARVEK_BINARY);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Verdict: faithful"), std::string::npos) << r.out;
}

struct Fixture {
    const char *name;
    int status;
    const char *shortfall; // a line of the verdict's list, as a regex
    bool emulated_too;     // whether emulation can see it
};

const Fixture FIXTURES_JUDGED[] = {
    // No volatile: the optimiser drops the trigonometry of section 6.
    {"cheat-no-volatile", 1, "Calls per loop, sin: specified 64, measured 0", true},
    {"cheat-inlined-p0", 1, "Calls per loop, P0: specified 616, measured 0", true},
    {"cheat-no-log", 1, "Calls per loop, log: specified 93, measured 0", true},
    // Section 5's second store, 210 per loop of E1[1]'s writes, gone; under
    // emulation the stores of spills and calls can make up the total.
    {"cheat-dropped-store", 1, "E1\\[1\\] writes: specified 922 \\+2, measured 712 \\+2", false},
    // C++ linkage and a static maths library: the same work, another shape.
    {"cxx-static", 0, "", true},
};

TEST(Verify, RejectsBinariesThatDoLessThanTheWork)
{
    for (const Fixture &f : FIXTURES_JUDGED) {
        if (ZARVEK_EMULATED && !f.emulated_too) {
            continue;
        }
        const ProcessResult r = verify(std::string(FIXTURES) + f.name);
        EXPECT_EQ(r.status, f.status) << f.name << "\n" << r.out << r.err;
        if (*f.shortfall) {
            EXPECT_TRUE(std::regex_search(r.out, std::regex("\n  - .*" + std::string(f.shortfall) + "\n")))
                << f.name << " lacks the shortfall " << f.shortfall << "\n" << r.out;
        }
    }
}

// Status 2 with a message that says what to do, never a verdict.
TEST(Verify, SaysWhenItCannotJudge)
{
    TempFile script, stripped;
    std::ofstream(script.path) << "#!/bin/sh\nexit 0\n";
    chmod(script.path.c_str(), 0755);
    ASSERT_EQ(run_process({STRIP, "-o", stripped.path, ZARVEK_BINARY}).status, 0);
    const struct {
        std::string path, message;
    } cases[] = {
        {script.path, "it is not an ELF file"},
        {stripped.path, "its symbol table has been stripped"},
        {"/nonexistent/zarvek", "it is not an executable file"},
    };
    for (const auto &c : cases) {
        const ProcessResult r = verify(c.path);
        EXPECT_EQ(r.status, 2) << c.path << r.out << r.err;
        EXPECT_EQ(r.out, "") << c.path;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.path << ": " << r.err;
    }
}

} // namespace
