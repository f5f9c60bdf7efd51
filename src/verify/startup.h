// SPDX-License-Identifier: MIT
// What a binary's start-up code does before main to the floating-point
// environment. A build linked with -ffast-math (or -Ofast) gets the
// compiler's start-up file that turns on flush-to-zero: subnormal results
// become zero (x86 MXCSR FTZ), subnormal operands are read as zero (DAZ;
// Arm's FZ does both). IEEE arithmetic then breaks wherever the work
// reaches subnormal numbers, and the slow path many processors take for
// them is skipped, so the rating is no longer the benchmark's.
#ifndef ZARVEK_VERIFY_STARTUP_H
#define ZARVEK_VERIFY_STARTUP_H

#include <string>

#include "program.h"

struct FlushToZero {
    bool checked = false; // false where the processor has no such mode (RISC-V)
    std::string mode;     // the register and bits: "MXCSR FTZ or DAZ", ...
    // Empty, or what turns the mode on: "set_fast_math (.init_array)", or
    // for a function it calls, "set_fast_math_sse via set_fast_math
    // (.init_array)".
    std::string setter;
};

// Reads the functions of .preinit_array and .init_array, and the functions
// they call, for a write of the floating-point control register with the
// flush-to-zero bits set. Code that saves the register and restores it, as
// glibc's maths functions do, sets no bit of its own and is not counted.
FlushToZero find_flush_to_zero(const Program &program);

#endif
