// SPDX-License-Identifier: MIT
// Loop counts in the messages of the programs that run passes on Linux
// (zarvek-bench, zarvek-fleet): written as a person reads them, and what
// a rate measured past the subnormal edge means. The workload itself, and
// zarvek, do not use it.
#ifndef ZARVEK_LOOP_TEXT_H
#define ZARVEK_LOOP_TEXT_H

#include <string>

#include "workload.h"

// N with its thousands grouped by commas.
inline std::string grouped(int64_t N)
{
    std::string digits = std::to_string(N);
    for (auto at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<size_t>(at), ",");
    }
    return digits;
}

// The end of every warning about passes that computed with subnormal
// numbers.
inline std::string subnormal_meaning()
{
    return "the rate measures how this CPU handles subnormal numbers as much as its speed; "
           "compare only at the same loop count, or stay below " +
           grouped(SUBNORMAL_LOOP);
}

#endif
