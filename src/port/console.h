// SPDX-License-Identifier: MIT
// What every program on the port starts with: the port set up, the C
// library's standard streams over port_write, and the command line in
// words. Shared by zarvek and zarvek-cycles.
#ifndef ZARVEK_PORT_CONSOLE_H
#define ZARVEK_PORT_CONSOLE_H

#include <stddef.h>

// The longest command line, with its NUL.
constexpr size_t COMMAND_LINE_SIZE = 256;

// Calls port_init, makes stdout and stderr, and reads the command line
// into words: sets *ARGV to them, ending with a null, and returns their
// count. Where the debugger gives no command line, FALLBACK (shorter
// than COMMAND_LINE_SIZE) is run, and stderr says so; a longer command
// line ends the program with TOO_LONG_STATUS and a message. NAME begins
// the messages.
int open_console(const char *name, const char *fallback, int too_long_status, char ***argv);

#endif
