// SPDX-License-Identifier: MIT
// The port over semihosting: each request traps to the debugger or
// emulator attached to the processor, which serves it from the host.
// Arm M-profile traps with "bkpt 0xab", RISC-V with a marked ebreak; the
// operation goes in the first argument register, its parameter (a word,
// often the address of a block of words) in the second, and the result comes back
// in the first.
#include <errno.h>
#include <stdint.h>

#include "port.h"

namespace {

// Operations, as semihosting numbers them.
const uintptr_t SYS_OPEN = 0x01;
const uintptr_t SYS_WRITE = 0x05;
const uintptr_t SYS_TIME = 0x11;
const uintptr_t SYS_ERRNO = 0x13;
const uintptr_t SYS_GET_CMDLINE = 0x15;
const uintptr_t SYS_EXIT = 0x18;
const uintptr_t SYS_EXIT_EXTENDED = 0x20;
const uintptr_t ADP_STOPPED_APPLICATION_EXIT = 0x20026;
// SYS_OPEN modes: "w" and "a". The console ":tt" opened for writing is the
// host's standard output, for appending its standard error.
const uintptr_t MODE_WRITE = 4;
const uintptr_t MODE_APPEND = 8;
// The host's errno after a command line too long for the buffer (E2BIG,
// 7 on Linux, macOS and Windows alike).
const intptr_t HOST_E2BIG = 7;

intptr_t handles[3] = {-1, -1, -1}; // by stream: 1 output, 2 error

} // namespace

#if defined(__arm__)

namespace {

intptr_t semihost(uintptr_t operation, uintptr_t parameter)
{
    register uintptr_t r0 asm("r0") = operation;
    register uintptr_t r1 asm("r1") = parameter;
    asm volatile("bkpt 0xab" : "+r"(r0) : "r"(r1) : "memory");
    return static_cast<intptr_t>(r0);
}

} // namespace

#elif defined(__riscv)

// The three instructions must be uncompressed and on one page: the
// debugger recognises the ebreak by its neighbours. A function of their
// own, aligned, keeps them together.
extern "C" intptr_t zarvek_semihost_trap(uintptr_t operation, uintptr_t parameter);
asm(".pushsection .text.zarvek_semihost_trap, \"ax\", @progbits\n"
    ".balign 16\n"
    ".globl zarvek_semihost_trap\n"
    "zarvek_semihost_trap:\n"
    ".option push\n"
    ".option norvc\n"
    "slli zero, zero, 0x1f\n"
    "ebreak\n"
    "srai zero, zero, 7\n"
    ".option pop\n"
    "ret\n"
    ".popsection\n");

namespace {

intptr_t semihost(uintptr_t operation, uintptr_t parameter)
{
    return zarvek_semihost_trap(operation, parameter);
}

} // namespace

#else
#error "semihosting is done here for Arm and RISC-V only"
#endif

void port_init()
{
    const uintptr_t modes[3] = {0, MODE_WRITE, MODE_APPEND};
    for (int stream = 1; stream <= 2; ++stream) {
        const uintptr_t block[3] = {reinterpret_cast<uintptr_t>(":tt"), modes[stream], 3};
        handles[stream] = semihost(SYS_OPEN, reinterpret_cast<uintptr_t>(block));
    }
}

long port_command_line(char *buffer, size_t size)
{
    uintptr_t block[2] = {reinterpret_cast<uintptr_t>(buffer), size};
    if (semihost(SYS_GET_CMDLINE, reinterpret_cast<uintptr_t>(block)) != 0) {
        return semihost(SYS_ERRNO, 0) == HOST_E2BIG ? PORT_TOO_LONG : PORT_UNREADABLE;
    }
    // The host gives the length it wrote, without the NUL.
    if (block[1] >= size) {
        return PORT_TOO_LONG;
    }
    buffer[block[1]] = '\0';
    return static_cast<long>(block[1]);
}

time_t port_time()
{
    // Seconds since 1970 in a 32-bit word: read as unsigned, it lasts
    // until 2106; all ones is the failure.
    const intptr_t seconds = semihost(SYS_TIME, 0);
    if (seconds == -1) {
        return static_cast<time_t>(-1);
    }
    return static_cast<time_t>(static_cast<uintptr_t>(seconds));
}

int port_write(int stream, const char *data, size_t size)
{
    if (stream < 1 || stream > 2 || handles[stream] == -1) {
        return EBADF;
    }
    const uintptr_t block[3] = {static_cast<uintptr_t>(handles[stream]),
                                reinterpret_cast<uintptr_t>(data), size};
    // The result is the count of bytes not written; the host's errno
    // says why (its numbers are the C library's for the usual errors).
    if (semihost(SYS_WRITE, reinterpret_cast<uintptr_t>(block)) == 0) {
        return 0;
    }
    const intptr_t error = semihost(SYS_ERRNO, 0);
    return error > 0 ? static_cast<int>(error) : EIO;
}

void port_exit(int status)
{
    const uintptr_t block[2] = {ADP_STOPPED_APPLICATION_EXIT, static_cast<uintptr_t>(status)};
    semihost(SYS_EXIT_EXTENDED, reinterpret_cast<uintptr_t>(block));
    // A debugger without the extension: stop all the same, status lost.
    semihost(SYS_EXIT, ADP_STOPPED_APPLICATION_EXIT);
    for (;;) {
    }
}
