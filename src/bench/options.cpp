// SPDX-License-Identifier: MIT
#include "options.h"

#include <cstdio>

#include <benchmark/benchmark.h>

namespace {

// A loop count: a whole decimal number from 1 to INT32_MAX, nothing else.
bool read_loop(const std::string &text, int32_t *LOOP)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    int64_t value = 0;
    for (const char digit : text) {
        value = value * 10 + (digit - '0');
        if (value > INT32_MAX) {
            return false;
        }
    }
    if (value < 1) {
        return false;
    }
    *LOOP = static_cast<int32_t>(value);
    return true;
}

} // namespace

std::string take_own_options(int *argc, char **argv, BenchOptions &options)
{
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        const std::string arg = argv[i];
        const std::string pin = "--pin_copies=", log = "--copies_log=", loops = "--loops=",
                          copies_loops = "--copies_loops=";
        if (arg == "--loops" || arg == "--copies_loops") {
            std::string why = arg;
            why += " takes its value after '=': ";
            why += arg;
            return why + "=N";
        }
        if (arg == "--version") {
            options.version = true;
        } else if (arg.rfind(loops, 0) == 0) {
            // Each loop count of the list once, however often it is named.
            const std::string list = arg.substr(loops.size()) + ",";
            for (size_t at = 0, comma = 0; at < list.size(); at = comma + 1) {
                comma = list.find(',', at);
                const std::string value = list.substr(at, comma - at);
                int32_t LOOP = 0;
                if (!read_loop(value, &LOOP)) {
                    return "--loops takes whole numbers from 1 to 2147483647, separated by "
                           "commas, not '" +
                           value + "'";
                }
                options.pass_loops.insert(LOOP);
                options.profile_loops.insert(LOOP);
            }
        } else if (arg.rfind(copies_loops, 0) == 0) {
            const std::string value = arg.substr(copies_loops.size());
            if (!read_loop(value, &options.copies_loop)) {
                return "--copies_loops takes a whole number from 1 to 2147483647, not '" + value +
                       "'";
            }
        } else if (arg.rfind(pin, 0) == 0) {
            const std::string value = arg.substr(pin.size());
            if (value == "yes" || value == "true" || value == "1") {
                options.pin_copies = true;
            } else if (value == "no" || value == "false" || value == "0") {
                options.pin_copies = false;
            } else {
                return "--pin_copies takes yes or no, not '" + value + "'";
            }
        } else if (arg.rfind(log, 0) == 0) {
            options.copies_log = arg.substr(log.size()); // the last one given counts
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
    argv[kept] = nullptr;
    return "";
}

void print_help()
{
    std::printf("zarvek-bench [--loops=N[,N...]] [--copies_loops=N] [--pin_copies=yes|no]\n"
                "             [--copies_log=FILE] [--version] [Google Benchmark options]\n"
                "  --loops=N[,N...]     also run timed_pass and sections at these loop counts\n"
                "  --copies_loops=N     the loop count of each copy's pass (default %d)\n"
                "  --pin_copies=yes|no  run copy i of copies/N on the i-th CPU of the affinity\n"
                "                       set only (default no)\n"
                "  --copies_log=FILE    write each copy's report to FILE, one line each\n"
                "  --version            print the version and exit\n\n",
                static_cast<int>(REFERENCE_LOOP));
    benchmark::PrintDefaultHelp();
}
