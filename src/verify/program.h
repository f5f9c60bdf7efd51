// SPDX-License-Identifier: MIT
// A zarvek binary as the verifier sees it before running it: the code of
// the workload's procedures with each instruction's kinds, the entries of
// every function it may call, and the addresses of the workload globals.
#ifndef ZARVEK_VERIFY_PROGRAM_H
#define ZARVEK_VERIFY_PROGRAM_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "elf_file.h"
#include "isa.h"

// The procedures whose code is the workload.
extern const char *const PROCEDURES[4];

struct Instruction {
    uint64_t address = 0;
    int procedure = 0; // index in PROCEDURES
    int function = 0;  // index in Program::functions
    unsigned kinds = 0;
    bool pa_entry = false; // the first instruction of PA (or a clone of it)
    // For a call or jump through memory (such as the GOT, without a PLT),
    // the function whose slot objdump names: "call *0x2f82(%rip)  # 4048
    // <sin@GLIBC_2.2.5>" calls sin.
    std::string slot;
};

struct Global {
    std::string name; // J, ..., E1[0] to E1[4]
    uint64_t address = 0, size = 0;
};

struct Program {
    std::string path;
    ElfFile elf;
    Isa isa;
    std::string objdump;                // the disassembler that read it
    std::vector<std::string> functions; // workload functions: PA, PA.constprop.0, ...
    std::vector<Instruction> code;
    std::unordered_map<uint64_t, int> at; // address -> index in code
    // Function entries by address, each with the name that calls into it
    // are counted under (see callee_name); PLT stubs included.
    std::unordered_map<uint64_t, std::string> entries;
    std::vector<std::pair<uint64_t, uint64_t>> plt; // stub sections
    std::vector<Global> globals;
    std::vector<std::string> missing; // workload symbols it lacks

    bool in_plt(uint64_t address) const;
};

// The name calls into SYMBOL count under: the procedure for the workload's
// own ("PA" for PA and its clones, "PA.part" for a split-off part), the
// maths function for any of libm's entries to it ("sin" for __sin_fma),
// otherwise SYMBOL itself.
std::string callee_name(const std::string &symbol);

// Function entries of the shared library at PATH, by address, named as
// above. On x86, where libm picks an implementation of a maths function
// for the processor (an indirect function), the implementations that its
// resolver chooses from are read from the resolver's code with OBJDUMP,
// since a stripped library names only the resolver.
std::unordered_map<uint64_t, std::string>
library_entries(const std::string &path, const ElfFile &elf, const Program &program);

// Reads PATH and disassembles it. Returns an empty string, or why the
// binary cannot be judged.
std::string load_program(const std::string &path, Program &program);

#endif
