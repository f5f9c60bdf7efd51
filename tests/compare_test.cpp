// SPDX-License-Identifier: MIT
// zarvek-compare run for real on small budgets: this build against a copy
// of itself, a build that is not faithful, and input it must refuse; and
// its choice of loop count among scripted zarvek-bench programs.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "process.h"

namespace fs = std::filesystem;

namespace {

// A fresh folder under the temporary folder, removed with what it holds.
struct TempDir {
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "zarvek-compare-XXXXXX").string();
        if (mkdtemp(&pattern[0]) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = pattern;
    }
    ~TempDir() { fs::remove_all(path); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    fs::path path;
};

ProcessResult compare(std::vector<std::string> args)
{
    args.insert(args.begin(), ZARVEK_COMPARE);
    return run_process(args);
}

const std::string BUILD = fs::path(ZARVEK_BENCH).parent_path().string();

// A folder holding a zarvek-bench that is this shell script.
void fake_bench(const fs::path &folder, const std::string &script)
{
    fs::create_directory(folder);
    std::ofstream(folder / "zarvek-bench") << "#!/bin/sh\n" << script << "\n";
    fs::permissions(folder / "zarvek-bench", fs::perms::owner_all);
}

// The same bytes in other folders measure the same: three builds give two
// comparisons, and neither copy is ever called faster or slower (the
// error the looks may spend is 5 % in all, and at this budget the
// intervals are wide), whatever else the verdict is. Without the verifier
// here (the next tests run it). The cap leaves room for the first look's
// four blocks on a loaded machine, where 5 s held only three.
TEST(Compare, CopiesOfABuildAreNeverFasterOrSlower)
{
    TempDir dir;
    const fs::path copy = fs::path(dir.path) / "copy", copy2 = fs::path(dir.path) / "copy2";
    for (const fs::path &folder : {copy, copy2}) {
        fs::create_directory(folder);
        fs::copy_file(ZARVEK_BENCH, folder / "zarvek-bench");
    }
    const fs::path json = fs::path(dir.path) / "c.json", svg = fs::path(dir.path) / "c.svg";
    const ProcessResult r =
        compare({"--time", "10", "--loop", "1000", "--margin", "2", "--no-verify", "--json",
                 json.string(), "--plot", svg.string(), BUILD, copy.string(), copy2.string()});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const nlohmann::json doc = nlohmann::json::parse(read_file(json.string()));
    const std::string interval =
        "\\(95 % CI (\xe2\x88\x92|\\+)[0-9.]+ % to (\xe2\x88\x92|\\+)[0-9.]+ %\\)";
    for (const char *x : {"B", "C"}) {
        std::string line = "\n";
        line += x;
        line += " (is the same as A within \xc2\xb1"
                "2 % ";
        line += interval;
        line += ", decided after [0-9]+ rounds \\([0-9.]+ s\\)";
        line += "|against A is undecided ";
        line += interval;
        line += ": about [0-9]+ s more on this machine would decide it)\n";
        EXPECT_TRUE(std::regex_search(r.out, std::regex(line))) << x << "\n" << r.out;
    }
    EXPECT_NE(r.out.find("Not verified (--no-verify)"), std::string::npos) << r.out;
    EXPECT_EQ(
        r.out.rfind("zarvek-compare: timed_pass/1000 (1,000 loops, rates by the wall clock), ", 0),
        0u)
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n   [123]  A .* the reference\n")))
        << "A not ranked among its copies: " << r.out;
    EXPECT_EQ(doc.at("loops"), 1000);
    EXPECT_EQ(doc.at("subnormal"), false);
    EXPECT_EQ(doc.at("clock"), "wall");
    EXPECT_EQ(doc.at("margin"), 0.02);
    EXPECT_FALSE(doc.contains("p_value"));
    EXPECT_EQ(doc.at("order"), "random within each block");

    // The first comparison at the top, as before there were more, and
    // every comparison with its build's record.
    ASSERT_EQ(doc.at("comparisons").size(), 2u);
    EXPECT_EQ(doc.at("verdict"), doc.at("comparisons")[0].at("verdict"));
    EXPECT_EQ(doc.at("ratio"), doc.at("comparisons")[0].at("ratio"));
    std::vector<std::string> order;
    std::set<int> ranks = {doc.at("rank_of_a").get<int>()};
    for (const nlohmann::json &c : doc.at("comparisons")) {
        ranks.insert(c.at("rank").get<int>());
        const std::string verdict = c.at("verdict");
        EXPECT_TRUE(verdict == "same" || verdict == "undecided") << c.dump();
        const double ratio = c.at("ratio");
        EXPECT_LE(c.at("ci_low").get<double>(), ratio);
        EXPECT_GE(c.at("ci_high").get<double>(), ratio);
    }
    EXPECT_EQ(ranks, (std::set<int>{1, 2, 3}));
    EXPECT_EQ(doc.at("comparisons")[0].at("path"), copy.string());
    EXPECT_EQ(doc.at("comparisons")[1].at("path"), copy2.string());
    // The rounds come in whole blocks of five of each build, at least the
    // one the first decisive look needs, each round with its one
    // repetition's rate.
    const std::map<std::string, nlohmann::json> sides = {
        {"A", doc.at("a")}, {"B", doc.at("b")}, {"C", doc.at("comparisons")[1]}};
    for (const auto &[label, s] : sides) {
        EXPECT_GT(s.at("median").get<double>(), 0) << label;
        EXPECT_EQ(s.at("verifier"), "not verified") << label;
        EXPECT_NE(s.at("flags").get<std::string>().find("-ffp-contract=off"), std::string::npos);
        EXPECT_NE(s.at("compiler"), "unknown");
        for (const nlohmann::json &round : s.at("rounds")) {
            const size_t n = round.at("round");
            if (order.size() < n) {
                order.resize(n);
            }
            order[n - 1] = label;
            EXPECT_EQ(round.at("rates").size(), 1u);
        }
    }
    EXPECT_EQ(doc.at("a").at("path"), BUILD);
    ASSERT_GE(order.size(), 15u);
    ASSERT_EQ(order.size() % 15, 0u);
    std::set<std::string> blocks;
    for (size_t i = 0; i < order.size(); i += 15) {
        std::string block;
        for (size_t j = i; j < i + 15; ++j) {
            block += order[j];
        }
        blocks.insert(block);
        for (const char *x : {"A", "B", "C"}) {
            EXPECT_EQ(std::count(block.begin(), block.end(), x[0]), 5) << block;
        }
    }
    // A fresh random order in each block: 756,756 orders, so that two
    // blocks in one order would be a fault.
    EXPECT_EQ(blocks.size(), order.size() / 15) << "the blocks' orders repeat";
    EXPECT_NE(read_file(svg.string()).find("<svg"), std::string::npos) << "no plot";

    // Judged again from the saved rounds, the same verdicts, ratios and
    // intervals, and the same document but for its settings' record.
    const fs::path again = fs::path(dir.path) / "again.json";
    const ProcessResult from = compare({"--from", json.string(), "--json", again.string()});
    ASSERT_EQ(from.status, 0) << from.out << from.err;
    const nlohmann::json redone = nlohmann::json::parse(read_file(again.string()));
    EXPECT_EQ(redone.at("comparisons"), doc.at("comparisons"));
    EXPECT_EQ(redone.at("elapsed"), doc.at("elapsed"));
    EXPECT_NE(from.out.find("from " + json.string()), std::string::npos) << from.out;
}

// Whether a process runs in FOLDER (as zarvek-compare runs a zarvek-bench).
bool process_in(const fs::path &folder)
{
    for (const fs::directory_entry &entry : fs::directory_iterator("/proc")) {
        std::error_code error;
        if (fs::read_symlink(entry.path() / "cwd", error) == folder) {
            return true;
        }
    }
    return false;
}

// Ctrl-C, or SIGTERM, during the rounds stops the running zarvek-bench
// and writes no JSON; the status says which signal ended it, with no
// traceback.
TEST(Compare, AnInterruptStopsTheBenchAndWritesNothing)
{
    for (const int signal : {SIGINT, SIGTERM}) {
        TempDir dir;
        TempFile err;
        const fs::path copy = dir.path / "copy", json = dir.path / "c.json";
        fs::create_directory(copy);
        fs::copy_file(ZARVEK_BENCH, copy / "zarvek-bench");
        std::vector<std::string> args = {ZARVEK_COMPARE, "--time",      "60",     "--loop",
                                         "1000",         "--no-verify", "--json", json.string(),
                                         BUILD,          copy.string()};
        std::vector<char *> argv;
        argv.reserve(args.size() + 1);
        for (std::string &arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        // The signal as a terminal or kill gives it, whatever this process
        // ignores.
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, signal);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, err.path.c_str(), O_WRONLY | O_TRUNC, 0);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);

        bool running = false; // the copy's zarvek-bench, in its first round
        for (int wait = 0; wait < 1000 && !running; ++wait) {
            usleep(20000);
            running = process_in(copy);
        }
        kill(pid, signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        const std::string said = read_file(err.path);
        EXPECT_TRUE(running) << "no round of the copy seen";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signal) << status << said;
        EXPECT_NE(
            said.find("interrupted by signal " + std::to_string(signal) + "; nothing written"),
            std::string::npos)
            << said;
        EXPECT_EQ(said.find("Traceback"), std::string::npos) << said;
        EXPECT_FALSE(process_in(copy)) << "a zarvek-bench left running";
        EXPECT_FALSE(fs::exists(json));
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1)
            << "a temporary file left";
    }
}

// A build that does less than the work is not compared, however fast:
// status 1 with the verifier's shortfall for it, and no JSON.
TEST(Compare, RefusesABuildThatIsNotFaithful)
{
#ifndef CHEAT_FIXTURE
    GTEST_SKIP() << "the verifier's fixtures are not built (ZARVEK_VERIFIER_TESTS)";
#else
    TempDir dir;
    const fs::path cheat = dir.path / "cheat", json = dir.path / "c.json";
    fs::create_directory(cheat);
    fs::create_symlink(CHEAT_FIXTURE, cheat / "zarvek");
    fs::create_symlink(ZARVEK_BENCH, cheat / "zarvek-bench");
    const ProcessResult r = compare({"--time", "10", "--loop", "1000", "--repetitions", "2",
                                     "--json", json.string(), BUILD, cheat.string()});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("B (" + cheat.string() + "): " + (cheat / "zarvek").string() +
                         " is not faithful"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("\n  - Calls per loop, log: specified 93, measured 0\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("A ("), std::string::npos) << "the faithful build blamed: " << r.err;
    EXPECT_FALSE(fs::exists(json));
#endif
}

// Input it cannot compare: status 2 (1 for a build whose floating point
// is not IEEE), a message naming the build and the cause, no verdict and
// no JSON.
TEST(Compare, RefusesWhatItCannotCompare)
{
    TempDir dir;
    const fs::path json = dir.path / "c.json";
    const std::string silent = (dir.path / "silent").string();
    const std::string crashing = (dir.path / "crashing").string();
    const std::string other = (dir.path / "other").string();
    const std::string lists =
        "[ \"$1\" = --benchmark_list_tests ] && { echo timed_pass/1000; exit; }";
    fake_bench(silent, lists + "\necho no report");
    fake_bench(crashing, lists + "\nkill -SEGV $$");
    fake_bench(other, "echo timed_pass/7");
    // A zarvek-bench whose context says it flushes subnormal numbers to
    // zero: refused with status 1, as zarvek-report refuses it.
    const std::string flushing = (dir.path / "flushing").string();
    fake_bench(flushing, lists + "\necho '{\"context\": {\"flush_to_zero\": \"true\"}, "
                                 "\"benchmarks\": [{\"name\": \"timed_pass/1000\", \"run_type\": "
                                 "\"iteration\", \"real_time\": 1, \"time_unit\": \"ms\", "
                                 "\"items_per_second\": 1e9}]}'");
    // A zarvek the verifier cannot judge, beside a real zarvek-bench.
    const std::string unjudged = (dir.path / "unjudged").string();
    fake_bench(unjudged, "");
    fs::rename(fs::path(unjudged) / "zarvek-bench", fs::path(unjudged) / "zarvek");
    fs::create_symlink(ZARVEK_BENCH, fs::path(unjudged) / "zarvek-bench");
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"/nonexistent/build", BUILD}, "A (/nonexistent/build): no such build folder"},
        {{"--cpu", "4096", BUILD, BUILD}, "--cpu 4096: not a CPU this process may run on"},
        {{"--time", "0.5", BUILD, BUILD}, "--time 0.5: too short for 5 rounds of each build"},
        {{"--time", "inf", BUILD, BUILD}, "--time inf: a finite number of seconds above 0"},
        {{BUILD, BUILD + "/zarvek"},
         "B (" + BUILD + "/zarvek): " + BUILD + "/zarvek is zarvek itself, not a build"},
        {{BUILD}, "error: at least two builds, A and B"},
        {{"--margin", "0", BUILD, BUILD}, "--margin 0: a positive percentage below 50"},
        {{"--margin", "50", BUILD, BUILD}, "--margin 50: a positive percentage below 50"},
        {{"--margin", "-1", BUILD, BUILD}, "--margin -1: a positive percentage below 50"},
        {{"--margin", "abc", BUILD, BUILD}, "--margin abc: a positive percentage below 50"},
        {{BUILD, flushing},
         "B (" + flushing + "): " + flushing +
             "/zarvek-bench runs with subnormal numbers flushed to zero"},
        {{"--loop", "0", BUILD, BUILD},
         "error: argument --loop: must be a whole number from 1 to 2147483647, not '0'"},
        {{BUILD, silent}, "B (" + silent + "): zarvek-bench printed no JSON report"},
        {{BUILD, crashing}, "B (" + crashing + "): zarvek-bench killed by signal 11"},
        {{other, BUILD},
         "A (" + other + ") and B (" + BUILD + ") have no timed_pass LOOP in common"},
        {{"--verify", "--loop", "1000", unjudged, unjudged},
         "A (" + unjudged + "): zarvek-verify: " + unjudged +
             "/zarvek cannot be judged: it is not an ELF file"},
    };
    for (const auto &c : cases) {
        // A budget that fits a loaded machine: none of these runs its rounds.
        std::vector<std::string> args = {"--time", "10",     "--repetitions",
                                         "2",      "--json", json.string()};
        if (c.args[0] == "--verify") {
            args.insert(args.end(), c.args.begin() + 1, c.args.end());
        } else {
            args.push_back("--no-verify");
            args.insert(args.end(), c.args.begin(), c.args.end());
        }
        const ProcessResult r = compare(args);
        const int status = c.message.find("flushed to zero") == std::string::npos ? 2 : 1;
        EXPECT_EQ(r.status, status) << c.message << "\n" << r.out << r.err;
        EXPECT_EQ(r.out, "") << c.message;
        EXPECT_NE(r.err.find("zarvek-compare: " + c.message), std::string::npos)
            << c.message << "\n"
            << r.err;
        EXPECT_FALSE(fs::exists(json)) << c.message;
    }
}

// A saved comparison of two builds as --json writes it, BLOCKS blocks of
// three rounds of each, A's rounds in each block first.
nlohmann::json saved_run(int blocks)
{
    nlohmann::json doc = {{"benchmark", "timed_pass/1000"},
                          {"loops", 1000},
                          {"cpu", 0},
                          {"repetitions", 1},
                          {"time_budget", 60},
                          {"margin_given", "1"},
                          {"plan", {{"per_block", 3}}}};
    nlohmann::json sides[2];
    for (int n = 1; n <= 6 * blocks; ++n) {
        const bool b = (n - 1) % 6 >= 3;
        sides[b]["rounds"].push_back(
            {{"round", n}, {"rates", {1e9 + n}}, {"start", n - 1.0}, {"end", double(n)}});
    }
    for (nlohmann::json &side : sides) {
        side["path"] = "build";
        side["probe_seconds_per_loop"] = 1e-3;
    }
    sides[1]["build"] = "B";
    doc["a"] = sides[0];
    doc["b"] = sides[1];
    doc["comparisons"] = {sides[1]};
    return doc;
}

// --from refuses, naming the file and what it lacks, whatever it cannot
// judge again: status 2, no verdict, no JSON. Builds beside --from are a
// usage error.
TEST(Compare, FromRefusesWhatItCannotJudgeAgain)
{
    TempDir dir;
    nlohmann::json timeless = saved_run(4);
    for (nlohmann::json &round : timeless["comparisons"][0]["rounds"]) {
        round.erase("end");
    }
    const std::string whole = saved_run(4).dump();
    const struct {
        std::string name, content, message;
        std::vector<std::string> more;
    } cases[] = {
        {"other.json", "{\"format\": 2, \"rating\": {}}", "not a saved zarvek-compare run", {}},
        {"cut.json", whole.substr(0, whole.size() / 2), "not JSON, or truncated", {}},
        {"timeless.json", timeless.dump(), "the saved run lacks each round's start and end", {}},
        {"short.json",
         saved_run(1).dump(),
         "1 complete block of 6 rounds, fewer than the first look that can decide needs (2)",
         {}},
        {"absent.json", "", "No such file or directory", {}},
        {"whole.json", whole, "error: --from runs nothing: not with builds", {BUILD}},
    };
    for (const auto &c : cases) {
        const fs::path file = dir.path / c.name, json = dir.path / "c.json";
        if (c.name != "absent.json") {
            std::ofstream(file) << c.content;
        }
        std::vector<std::string> args = {"--from", file.string(), "--json", json.string()};
        args.insert(args.end(), c.more.begin(), c.more.end());
        const ProcessResult r = compare(args);
        EXPECT_EQ(r.status, 2) << c.name << "\n" << r.out << r.err;
        EXPECT_EQ(r.out, "") << c.name;
        EXPECT_NE(r.err.find(c.more.empty()
                                 ? "zarvek-compare: --from " + file.string() + ": " + c.message
                                 : c.message),
                  std::string::npos)
            << c.name << "\n"
            << r.err;
        EXPECT_FALSE(fs::exists(json)) << c.name;
    }
}

// A zarvek-bench that lists timed_pass/N for N in LISTED (and, where it
// takes --loops, for the N it names), and "runs" any: a pass of N loops
// timed at about N ns by the wall clock, with a rate by another clock
// that is wrong, and the subnormal counter from the edge on. HUNDREDTHS
// scales the pass's time (100: N ns). With SECTIONS (ten numbers) it
// lists sections/100000 and sections/N for the N --loops names, whose
// runs time section S at SECTIONS' S-th number in ns per loop, plus a
// random 0-6 % that all sections of a repetition share.
void scripted_bench(const fs::path &folder, const std::string &listed, bool takes_loops,
                    int hundredths = 100, const std::string &sections = "")
{
    fake_bench(folder,
               "listed='" + listed + "' loop='' reps=1 list=0\n" + "sections='" + sections +
                   "' sloops=100000 name=timed_pass\n" +
                   "for arg; do case $arg in\n"
                   "  --loops=*) " +
                   (takes_loops
                        ? "listed=\"$listed ${arg#--loops=}\"; sloops=\"$sloops ${arg#*=}\";;\n"
                        : "echo \"unrecognized '$arg'\" >&2; exit 1;;\n") +
                   "  --benchmark_list_tests) list=1;;\n"
                   "  --benchmark_filter=*) loop=${arg#*/}; loop=${loop%?}; name=${arg#*^}; "
                   "name=${name%%/*};;\n"
                   "  --benchmark_repetitions=*) reps=${arg#*=};;\n"
                   "esac; done\n"
                   "if [ $list = 1 ]; then\n"
                   "  for n in $listed; do echo timed_pass/$n; done\n"
                   "  for n in $sloops; do [ -n \"$sections\" ] && echo sections/$n; done; exit 0\n"
                   "fi\n"
                   "sub=0; [ $loop -ge 327584 ] && sub=1\n"
                   "printf '{\"context\": {\"flush_to_zero\": \"false\"}, \"benchmarks\": ['\n"
                   "i=0; while [ $i -lt $reps ]; do\n"
                   "  [ $i = 0 ] || printf ,\n"
                   "  printf '{\"name\": \"%s/%s\", \"run_type\": \"iteration\", "
                   "\"real_time\": %se-2, \"time_unit\": \"ns\", \"items_per_second\": 1, "
                   "\"subnormal\": %s' $name $loop $((loop * (" +
                   std::to_string(hundredths) +
                   " + ($$ + i) % 7))) $sub\n"
                   "  j=$(($(od -An -N1 -tu1 /dev/urandom) % 7)) s=1\n"
                   "  for m in $sections; do\n"
                   "    printf ', \"section_%s\": %se-2' $s $((m * (100 + j))); s=$((s + 1))\n"
                   "  done\n"
                   "  printf '}'; i=$((i + 1))\n"
                   "done\n"
                   "echo ']}'");
}

// The loop count it compares at: the reference loop count where both list
// it; else the largest both list, saying so; one that a build lists only
// with --loops; none that a build cannot run. Past the subnormal edge the
// JSON says so and one warning is given. Every rate is from the wall
// clock: a pass of N loops in N ns is 1e14 instructions a second.
TEST(Compare, ChoosesTheLoopCountAndSaysWhy)
{
    TempDir dir;
    const std::string old_bench = (dir.path / "old").string(), a = (dir.path / "a").string(),
                      b = (dir.path / "b").string();
    scripted_bench(old_bench, "1 10 100 1000 10000", false);
    scripted_bench(a, "1 10 100 1000 10000 100000", true);
    scripted_bench(b, "1 10 100 1000 10000 100000", true);
    const std::string warning = "zarvek-compare: warning: at ";
    const struct {
        std::vector<std::string> args;
        int status;
        int loops;
        std::string message; // on standard error
    } cases[] = {
        {{a, b}, 0, 100000, ""},
        {{old_bench, b},
         0,
         10000,
         "zarvek-compare: note: no timed_pass/100000 (the reference loop count) in the "
         "zarvek-bench of A (" +
             old_bench + "); comparing at timed_pass/10000, the largest loop count both list\n"},
        {{"--loop", "400000", a, b},
         0,
         400000,
         warning + "400,000 loops the passes computed with subnormal numbers (they do from "
                   "327,584 loops on)"},
        {{"--loop", "400000", old_bench, b},
         2,
         0,
         "zarvek-compare: A (" + old_bench +
             "): zarvek-bench has no timed_pass/400000 and takes no --loops\n"},
    };
    for (const auto &c : cases) {
        const fs::path json = dir.path / "c.json";
        fs::remove(json);
        std::vector<std::string> args = {"--time", "4", "--no-verify", "--json", json.string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProcessResult r = compare(args);
        const std::string shown = c.message + "\n" + r.out + r.err;
        EXPECT_EQ(r.status, c.status) << shown;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << shown;
        EXPECT_EQ(r.err.find("note:") != std::string::npos,
                  c.message.find("note:") != std::string::npos)
            << shown;
        if (c.status != 0) {
            EXPECT_FALSE(fs::exists(json)) << shown;
            continue;
        }
        const nlohmann::json doc = nlohmann::json::parse(read_file(json.string()));
        EXPECT_EQ(doc.at("loops"), c.loops) << shown;
        EXPECT_EQ(doc.at("subnormal"), c.loops >= 327584) << shown;
        const size_t warnings = r.err.find(warning) == std::string::npos      ? 0
                                : r.err.find(warning) == r.err.rfind(warning) ? 1
                                                                              : 2;
        EXPECT_EQ(warnings, c.loops >= 327584 ? 1u : 0u) << shown;
        EXPECT_NE(r.out.find("zarvek-compare: timed_pass/" + std::to_string(c.loops) + " ("),
                  std::string::npos)
            << shown;
        for (const char *side : {"a", "b"}) {
            const double median = doc.at(side).at("median");
            EXPECT_TRUE(median > 0.93e14 && median <= 1e14) << side << " " << median;
        }
    }
}

// Builds a third slower and a third faster than A, each decided at a look
// and ranked; --fail-slower makes the slower one fail a pipeline.
TEST(Compare, DecidesFasterAndSlowerAndFailsASlowerBuild)
{
    TempDir dir;
    const std::string a = (dir.path / "a").string(), slow = (dir.path / "slow").string(),
                      fast = (dir.path / "fast").string();
    scripted_bench(a, "1000", false);
    scripted_bench(slow, "1000", false, 150);
    scripted_bench(fast, "1000", false, 75);
    const fs::path json = dir.path / "c.json";
    const ProcessResult r = compare(
        {"--time", "20", "--no-verify", "--fail-slower", "--json", json.string(), a, slow, fast});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    const nlohmann::json doc = nlohmann::json::parse(read_file(json.string()));
    ASSERT_EQ(doc.at("comparisons").size(), 2u);
    EXPECT_EQ(doc.at("comparisons")[0].at("verdict"), "slower") << r.out;
    EXPECT_EQ(doc.at("comparisons")[1].at("verdict"), "faster") << r.out;
    EXPECT_EQ(doc.at("comparisons")[0].at("rank"), 3);
    EXPECT_EQ(doc.at("rank_of_a"), 2);
    EXPECT_EQ(doc.at("comparisons")[1].at("rank"), 1);
    // Each scripted pass adds 0-6 % of jitter, so only the sentences' form is fixed.
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\nB is [0-9.]+ % slower than A \\(95 % CI")))
        << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\nC is [0-9.]+ % faster than A \\(95 % CI")))
        << r.out;
}

// --sections, after the verdict, at a loop count that zarvek-bench lists
// for sections/ only with --loops: in B, whose section 6 takes half as
// long again, section 6 alone is beyond the noise (the other sections'
// ratios share one random series, so they are called different in about
// 0.5 % of runs); C, without sections/, is noted and still compared.
TEST(Compare, SectionsSayWhereTheDifferenceIs)
{
    TempDir dir;
    const std::string a = (dir.path / "a").string(), slow = (dir.path / "slow").string(),
                      old_bench = (dir.path / "old").string(), json = (dir.path / "c.json");
    scripted_bench(a, "1000", true, 100, "0 12 14 345 210 32 899 616 0 93");
    scripted_bench(slow, "1000", true, 130, "0 12 14 345 210 48 899 616 0 93");
    scripted_bench(old_bench, "1000", true, 130);
    const ProcessResult r = compare({"--time", "8", "--loop", "1000", "--no-verify", "--sections",
                                     "--json", json, a, slow, old_bench});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("zarvek-compare: note: C (" + old_bench +
                         "): its zarvek-bench has no sections/1000"),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex("; B's time by section: section 6 \\+[0-9.]+ %, the rest within the "
                          "noise\n")))
        << r.out;
    const nlohmann::json doc = nlohmann::json::parse(read_file(json));
    EXPECT_EQ(doc.at("sections_phase").at("order"), "random within each block");
    EXPECT_TRUE(doc.at("comparisons")[1].at("sections").is_null());
    ASSERT_EQ(doc.at("comparisons")[0].at("sections").size(), 8u) << r.out;
    for (const nlohmann::json &section : doc.at("comparisons")[0].at("sections")) {
        EXPECT_EQ(section.at("ci_low") > 1.0 || section.at("ci_high") < 1.0,
                  section.at("section") == 6)
            << section.dump();
    }
}

} // namespace
