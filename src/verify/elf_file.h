// SPDX-License-Identifier: MIT
// Reads what the verifier needs from an ELF file: its class, processor
// and type, the loader it names, where its segments and sections lie, its
// symbols (the full table and the dynamic one), and the functions its
// start-up code runs before main.
#ifndef ZARVEK_VERIFY_ELF_FILE_H
#define ZARVEK_VERIFY_ELF_FILE_H

#include <cstdint>
#include <string>
#include <vector>

struct ElfSymbol {
    std::string name;
    uint64_t value = 0; // address, with ARM's Thumb bit cleared
    uint64_t size = 0;
    bool function = false; // code: a function or an indirect (IFUNC) one
    bool indirect = false; // an IFUNC: its value is the resolver that picks one
    bool object = false;   // data
};

struct ElfSection {
    std::string name;
    uint64_t address = 0, size = 0;
};

// A function the start-up code calls before main: an entry of
// .preinit_array or .init_array.
struct ElfStartup {
    uint64_t address = 0; // with ARM's Thumb bit cleared
    std::string array;    // ".preinit_array" or ".init_array"
};

struct ElfFile {
    std::string error; // empty when the file was read
    int bits = 0;      // 32 or 64
    uint16_t machine = 0, type = 0;
    uint32_t flags = 0;
    uint64_t entry = 0;         // the entry point; 0 in a shared library
    std::string interpreter;    // empty for a static executable
    uint64_t low = 0, high = 0; // extent of the loaded segments
    uint64_t code_low = 0;      // the lowest executable segment
    bool has_symtab = false;    // false once stripped
    std::vector<ElfSection> sections;
    std::vector<ElfSymbol> symbols;
    std::vector<ElfStartup> startup;

    const ElfSection *section(const std::string &name) const;
};

// Reads a little-endian ELF file; on failure only ERROR is set.
ElfFile read_elf(const std::string &path);

#endif
