// SPDX-License-Identifier: MIT
// How a binary is traced: natively under valgrind, or under qemu-user or
// qemu-system, with the verifier's plugin where qemu loads it, else with
// qemu's execution log; and the words the report says it with.
#ifndef ZARVEK_VERIFY_RUNNER_H
#define ZARVEK_VERIFY_RUNNER_H

#include <string>
#include <vector>

#include "process.h"
#include "program.h"
#include "trace.h"

// The folder this program is in.
std::string own_directory();

// WORDS as one shell command: a word with a character the shell would
// read in single quotes, and a quote in it as '\''.
std::string join(const std::vector<std::string> &words);

// Runs ARGV with its standard output thrown away, in a process group of
// its own, stopped after TIMEOUT seconds (0: never).
ProcessResult run_quietly(const std::vector<std::string> &argv, int timeout = 0);

// How to run PROGRAM: under EMULATOR when one is given; else natively
// when this machine runs its code and has its loader, else under
// qemu-user with Debian's cross root for it. Returns an empty string, or
// why it cannot be run.
std::string choose_runner(const Program &program, const std::string &emulator, Runner &runner);

// Under emulation: the plugin where qemu loads it (tried on a run that
// only prints the usage message, its report written to PROBE), else
// qemu's execution log.
void choose_method(const Program &program, Runner &runner, const std::string &probe);

// The report's Binary and Method lines, and the method's name in the JSON.
std::string describe_binary(const Program &program, const Runner &runner);
std::string describe_method(const Runner &runner);
const char *method_kind(Method method);

#endif
