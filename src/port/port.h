// SPDX-License-Identifier: MIT
// What an operating system gives zarvek, for a machine that has none: the
// command line, the whole-second clock, the two output streams and the
// exit status. semihost.cpp gives them all through semihosting, which
// qemu-system serves, and a debugger (OpenOCD, pyOCD) on a real board.
//
// A board gives these five functions, and optionally a cycle counter for
// zarvek-cycles (at the end), and nothing else: console.cpp makes
// the C library's standard streams over port_write, and ends the program
// (exit, abort) in port_exit. It is built with picolibc, whose stdio asks
// the program for stdout and stderr.
//
// A board of its own: write these five functions in a file of your own,
// with the board's timer and UART, and build with
// -DZARVEK_PORT_SOURCES=/path/to/board.cpp in place of semihost.cpp. The
// clock is what the rating rests on: time it against a stopwatch (zarvek
// at a loop count that its own clock says lasts a minute) before trusting
// a figure.
#ifndef ZARVEK_PORT_H
#define ZARVEK_PORT_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

// Results of port_command_line other than a length.
constexpr long PORT_TOO_LONG = -1;   // the command line does not fit the buffer
constexpr long PORT_UNREADABLE = -2; // no command line could be read

// Called once, first: sets up what the others use (a UART, a timer).
void port_init();

// Copies the command line (the program's name and its arguments, joined
// by spaces) into BUFFER, SIZE bytes with the terminating NUL, and
// returns its length; or PORT_TOO_LONG, or PORT_UNREADABLE, for which
// zarvek runs the command line it was configured with (a board's own
// port with no command line to give can return that).
long port_command_line(char *buffer, size_t size);

// The wall clock in whole seconds, as time() gives it: (time_t)-1 when it
// cannot be read (the driver then reports an insufficient duration).
time_t port_time();

// Writes SIZE bytes of DATA to standard output (STREAM 1) or standard
// error (STREAM 2). Returns 0, or when they could not all be written an
// errno value that says why (EIO where the port knows no better).
int port_write(int stream, const char *data, size_t size);

// Ends the program with STATUS, which the host sees as its exit status
// where it can (qemu exits with it).
[[noreturn]] void port_exit(int status);

// Optional, for zarvek-cycles alone: the core's cycle counter. A port
// that gives it is built with PORT_HAS_CYCLES defined (the build does so
// where ZARVEK_CYCLES_SOURCES names its file: cycles.cpp by default, which
// reads a Cortex-M's or a RISC-V core's own counter, whatever the board;
// on a Cortex-M it takes SysTick and its handler, so a board whose port
// uses SysTick gives its own). Without it, zarvek-cycles runs the pass
// and says it has no counter.

// The counter that counts: its name (plain words, printed as they are,
// in JSON too) and the width of the hardware count.
struct PortCounter {
    const char *name;
    int bits;
};

// Starts the counter, after port_init. Returns true and says which
// counter counts in COUNTER; false when none counts (reads that do not
// move), and then port_cycles gives 0.
bool port_cycles_start(PortCounter &counter);

// The core's clock cycles as a 64-bit count that never wraps: a narrower
// hardware counter has its wraps counted by the port, from an interrupt
// or by being read at least once per wrap.
uint64_t port_cycles();

#endif
