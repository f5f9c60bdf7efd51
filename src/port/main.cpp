// SPDX-License-Identifier: MIT
// zarvek on a machine without an operating system: the driver of the
// Linux program, run_benchmark and finish_output, with the command line,
// the clock, the output streams and the exit status from the port
// (port.h, console.h).
#include <stdio.h>

#include "console.h"
#include "driver.h"
#include "port.h"

// The command line to run when the debugger gives none (pyOCD serves no
// command line): ZARVEK_COMMAND_LINE when configured.
#ifndef ZARVEK_COMMAND_LINE
#define ZARVEK_COMMAND_LINE "zarvek"
#endif
static_assert(sizeof ZARVEK_COMMAND_LINE <= COMMAND_LINE_SIZE, "ZARVEK_COMMAND_LINE is too long");

int main()
{
    char **argv = nullptr;
    const int argc = open_console("zarvek", ZARVEK_COMMAND_LINE, 1, &argv);
    const int status = run_benchmark<port_time>(argc, argv, stdout, stderr);
    const int final_status = finish_output(stdout, stderr, status);
    fflush(stderr);
    port_exit(final_status);
}
