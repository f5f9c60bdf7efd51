// SPDX-License-Identifier: MIT
// Feeds arbitrary argument vectors to the command-line parser and checks
// what must hold for every one of them. The input is split at each NUL
// byte into arguments (at most 64), after the program name; an empty
// input is no argument at all.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver.h"

namespace {

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

bool selects_continuous(const std::string &arg)
{
    return arg.rfind("-c", 0) == 0 || arg.rfind('c', 0) == 0;
}

// The value of an argument as atol reads it, clamped to 32 bits: an
// independent reading through the C library to compare the parser with.
int32_t reference_value(const std::string &arg)
{
    const long long value = std::strtoll(arg.c_str(), nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> args;
    const char *text = reinterpret_cast<const char *>(data);
    for (size_t start = 0; size > 0 && start <= size && args.size() < 64;) {
        size_t end = start;
        while (end < size && data[end] != 0) {
            ++end;
        }
        args.emplace_back(text + start, end - start);
        start = end + 1;
    }
    std::vector<const char *> argv = {"zarvek"};
    for (const std::string &a : args) {
        argv.push_back(a.c_str());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(argv.size()) - 1;

    const CommandLine command = parse_command_line(argc, argv.data());

    // What the parser must have decided, worked out argument by argument.
    bool continuous = false;
    bool usage_error = false;
    int32_t loops = 1000;
    for (const std::string &a : args) {
        if (selects_continuous(a)) {
            continuous = true;
            continue;
        }
        const int32_t value = reference_value(a);
        if (value <= 0) {
            usage_error = true;
            break;
        }
        loops = value;
    }

    check(command.usage_error == usage_error,
          "a usage error exactly when an argument reads 0 or less");
    check(command.continuous_mode == continuous,
          "continuous exactly when an argument read begins with -c or c");
    if (!command.usage_error) {
        check(command.requested_loops >= 1, "the loop count is at least 1");
        check(command.requested_loops == loops, "the loop count is the last positive value");
    }
    return 0;
}
