// SPDX-License-Identifier: MIT
#include "verdict.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>

const int LOOPS[RUNS] = {1, 3, 5};

namespace {

// Calls per unit of loop count: PA 14 (section 3), P3 899 (section 7), P0
// 616 (section 8); section 6 calls sin 2, cos 6 and atan 2 times per body,
// 32 bodies; section 10 calls log and exp once per body, 93 bodies, and
// takes 93 square roots, by instruction or by call.
struct Calls {
    const char *name;
    int64_t per_loop;
};
const Calls CALLS[] = {
    {"PA", 14},   {"P3", 899},  {"P0", 616}, {"sin", 64},
    {"cos", 192}, {"atan", 64}, {"log", 93}, {"exp", 93},
};
const int64_t SQUARE_ROOTS = 93;

// Data reads and writes per unit of loop count that the work itself needs:
// every read of an operand from its variable and every store of a result.
// Loop control (the pass's repetition index and section counts) is not
// the work and may live in registers; calls and spills come on top, so a
// binary must make at least these.
//
//   PA, per call: J = 0 (1W), then 6 rounds of four steps each reading four
//   elements and T or T2 (5R 1W) and J = J + 1 and the test (2R 1W):
//   6 x 22R + 6 x 5W + 1W = 132R 31W; 14 calls: 1848R 434W.
//   P3, per call: X = A, Y = B (2W); two steps reading X, Y, T (3R 1W);
//   OUT = (X + Y) / T2 (3R 1W): 9R 5W; 899 calls: 8091R 4495W.
//   P0, per call: three copies, each reading two indices and one element
//   (3R 1W): 9R 3W; 616 calls: 5544R 1848W.
//   The pass itself, per unit of loop count:
//     section 2, 12 bodies of four steps (5R 1W):          240R   48W
//     section 4, 345 bodies of three tests and stores:   1035R 1035W
//     section 5, 210 bodies: 5R, 4R, 4R, 4R, 4R; 5W:     4410R 1050W
//     section 6, 32 bodies of two steps (8R 1W):          512R   64W
//     section 7, 899 calls reading U and V:              1798R    0W
//     section 10, 93 bodies reading U and T1 (2R 1W):     186R   93W
//     in all:                                            8181R 2290W
//   Program total: 23664R 9067W.
struct Traffic {
    int procedure; // index in PROCEDURES, or -1 for all of them
    int64_t reads, writes;
};
const Traffic TRAFFIC[] = {
    {0, 1848, 434}, {1, 8091, 4495}, {2, 5544, 1848}, {3, 8181, 2290}, {-1, 23664, 9067},
};

// Conditional branches per unit of loop count that the work itself makes:
// PA's test of J closing each of its six rounds (14 x 6 = 84), and section
// 4's three tests per body (345 x 3 = 1035). Loop control is not the work:
// unrolled or counted another way, a loop may branch less than once per
// repetition. Section 4's branches are told from the rest by the trace's
// order: they run after section 3's last call of PA and before section 5
// first writes K. Its loop adds at least one branch per loop unit however
// far it is unrolled (the count is not known when it is compiled), so the
// window holds more than the 1035 tests: a section 4 with even one of its
// three tests made a conditional move, a select or a predicated store
// falls short, its loop's own branches making up at most the 345 it lost.
const int64_t BRANCHES_PA = 84, BRANCHES_SECTION_4 = 1035 + 1;

// Every access to a global, from an address trace. "Per loop" is the
// growth per unit of loop count, "once" what a measurement does whatever
// the count (the sections' initial assignments, and the driver's stores
// of the three constants).
//
//   J reads:  PA 2 x 6 x 14 = 168, section 4 3 x 345 = 1035, section 5
//             6 x 210 = 1260, P0 2 x 616 = 1232: 3695.
//   J writes: PA 7 x 14 = 98, section 4 3 x 345 = 1035, section 5 210:
//             1343; once: sections 4, 5, 8 and 9 start it.
//   K reads:  section 5 8 x 210 = 1680, P0 2 x 616: 2912. Writes 210; once 3.
//   L reads:  section 5 7 x 210 = 1470, P0 2 x 616: 2702. Writes 210; once 2.
//   T reads:  section 2 4 x 12 = 48, PA 3 x 6 x 14 = 252, section 6
//             2 x 32 = 64, P3 2 x 899 = 1798: 2162.
//   T2 reads: PA 6 x 14 = 84, section 6 2 x 32 = 64, P3 899: 1047.
//   T1 reads: section 10, 93.
//   E1[1..4]: section 2 reads each 4 x 12 = 48 times and writes it 12;
//             PA reads each 4 x 84 = 336 and writes it 84. Section 5 writes
//             E1[1] and E1[2] 210 times; P0, with J, K, L = 1, 2, 3, reads
//             and writes each of E1[1..3] once per call (616). E1[0]: never.
struct Accesses {
    const char *name;
    int64_t reads_per_loop, writes_per_loop, writes_once;
};
const Accesses ACCESSES[] = {
    {"J", 3695, 1343, 4},    {"K", 2912, 210, 3},     {"L", 2702, 210, 2},
    {"T", 2162, 0, 1},       {"T1", 93, 0, 1},        {"T2", 1047, 0, 1},
    {"E1[0]", 0, 0, 0},      {"E1[1]", 1000, 922, 2}, {"E1[2]", 1000, 922, 2},
    {"E1[3]", 1000, 712, 2}, {"E1[4]", 384, 96, 1},
};

// A count at each loop count of LOOPS: its growth per unit of loop count,
// the part that does not grow, and whether it grows exactly linearly. The
// loop counts are all odd: section 4 takes the other arms in every other
// body, and its arms differ in length, so its instructions grow linearly
// only between loop counts of the same parity.
struct Series {
    int64_t at[RUNS] = {};
    int64_t per_loop() const { return (at[1] - at[0]) / (LOOPS[1] - LOOPS[0]); }
    // The lesser growth of the two steps between loop counts: a loop
    // unrolled by the compiler runs a remainder that differs between loop
    // counts, so a minimum is judged on the slower growth.
    int64_t least_per_loop() const
    {
        return std::min(per_loop(), (at[2] - at[1]) / (LOOPS[2] - LOOPS[1]));
    }
    int64_t once() const { return at[0] - per_loop() * LOOPS[0]; }
    bool linear() const
    {
        return (at[2] - at[1]) * (LOOPS[1] - LOOPS[0]) == (at[1] - at[0]) * (LOOPS[2] - LOOPS[1]);
    }
    bool exactly(int64_t per, int64_t base) const
    {
        for (int r = 0; r < RUNS; ++r) {
            if (at[r] != per * LOOPS[r] + base) {
                return false;
            }
        }
        return true;
    }
};

std::string show(int64_t per_loop, int64_t once)
{
    return std::to_string(per_loop) + (once ? (once > 0 ? " +" : " ") + std::to_string(once) : "");
}

class Judge {
public:
    Judge(const Program &program, const Counts (&runs)[RUNS]) : program_(program), runs_(runs) {}

    // The sum over the workload's instructions of KINDS, times executions,
    // in one procedure or (-1) all.
    Series executed(unsigned kinds, int procedure = -1, const char *name = nullptr)
    {
        Series s;
        for (int r = 0; r < RUNS; ++r) {
            for (size_t i = 0; i < program_.code.size(); ++i) {
                const Instruction &in = program_.code[i];
                if ((kinds == 0 || (in.kinds & kinds)) &&
                    (procedure < 0 || in.procedure == procedure)) {
                    s.at[r] += runs_[r].executed[i];
                }
            }
        }
        return note(name, s);
    }

    Series calls(const std::string &callee)
    {
        Series s;
        for (int r = 0; r < RUNS; ++r) {
            const auto it = runs_[r].calls.find(callee);
            s.at[r] = it == runs_[r].calls.end() ? 0 : it->second;
        }
        return note(("calls to " + callee).c_str(), s);
    }

    // Loads and stores of one procedure's code (or all): measured where
    // the trace has data accesses, else counted from the instructions.
    Series traffic(bool reads, int procedure)
    {
        Series s;
        if (runs_[0].measured_data) {
            for (int r = 0; r < RUNS; ++r) {
                for (int p = 0; p < 4; ++p) {
                    if (procedure < 0 || p == procedure) {
                        s.at[r] += reads ? runs_[r].loads[p] : runs_[r].stores[p];
                    }
                }
            }
        } else {
            s = executed(reads ? LOAD : STORE, procedure);
        }
        return s;
    }

    Series window()
    {
        Series s;
        for (int r = 0; r < RUNS; ++r) {
            s.at[r] = runs_[r].window_branches;
        }
        return s;
    }

    Series global(const std::string &name, bool reads)
    {
        Series s;
        for (int r = 0; r < RUNS; ++r) {
            const auto it = runs_[r].globals.find(name);
            if (it != runs_[r].globals.end()) {
                s.at[r] = reads ? it->second.first : it->second.second;
            }
        }
        return note((name + (reads ? " reads" : " writes")).c_str(), s);
    }

    const std::vector<std::string> &nonlinear() const { return nonlinear_; }

private:
    Series note(const char *name, const Series &s)
    {
        if (name && !s.linear()) {
            nonlinear_.push_back(name);
        }
        return s;
    }

    const Program &program_;
    const Counts (&runs_)[RUNS];
    std::vector<std::string> nonlinear_;
};

} // namespace

std::vector<Row> judge(const Program &program, const Counts (&runs)[RUNS])
{
    std::vector<Row> rows;
    Judge j(program, runs);
    auto exactly = [&](const char *group, const std::string &item, int64_t per_loop, int64_t once,
                       const Series &s) {
        rows.push_back({group, item, show(per_loop, once), show(s.per_loop(), s.once()),
                        s.exactly(per_loop, once)});
    };
    auto at_least = [&](const char *group, const std::string &item, int64_t minimum,
                        const Series &s) {
        rows.push_back({group, item, ">= " + std::to_string(minimum),
                        std::to_string(s.least_per_loop()), s.least_per_loop() >= minimum});
    };

    std::string missing;
    for (const std::string &name : program.missing) {
        missing += (missing.empty() ? "missing: " : ", ") + name;
    }
    rows.push_back({"Symbols", "procedures PA, P3, P0, timed_pass; globals", "all",
                    missing.empty() ? "all" : missing, missing.empty()});

    const char *calls = "Calls per loop";
    for (const Calls &c : CALLS) {
        exactly(calls, c.name, c.per_loop, 0, j.calls(c.name));
    }
    Series roots = j.executed(SQRT, -1, "square root instructions");
    const Series sqrt_calls = j.calls("sqrt");
    for (int r = 0; r < RUNS; ++r) {
        roots.at[r] += sqrt_calls.at[r];
    }
    exactly(calls, "square roots (instruction or call)", SQUARE_ROOTS, 0, roots);
    // Calls that do part of the work in another shape: merged maths calls
    // (sincos for a sin and a cos), or a procedure split by partial
    // inlining, whose whole-procedure calls then fall short.
    std::string merged;
    for (const auto &[callee, count] : runs[RUNS - 1].calls) {
        if (callee.rfind("sincos", 0) == 0 || callee.find(".part") != std::string::npos) {
            merged += (merged.empty() ? "" : ", ") + callee + " " + std::to_string(count);
        }
    }
    rows.push_back({calls, "merged or partial calls (sincos, .part)", "none",
                    merged.empty() ? "none" : merged, merged.empty()});

    const char *traffic = runs[0].measured_data ? "Data reads and writes per loop (measured)"
                                                : "Loads and stores per loop (executed)";
    for (const Traffic &t : TRAFFIC) {
        const std::string where = t.procedure < 0 ? "workload" : PROCEDURES[t.procedure];
        at_least(traffic, "reads in " + where, t.reads, j.traffic(true, t.procedure));
        at_least(traffic, "writes in " + where, t.writes, j.traffic(false, t.procedure));
    }

    if (runs[0].measured_data) {
        const char *globals = "Globals per loop (address trace)";
        for (const Accesses &a : ACCESSES) {
            exactly(globals, std::string(a.name) + " reads", a.reads_per_loop, 0,
                    j.global(a.name, true));
            exactly(globals, std::string(a.name) + " writes", a.writes_per_loop, a.writes_once,
                    j.global(a.name, false));
        }
    }

    const char *branches = "Conditional branches per loop";
    at_least(branches, "in PA (its tests of J)", BRANCHES_PA, j.executed(BRANCH, 0));
    at_least(branches,
             runs[0].window_to_key ? "section 4 (last PA call to first K write)"
                                   : "sections 4-5 (last PA call to next call)",
             BRANCHES_SECTION_4, j.window());

    std::string nonlinear;
    for (const std::string &name : j.nonlinear()) {
        nonlinear += (nonlinear.empty() ? "not: " : ", ") + name;
    }
    rows.push_back({"Growth with the loop count", "calls, square roots, globals", "linear",
                    nonlinear.empty() ? "linear" : nonlinear, nonlinear.empty()});

    int64_t arithmetic = 0, fused = 0, x87 = 0;
    for (const Instruction &in : program.code) {
        arithmetic += (in.kinds & ARITH) != 0;
        fused += (in.kinds & FUSED) != 0;
        x87 += (in.kinds & X87) != 0;
    }
    const char *code = "Machine code of the workload";
    rows.push_back({code, "double arithmetic instructions", ">= 1", std::to_string(arithmetic),
                    arithmetic >= 1});
    rows.push_back({code, "fused multiply-add", "0", std::to_string(fused), fused == 0});
    if (program.isa.family == X86) {
        rows.push_back({code, "x87 arithmetic", "0", std::to_string(x87), x87 == 0});
    }

    // What the work costs in machine instructions, as embedded developers
    // compare processors and compilers: not judged, since it is the
    // compiler's to choose. The maths functions' own are not in it.
    const Series instructions = j.executed(0);
    char per_loop[32];
    std::snprintf(per_loop, sizeof per_loop, "%.1f",
                  static_cast<double>(instructions.at[RUNS - 1] - instructions.at[0]) /
                      (LOOPS[RUNS - 1] - LOOPS[0]));
    rows.push_back(
        {"Cost per loop", "instructions in PA, P3, P0, timed_pass", "-", per_loop, true, false});
    return rows;
}
