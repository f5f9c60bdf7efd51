// SPDX-License-Identifier: MIT
// Runs a zarvek binary at one loop count under a tracer, and counts what
// its code did from the trace: valgrind's lackey natively (every
// instruction and every data access); under emulation qemu-user, or
// qemu-system for a bare-metal binary, with the verifier's plugin (the
// same counts, gathered inside qemu), or, where
// qemu cannot load it, qemu's execution log (every instruction's address,
// and the libraries' mappings, but no data addresses).
#ifndef ZARVEK_VERIFY_TRACE_H
#define ZARVEK_VERIFY_TRACE_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "program.h"

enum class Method { Lackey, Plugin, ExecLog };

struct Runner {
    bool native = true;
    // qemu-system: a bare-metal binary, loaded with -kernel, its loop count
    // passed through semihosting.
    bool system = false;
    Method method = Method::Lackey;
    std::vector<std::string> emulator; // the command that runs a foreign binary
    std::string root;                  // where it finds the binary's libraries (-L)
    std::string plugin;                // the plugin qemu loads (Method::Plugin)
    std::string plugin_failure;        // why it did not load (Method::ExecLog)
};

// What one run did.
struct Counts {
    std::vector<int64_t> executed;        // by instruction of Program::code
    std::map<std::string, int64_t> calls; // out of the workload, by callee_name
    // Section 4's tests: conditional branches of timed_pass run after a
    // call of PA (section 3) and before the first write of K (section 5);
    // without data addresses, before the next call of anything else
    // (section 6), which takes in section 5's loop control too.
    int64_t window_branches = 0;
    bool window_to_key = false;
    // With data addresses (not from qemu's log): data accesses by each
    // procedure's code, and reads and writes of each global.
    bool measured_data = false;
    int64_t loads[4] = {}, stores[4] = {};
    std::map<std::string, std::pair<int64_t, int64_t>> globals;
};

// The command that runs PROGRAM with ARGUMENT (a loop count) with its
// trace written to LOG.
std::vector<std::string> trace_command(const Program &program, const Runner &runner,
                                       const std::string &argument, const std::string &log);

// Reads the trace in LOG. Returns an empty string, or what went wrong.
std::string read_trace(const Program &program, const Runner &runner, const std::string &log,
                       Counts &counts);

#endif
