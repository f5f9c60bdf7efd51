// SPDX-License-Identifier: MIT
// zarvek-verify's command line, read once into Options.
#ifndef ZARVEK_VERIFY_OPTIONS_H
#define ZARVEK_VERIFY_OPTIONS_H

#include <cstdio>
#include <string>

// The usage line, printed after a bad argument.
extern const char USAGE[];

struct Options {
    bool help = false;
    bool version = false;
    std::string emulator; // --emulator: the command that runs the binary
    std::string path;     // the zarvek to judge; empty: the one beside zarvek-verify
    std::string keep;     // --keep: the folder the traces are kept in
    std::string json;     // --json: the report's file
    // How long a traced run may take before it is stopped: a run at 5
    // loops takes a few seconds here under valgrind or qemu; a slow board
    // or a busy machine may take many times that.
    int timeout = 300;
};

// The usage line and every option with what it does, for --help.
void print_help(FILE *out);

// Reads the arguments into OPTIONS. Returns an empty string, or what is
// wrong with them.
std::string parse_options(int argc, char **argv, Options &options);

#endif
