// Runs a zarvek binary at one loop count under a tracer, and counts what
// its code did from the trace: valgrind's lackey natively (every
// instruction and every data access), or qemu-user under emulation
// (every instruction's address, and the libraries' mappings).
#ifndef ZARVEK_VERIFY_TRACE_H
#define ZARVEK_VERIFY_TRACE_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "program.h"

struct Runner {
    bool native = true;
    std::vector<std::string> emulator; // the command that runs a foreign binary
    std::string root;                  // where it finds the binary's libraries (-L)
};

// What one run did.
struct Counts {
    std::vector<int64_t> executed;        // by instruction of Program::code
    std::map<std::string, int64_t> calls; // out of the workload, by callee_name
    // Natively only: data accesses by each procedure's code, and reads and
    // writes of each global, from the addresses accessed.
    bool measured_data = false;
    int64_t loads[4] = {}, stores[4] = {};
    std::map<std::string, std::pair<int64_t, int64_t>> globals;
};

// The command that runs PROGRAM at LOOPS with its trace written to LOG.
std::vector<std::string> trace_command(const Program &program, const Runner &runner, int loops,
                                       const std::string &log);

// Reads the trace in LOG. Returns an empty string, or what went wrong.
std::string read_trace(const Program &program, const Runner &runner, const std::string &log,
                       Counts &counts);

#endif
