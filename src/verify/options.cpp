// SPDX-License-Identifier: MIT
#include "options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

const char USAGE[] =
    "usage: zarvek-verify [--emulator \"COMMAND\"] [--timeout SECONDS] [--keep DIR] "
    "[--json FILE] [--version] [ZARVEK]\n";

void print_help(FILE *out)
{
    std::fputs(USAGE, out);
    std::fprintf(out,
                 "  ZARVEK               the zarvek to judge (default: the one beside "
                 "zarvek-verify)\n"
                 "  --emulator \"COMMAND\" run it under COMMAND, split at spaces: qemu-user, or\n"
                 "                       qemu-system for a bare-metal build\n"
                 "  --timeout SECONDS    stop a traced run after SECONDS (1 to 86400, default "
                 "%d)\n"
                 "  --keep DIR           keep the traces in DIR\n"
                 "  --json FILE          also write the report as JSON to FILE\n"
                 "  --version            print the version and exit\n"
                 "Exit status: 0 faithful, 1 not faithful, 2 could not judge.\n",
                 Options().timeout);
}

std::string parse_options(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            return "";
        }
        if (arg == "--version") {
            options.version = true;
            return "";
        }
        // The options that take a value, as "--name VALUE" or "--name=VALUE".
        const std::string name = arg.substr(0, arg.find('='));
        std::string value;
        if (name == "--emulator" || name == "--timeout" || name == "--keep" || name == "--json") {
            if (name != arg) {
                value = arg.substr(name.size() + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            }
            if (value.empty()) {
                return name + " needs a value";
            }
        } else if (!arg.empty() && arg[0] == '-') {
            return "unknown option " + arg;
        } else if (arg.empty()) {
            return "the zarvek to judge is an empty name";
        } else if (!options.path.empty()) {
            return "one zarvek at a time: " + options.path + " and " + arg;
        } else {
            options.path = arg;
            continue;
        }
        if (name == "--emulator") {
            options.emulator = value;
        } else if (name == "--keep") {
            options.keep = value;
        } else if (name == "--json") {
            options.json = value;
        } else {
            char *end = nullptr;
            errno = 0;
            const long seconds = std::strtol(value.c_str(), &end, 10);
            if (*end != '\0' || errno != 0 || seconds < 1 || seconds > 86400) {
                return "--timeout takes whole seconds from 1 to 86400, not " + value;
            }
            options.timeout = static_cast<int>(seconds);
        }
    }
    return "";
}
