// SPDX-License-Identifier: MIT
// zarvek-fleet started by the real MPI launcher on this machine: its report
// and JSON with each host's facts, a rank slowed on purpose, passes past
// the subnormal edge, bad arguments and a rank that dies; the SHA-256 of
// those facts; and the report's figures on hosts that one machine cannot
// provide.
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "process.h"
#include "report.h"
#include "sha256.h"
#include "workload.h"

namespace {

using nlohmann::json;

// mpirun -np RANKS [MPI_OPTIONS] zarvek-fleet ARGS, ended if it hangs.
ProcessResult mpirun(int ranks, const std::vector<std::string> &mpi_options,
                     const std::vector<std::string> &args,
                     const std::string &program = ZARVEK_FLEET)
{
    // Open MPI refuses to run as root, as CI does, unless told twice.
    // Open MPI leaves much of what it allocates to the exit, in libraries
    // LeakSanitizer cannot unwind: under the sanitizers the ranks check
    // everything else, and the test process checks leaks. The environment
    // is set once, so that tests may launch from several threads.
    static const bool environment_set = [] {
        setenv("OMPI_ALLOW_RUN_AS_ROOT", "1", 0);
        setenv("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1", 0);
        const char *options = std::getenv("ASAN_OPTIONS");
        setenv("ASAN_OPTIONS",
               ((options != nullptr ? std::string(options) + ":" : "") + "detect_leaks=0").c_str(),
               1);
        return true;
    }();
    (void)environment_set;
    std::vector<std::string> argv = {MPIEXEC, "-np", std::to_string(ranks)};
    argv.insert(argv.end(), mpi_options.begin(), mpi_options.end());
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions options;
    options.timeout_seconds = 300;
    return run_process(argv, options);
}

// What mpirun gave, for a failure message: its status can be its own (1
// for a failure to start anything), so the output says what happened.
std::string shown(const ProcessResult &r)
{
    return "mpirun status " + std::to_string(r.status) + (r.timed_out ? " (timed out)" : "") +
           "\n--- standard output:\n" + r.out + "--- standard error:\n" + r.err;
}

size_t count(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

json read_json(const std::string &path)
{
    std::ifstream in(path);
    return json::parse(in); // throws, and fails the test, unless valid
}

TEST(Fleet, TwoRanksGiveAReportAndItsJson)
{
    const std::time_t began = std::time(nullptr);
    TempFile file;
    // At a 99 % threshold nothing a busy machine does flags a copy.
    const ProcessResult r = mpirun(
        2, {}, {"--loops", "200", "--repetitions", "3", "--threshold", "99", "--json", file.path});
    // The report first: without it nothing was measured, whatever the status.
    ASSERT_EQ(count(r.out, "\nFleet: 1 host, 2 copies: "), 1u) << shown(r);
    EXPECT_EQ(r.status, 0) << shown(r);
    EXPECT_EQ(count(r.out, "zarvek-fleet: 2 copies on 1 host, 3 repetitions of 200 loops\n"), 1u)
        << r.out;
    EXPECT_NE(r.out.find(": no outliers\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;

    const json report = read_json(file.path);
    EXPECT_EQ(report.at("loops"), 200);
    EXPECT_EQ(report.at("subnormal"), false);
    const json &copies = report.at("copies");
    ASSERT_EQ(copies.size(), 2u);
    std::vector<double> fleet_rates(3, INFINITY);
    for (size_t i = 0; i < copies.size(); ++i) {
        const json &copy = copies[i];
        EXPECT_EQ(copy.at("rank"), i);
        EXPECT_EQ(copy.at("host"), report.at("hosts")[0].at("host"));
        EXPECT_TRUE(copy.at("cpu").is_number_integer() && copy.at("cpu") >= 0) << copy;
        EXPECT_FALSE(copy.at("flagged").get<bool>());
        const auto rates = copy.at("rates").get<std::vector<double>>();
        ASSERT_EQ(rates.size(), 3u);
        EXPECT_EQ(copy.at("median"), median(rates));
        for (size_t r = 0; r < rates.size(); ++r) {
            EXPECT_GT(rates[r], 0);
            fleet_rates[r] = std::min(fleet_rates[r], rates[r]);
        }
    }
    // The fleet's rate is all the copies' work over the slowest copy's
    // time: twice the slowest rate, repetition by repetition.
    for (double &rate : fleet_rates) {
        rate *= 2;
    }
    const json &fleet = report.at("fleet");
    EXPECT_NEAR(fleet.at("rate").get<double>(), median(fleet_rates), 1e-9 * median(fleet_rates));
    EXPECT_EQ(fleet.at("hosts"), 1);
    EXPECT_EQ(fleet.at("copies"), 2);
    ASSERT_EQ(report.at("hosts").size(), 1u);
    EXPECT_EQ(report.at("hosts")[0].at("copies"), 2);
    EXPECT_FALSE(report.at("hosts")[0].at("flagged").get<bool>());
    const json &context = report.at("context");
    EXPECT_NE(context.at("flags").get<std::string>().find("-ffp-contract=off"), std::string::npos);
    for (const char *key : {"compiler", "target", "mpi"}) {
        EXPECT_NE(context.at(key).get<std::string>(), "") << key;
    }

    // The host's facts: when it ran, the bytes that ran as coreutils
    // digests them, and the machine as zarvek-report's own code records
    // it, key for key and value for value (natively: under an emulator
    // the two would see different machines).
    const json &host = report.at("hosts")[0];
    std::tm date{};
    const std::string text = host.at("date");
    ASSERT_NE(strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S+00:00", &date), nullptr) << text;
    EXPECT_LE(std::abs(std::difftime(timegm(&date), began)), 60) << text;
    const ProcessResult digest = run_process({"sha256sum", ZARVEK_FLEET});
    EXPECT_EQ(host.at("zarvek_fleet_sha256"), digest.out.substr(0, 64)) << digest.err;
    if (!ZARVEK_EMULATED) {
        const std::string script =
            "import json, sys; sys.path.insert(0, sys.argv[1]); from zarvek import _machine; "
            "print(json.dumps(_machine.machine_record([int(sys.argv[2])])))";
        const ProcessResult python =
            run_process({"/usr/bin/python3", "-c", script, ZARVEK_PYTHON_SOURCE,
                         std::to_string(copies[0].at("cpu").get<int>())});
        const json recorded = json::parse(python.out);
        ASSERT_EQ(host.at("machine").size(), 5u) << host;
        for (const auto &[key, value] : host.at("machine").items()) {
            EXPECT_EQ(value, recorded.at(key)) << key;
        }
    }
}

// Digests of lengths on either side of the padding's edges (55 bytes and
// more leave no room in the block for the length), given whole and byte
// by byte, against coreutils'.
TEST(Sha256, AgreesWithCoreutilsAtEveryPaddingEdge)
{
    TempDir dir;
    std::vector<std::string> argv = {"sha256sum"};
    std::vector<std::string> contents;
    for (const size_t length : {0, 1, 55, 56, 63, 64, 65, 119, 120, 1000003}) {
        std::string bytes(length, '\0');
        for (size_t i = 0; i < length; ++i) {
            bytes[i] = static_cast<char>(i * 7 + i / 256);
        }
        argv.push_back(dir.path + "/" + std::to_string(length));
        std::ofstream(argv.back(), std::ios::binary) << bytes;
        contents.push_back(bytes);
    }
    const ProcessResult r = run_process(argv);
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    for (size_t i = 0; i < contents.size(); ++i) {
        std::string expected, path, error;
        lines >> expected >> path;
        Sha256 pieces;
        for (const char c : contents[i]) {
            pieces.update(&c, 1);
        }
        EXPECT_EQ(pieces.hex(), expected) << path;
        EXPECT_EQ(file_sha256(path, error), expected) << path << error;
    }
    std::string error;
    EXPECT_EQ(file_sha256(dir.path + "/none", error), "");
    EXPECT_EQ(error, "cannot read " + dir.path + "/none: No such file or directory");
}

// A process that keeps one CPU busy until the test ends, at a priority
// (where allowed, as for root) that leaves the rank sharing its CPU about
// a twentieth of it, so that this rank is the slow one even while other
// work loads the machine. Where the kernel shares the CPU among sessions
// (autogroup), a session's priority is what counts, so it makes its own.
struct BusyProcess {
    explicit BusyProcess(int cpu)
    {
        pid = fork();
        if (pid == 0) {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(cpu, &set);
            sched_setaffinity(0, sizeof set, &set);
            setsid();
            if (FILE *group = std::fopen("/proc/self/autogroup", "w")) {
                std::fputs("-10", group);
                std::fclose(group);
            }
            setpriority(PRIO_PROCESS, 0, -10);
            for (volatile unsigned spin = 0;; spin = spin + 1) {
            }
        }
    }
    ~BusyProcess()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    BusyProcess(const BusyProcess &) = delete;
    BusyProcess &operator=(const BusyProcess &) = delete;
    pid_t pid;
};

TEST(Fleet, SlowRankIsFlaggedWithItsCpu)
{
    cpu_set_t allowed;
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE && cpus.size() < 2; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            cpus.push_back(cpu);
        }
    }
    if (cpus.size() < 2) {
        GTEST_SKIP() << "needs two CPUs";
    }
    const int fast = cpus[0];
    const int slow = cpus[1];
    const BusyProcess busy(slow);
    ASSERT_GT(busy.pid, 0);

    // Bound to cores, the two ranks run on the first two CPUs.
    TempFile file;
    const ProcessResult r = mpirun(2, {"--map-by", "core", "--bind-to", "core"},
                                   {"--loops", "2000", "--repetitions", "3", "--json", file.path});
    ASSERT_NE(r.out.find("\nOutliers: "), std::string::npos) << shown(r);
    EXPECT_EQ(r.status, 1) << shown(r);
    const json report = read_json(file.path);
    std::vector<int> seen;
    for (const json &copy : report.at("copies")) {
        const int cpu = copy.at("cpu");
        seen.push_back(cpu);
        EXPECT_FALSE(copy.at("migrated").get<bool>()) << copy;
        EXPECT_EQ(copy.at("flagged").get<bool>(), cpu == slow) << copy;
        if (cpu == slow) {
            const std::string line = "  copy on " + copy.at("host").get<std::string>() + ", rank " +
                                     std::to_string(copy.at("rank").get<int>()) + ", cpu " +
                                     std::to_string(slow) + ": ";
            EXPECT_EQ(count(r.out, line), 1u) << line << "\n" << r.out;
        }
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<int>{fast, slow}));
}

// One pass at the first loop count that computes with subnormal numbers:
// measured and reported as usual, marked in the JSON, and one warning for
// the job, not one per rank.
TEST(Fleet, PassesPastTheSubnormalEdgeAreMarkedWithOneWarning)
{
    TempFile file;
    const std::string loops = std::to_string(SUBNORMAL_LOOP);
    const ProcessResult r = mpirun(
        2, {}, {"--loops", loops, "--repetitions", "1", "--threshold", "99", "--json", file.path});
    ASSERT_EQ(
        count(r.out, "zarvek-fleet: 2 copies on 1 host, 1 repetition of " + loops + " loops\n"), 1u)
        << shown(r);
    EXPECT_EQ(r.status, 0) << shown(r);
    EXPECT_EQ(count(r.err, "warning"), 1u) << r.err;
    EXPECT_EQ(count(r.err, "zarvek-fleet: warning: at 327,584 loops the passes computed with "
                           "subnormal numbers"),
              1u)
        << r.err;
    const json report = read_json(file.path);
    EXPECT_EQ(report.at("loops"), SUBNORMAL_LOOP);
    EXPECT_EQ(report.at("subnormal"), true);
}

TEST(Fleet, BadArgumentsGiveStatusTwoAndOneMessage)
{
    const std::string usage = "usage: zarvek-fleet [--loops N]";
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"--loops", "0"}, usage},
        {{"--repetitions=ten"}, usage},
        {{"--threshold"}, usage},
        {{"5000"}, usage},
        {{"--json", "/nonexistent/fleet.json"}, "cannot write /nonexistent/fleet.json"},
        {{"--json", "/tmp"}, "cannot write /tmp: it is a folder"},
    };
    // One launch at a time: Open MPI launchers started together on one
    // host can end a clean job with a rank that "exited improperly" and a
    // status of their own; one at a time, the status is zarvek-fleet's.
    for (const auto &c : cases) {
        const ProcessResult r = mpirun(2, {}, c.args);
        EXPECT_EQ(count(r.err, c.message), 1u) << c.args[0] << "\n" << shown(r);
        EXPECT_EQ(r.status, 2) << c.args[0] << "\n" << shown(r);
        EXPECT_EQ(r.out, "") << c.args[0];
    }
}

TEST(Fleet, ARankThatDiesEndsTheJobWithoutARating)
{
    // Rank 1 is killed in the middle of its passes.
    TempFile script;
    std::ofstream(script.path) << "if [ \"$OMPI_COMM_WORLD_RANK\" = 1 ]; then\n"
                                  "  \"$@\" & sleep 1; kill -KILL $!; wait $!; exit\n"
                                  "fi\n"
                                  "exec \"$@\"\n";
    TempFile file;
    const ProcessResult r = mpirun(2, {},
                                   {script.path, ZARVEK_FLEET, "--loops", "20000", "--repetitions",
                                    "100", "--json", file.path},
                                   "/bin/bash");
    EXPECT_EQ(r.out.find("Fleet:"), std::string::npos) << shown(r);
    EXPECT_NE(r.status, 0) << shown(r);
    EXPECT_NE(r.status, 1) << shown(r);
    EXPECT_EQ(read_file(file.path), "");
}

// Hosts and ranks given out of order; one copy on host b runs at half
// speed. At 10 loops a copy's rate in MIPS is 1 / seconds.
TEST(FleetReport, GroupsHostsAndFlagsTheSlowCopyAndItsHost)
{
    auto copy = [](const char *host, int rank, std::vector<double> seconds) {
        Copy c;
        c.host = host;
        c.rank = rank;
        c.cpu = rank;
        c.seconds = std::move(seconds);
        return c;
    };
    const Report report =
        compute_report({copy("b", 3, {2, 4, 2}), copy("a", 0, {1, 1, 1}), copy("b", 1, {1, 1, 1}),
                        copy("a", 2, {1, 1, 1}), copy("a", 4, {1, 1, 1})},
                       10, 5);
    ASSERT_EQ(report.copies.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(report.copies[i].rank, static_cast<int>(i));
        EXPECT_EQ(report.copies[i].flagged, i == 3) << i;
    }
    EXPECT_DOUBLE_EQ(report.copies[3].median, 0.5);
    ASSERT_EQ(report.hosts.size(), 2u);
    const Host &a = report.hosts[0];
    const Host &b = report.hosts[1];
    EXPECT_EQ(a.host, "a");
    EXPECT_EQ(a.copies.size(), 3u);
    EXPECT_DOUBLE_EQ(a.rate, 3);
    EXPECT_FALSE(a.flagged);
    EXPECT_EQ(b.host, "b");
    EXPECT_DOUBLE_EQ(b.rate, 1); // 2 copies over 2, 4, 2 seconds
    EXPECT_DOUBLE_EQ(b.median, 0.75);
    EXPECT_DOUBLE_EQ(b.slowest, 0.5);
    EXPECT_EQ(b.slowest_rank, 3);
    EXPECT_TRUE(b.flagged);
    EXPECT_EQ(report.fleet.hosts, 2u);
    EXPECT_EQ(report.fleet.copies, 5u);
    EXPECT_DOUBLE_EQ(report.fleet.rate, 2.5); // 5 copies over 2, 4, 2 seconds
    EXPECT_DOUBLE_EQ(report.fleet.median, 1);
    EXPECT_DOUBLE_EQ(report.fleet.spread, 50);
    EXPECT_EQ(report_status(report), 1);
}

} // namespace
