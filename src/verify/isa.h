// SPDX-License-Identifier: MIT
// What the verifier knows about each processor family it can judge: how
// to run a binary for it (the qemu-user command and Debian's cross
// root), which disassemblers read it, and how to read its machine code
// (which instructions load, store, branch on a condition, take a square
// root, do double arithmetic, fuse a multiply with an add, or use the
// x87).
#ifndef ZARVEK_VERIFY_ISA_H
#define ZARVEK_VERIFY_ISA_H

#include <cstdint>
#include <string>
#include <vector>

#include "elf_file.h"

struct Isa {
    std::string name;   // "x86-64", "armhf", ...
    std::string qemu;   // qemu-user command that runs its binaries
    std::string triple; // Debian's triple: cross root /usr/TRIPLE, TRIPLE-objdump
    std::string libc;   // Debian package with that cross root
    int family = 0;     // one of the families below
};

enum Family { X86 = 1, ARM32, ARM64, RISCV };

// The instruction kinds the verifier counts, as bits.
constexpr unsigned LOAD = 1;   // reads memory
constexpr unsigned STORE = 2;  // writes memory
constexpr unsigned BRANCH = 4; // conditional branch
constexpr unsigned SQRT = 8;   // double square root
constexpr unsigned ARITH = 16; // double add, subtract, multiply or divide
constexpr unsigned FUSED = 32; // fused multiply-add
constexpr unsigned X87 = 64;   // x87 arithmetic (extended precision)

// The family of ELF, or false when the verifier cannot read its code.
bool isa_for(const ElfFile &elf, Isa &isa);

// A bare-metal binary's processor and ABI, as the report names it:
// "32-bit Arm, EABI hard-float", "32-bit RISC-V, ilp32d".
std::string bare_metal_name(const ElfFile &elf);

// The disassemblers that may read its code, in the order to try them.
std::vector<std::string> disassemblers(const Isa &isa);

// One instruction line of objdump's listing, "ADDRESS:<tab>MNEMONIC
// OPERANDS": the address, the mnemonic past any x86 prefix, and the rest
// of the line as printed (operands, <symbol> annotations and comment).
struct Listed {
    uint64_t address = 0;
    std::string mnemonic, rest;
};

// Reads LINE into IN; false when it is no instruction line. An address
// that fills its column (32-bit code from 0x10000000 up) has no space
// before it.
bool read_listed(int family, const std::string &line, Listed &in);

// What opens objdump's comment after an instruction's operands.
const char *comment_marks(int family);

// The kinds of one instruction, from objdump's mnemonic and operands.
unsigned classify(int family, const std::string &mnemonic, const std::string &operands);

#endif
