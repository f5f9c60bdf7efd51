// SPDX-License-Identifier: MIT
// The driver, byte for byte, with scripted clock readings and captured
// streams: the same driver code as zarvek's, instantiated with a clock
// that returns what each case says.
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "driver.h"

namespace {

const std::string USAGE = "usage: zarvek [-c] [loops]\n";
const std::string SHORT = "\nInsufficient duration- Increase the LOOP count\n";

std::string report(long loops, long seconds, const std::string &rating)
{
    return "\nLoops: " + std::to_string(loops) +
           ", Iterations: 1, Duration: " + std::to_string(seconds) +
           " sec.\nC Converted Double Precision Corvanes: " + rating + "\n";
}

// A stream that keeps what reaches it and counts the writes that reach
// it; writes from number FAIL_FROM on fail as on a full disk.
struct Capture {
    std::string text;
    int writes = 0;
    int fail_from = INT_MAX;
    FILE *file = nullptr;
    std::vector<char> buffer; // glibc ignores a size given without a buffer

    Capture(int mode, size_t size) : buffer(size)
    {
        cookie_io_functions_t io = {nullptr, &Capture::write, &Capture::seek, nullptr};
        file = fopencookie(this, "w", io);
        setvbuf(file, size ? buffer.data() : nullptr, mode, size);
    }
    ~Capture() { fclose(file); }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    static ssize_t write(void *cookie, const char *data, size_t size)
    {
        Capture *c = static_cast<Capture *>(cookie);
        if (++c->writes >= c->fail_from) {
            errno = ENOSPC;
            return -1;
        }
        c->text.append(data, size);
        return static_cast<ssize_t>(size);
    }
    // Lets ftell report how much has been written, buffered or not.
    static int seek(void *cookie, off64_t *offset, int whence)
    {
        if (whence != SEEK_CUR || *offset != 0) {
            return -1;
        }
        *offset = static_cast<off64_t>(static_cast<Capture *>(cookie)->text.size());
        return 0;
    }
};

// The scripted clock. At each reading that starts a measurement it checks
// that the earlier measurements' lines have left the stream's buffer, and
// spoils the constants and J; at each reading that ends one it checks that
// the constants were assigned and the pass ran in between, and that
// nothing was written to standard output inside the timed interval.
struct Script {
    std::vector<time_t> readings;
    size_t next = 0;
    const Capture *out = nullptr;
    long start_position = 0;
};
Script script;

time_t scripted_clock()
{
    if (script.next >= script.readings.size()) {
        ADD_FAILURE() << "the clock was read more often than scripted";
        return script.readings.empty() ? 0 : script.readings.back();
    }
    const long position = ftell(script.out->file);
    if (script.next % 2 == 0) {
        EXPECT_EQ(static_cast<long>(script.out->text.size()), position)
            << "an earlier measurement's lines still in the buffer";
        script.start_position = position;
        T = T1 = T2 = 0.0;
        J = -1;
    } else {
        EXPECT_EQ(T, 0.499975);
        EXPECT_EQ(T1, 0.50025);
        EXPECT_EQ(T2, 2.0);
        EXPECT_EQ(J, 2) << "no pass ran between the clock readings";
        EXPECT_EQ(position, script.start_position) << "output inside the timed interval";
    }
    return script.readings[script.next++];
}

struct Outcome {
    std::string out, err;
    int status;
    int out_writes, err_writes;
    size_t readings;
};

// Runs the benchmark as main does, with standard output block-buffered
// and standard error unbuffered, as they are for a redirected process.
Outcome run(const std::vector<std::string> &args, const std::vector<time_t> &readings,
            int fail_from = INT_MAX, size_t out_buffer = 1 << 16)
{
    Capture out(_IOFBF, out_buffer);
    Capture err(_IONBF, 0);
    out.fail_from = fail_from;
    script = Script{readings, 0, &out, 0};
    std::vector<const char *> argv = {"zarvek"};
    for (const std::string &a : args) {
        argv.push_back(a.c_str());
    }
    const int status =
        finish_output(out.file, err.file,
                      run_benchmark<scripted_clock>(static_cast<int>(argv.size()), argv.data(),
                                                    out.file, err.file));
    return {out.text, err.text, status, out.writes, err.writes, script.next};
}

struct Case {
    const char *name;
    std::vector<std::string> args;
    std::vector<time_t> readings;
    std::string out;
    std::string err;
    int status;
};

const Case CASES[] = {
    {"NoArguments", {}, {0, 1}, report(1000, 1, "100.0 MIPS"), "", 0},
    {"DashC", {"-c"}, {0, 1, 1, 1}, report(1000, 1, "100.0 MIPS") + SHORT, "", 1},
    {"DashCx", {"-cx"}, {0, 1, 1, 1}, report(1000, 1, "100.0 MIPS") + SHORT, "", 1},
    {"BareC", {"c"}, {0, 1, 1, 1}, report(1000, 1, "100.0 MIPS") + SHORT, "", 1},
    {"Cont", {"cont"}, {0, 1, 1, 1}, report(1000, 1, "100.0 MIPS") + SHORT, "", 1},
    {"DashX", {"-x"}, {}, "", USAGE, 1},
    {"Zero", {"0"}, {}, "", USAGE, 1},
    {"Negative", {"-5"}, {}, "", USAGE, 1},
    {"Word", {"abc"}, {}, "", USAGE, 1},
    {"UpperC", {"C"}, {}, "", USAGE, 1},
    {"Empty", {""}, {}, "", USAGE, 1},
    {"ContinuousThenZero", {"-c", "0"}, {}, "", USAGE, 1},
    {"BadBeforeGood", {"x", "5", "-c"}, {}, "", USAGE, 1},
    {"HugeNegative", {"-99999999999"}, {}, "", USAGE, 1},
    {"DigitsThenText", {"12abc"}, {0, 1}, report(12, 1, "1.2 MIPS"), "", 0},
    {"LeadingSpace", {" 42"}, {0, 1}, report(42, 1, "4.2 MIPS"), "", 0},
    {"PlusSign", {"+7"}, {0, 1}, report(7, 1, "700.0 KIPS"), "", 0},
    {"LaterCountWins", {"100", "200"}, {0, 1}, report(200, 1, "20.0 MIPS"), "", 0},
    {"CountThenContinuous", {"20", "-c"}, {5, 7, 7, 7}, report(20, 2, "1.0 MIPS") + SHORT, "", 1},
    {"ExactlyAThousand", {"10"}, {0, 1}, report(10, 1, "1.0 MIPS"), "", 0},
    {"SevenLoops", {"7"}, {0, 1}, report(7, 1, "700.0 KIPS"), "", 0},
    {"SevenSeconds", {"3"}, {100, 107}, report(3, 7, "42.9 KIPS"), "", 0},
    {"SameSecond", {"5"}, {3, 3}, SHORT, "", 1},
    {"ClockWentBack", {"5"}, {10, 4}, SHORT, "", 1},
    // Readings either side of 2038-01-19 03:14:07, where a 32-bit clock
    // wraps to 1901.
    {"Across2038", {"5"}, {2147483646, 2147483649}, report(5, 3, "166.7 KIPS"), "", 0},
    {"ContinuousEndsOnZero",
     {"-c", "20"},
     {0, 1, 1, 3, 3, 6, 6, 6},
     report(20, 1, "2.0 MIPS") + report(20, 2, "1.0 MIPS") + report(20, 3, "666.7 KIPS") + SHORT,
     "",
     1},
    {"ContinuousEndsGoingBack", {"c", "7"}, {100, 99}, SHORT, "", 1},
};

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

class Driver : public ::testing::TestWithParam<Case> {};

TEST_P(Driver, PrintsExactlyTheReport)
{
    const Case &c = GetParam();
    const Outcome o = run(c.args, c.readings);
    EXPECT_EQ(o.out, c.out);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.readings, c.readings.size()) << "clock readings taken";
    // Each measurement's lines leave together, in one write, when it ends.
    EXPECT_EQ(o.out_writes, static_cast<int>(c.readings.size() / 2));
    // The usage line goes out as one block.
    EXPECT_EQ(o.err_writes, c.err.empty() ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, Driver, ::testing::ValuesIn(CASES),
                         [](const auto &info) { return std::string(info.param.name); });

struct Rating {
    int32_t loops;
    time_t seconds;
    const char *line;
};

// The rating is single precision; these show where that shows.
const Rating RATINGS[] = {
    {1000, 1, "100.0 MIPS"},
    {5000, 10, "50.0 MIPS"},
    {1, 1000, "0.1 KIPS"},
    // 1050 / 1000 in double is just above 1.05; in float, just below.
    {1050, 100, "1.1 MIPS"},
    // 999.999997 rounds to 1000.0 in float: MIPS, not "1000.0 KIPS".
    {999999997, 100000000, "1.0 MIPS"},
    // 214748364700 is 214748364800 in float.
    {INT32_MAX, 1, "214748364.8 MIPS"},
};

TEST(Report, RatingIsComputedInSinglePrecision)
{
    for (const Rating &r : RATINGS) {
        Capture out(_IOFBF, 1 << 16);
        EXPECT_TRUE(report_measurement(out.file, r.loops, 1, 1000, 1000 + r.seconds));
        fflush(out.file);
        EXPECT_EQ(out.text, report(r.loops, static_cast<long>(r.seconds), r.line));
    }
}

struct Parse {
    const char *text;
    int32_t value;
};

const Parse PARSES[] = {
    {"12abc", 12},
    {" 42", 42},
    {"\t\n\v\f\r 9", 9},
    {"+7", 7},
    {"-5", -5},
    {"00012", 12},
    {"1e3", 1},
    {"0x10", 0},
    {"abc", 0},
    {"", 0},
    {"+", 0},
    {"- 5", 0},
    {"+-5", 0},
    {"2147483647", INT32_MAX},
    {"2147483648", INT32_MAX},
    {"4294967297", INT32_MAX}, // 1 if it wrapped in 32 bits
    {"99999999999999999999999999999", INT32_MAX},
    {"-2147483648", INT32_MIN},
    {"-2147483649", INT32_MIN},
    {"-99999999999999999999999999999", INT32_MIN},
};

TEST(ParseLoops, ReadsLikeAtolAndSaturates)
{
    for (const Parse &p : PARSES) {
        EXPECT_EQ(parse_loops(p.text), p.value) << '"' << p.text << '"';
    }
}

TEST(WriteFailure, OneShotReportThatCannotBeWrittenFails)
{
    const Outcome o = run({"10"}, {0, 1}, 1);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "zarvek: cannot write standard output: No space left on device\n");
}

TEST(WriteFailure, ContinuousRunStopsAtTheMeasurementThatFailed)
{
    // The first write fails, or the second (the first measurement written
    // whole); with a buffer of many reports, or one smaller than a report.
    // The run must not go on past the measurement that failed.
    const std::vector<time_t> readings = {0, 1, 1, 2, 2, 3, 3, 4, 4, 4};
    for (const size_t buffer : {size_t{1} << 16, size_t{32}}) {
        const Outcome o = run({"-c", "10"}, readings, 1, buffer);
        EXPECT_EQ(o.readings, 2u) << buffer;
        EXPECT_EQ(o.out, "") << buffer;
        EXPECT_EQ(o.status, 1) << buffer;
        EXPECT_EQ(o.err, "zarvek: cannot write standard output: No space left on device\n");
    }
    const Outcome o = run({"-c", "10"}, readings, 2);
    EXPECT_EQ(o.readings, 4u);
    EXPECT_EQ(o.out, report(10, 1, "1.0 MIPS"));
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "zarvek: cannot write standard output: No space left on device\n");
}

TEST(WriteFailure, UsageErrorIsNotMaskedByTheFlush)
{
    const Outcome o = run({"0"}, {}, 1);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, USAGE);
}

} // namespace
