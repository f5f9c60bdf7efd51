// SPDX-License-Identifier: MIT
// The work a faithful binary does, per unit of loop count, and the
// judgement of what a binary did against it.
#ifndef ZARVEK_VERIFY_VERDICT_H
#define ZARVEK_VERIFY_VERDICT_H

#include <string>
#include <vector>

#include "program.h"
#include "trace.h"

// The loop counts the binary is run at.
constexpr int RUNS = 3;
extern const int LOOPS[RUNS];

struct Row {
    std::string group, item, specified, measured;
    bool holds = true;
    bool judged = true; // false: a figure shown, which any value holds
};

// Judges the counts of the runs at LOOPS against the specified work.
std::vector<Row> judge(const Program &program, const Counts (&runs)[RUNS]);

#endif
