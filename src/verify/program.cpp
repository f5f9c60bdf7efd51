// SPDX-License-Identifier: MIT
#include "program.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "process.h"

const char *const PROCEDURES[4] = {"PA", "P3", "P0", "timed_pass"};

namespace {

const std::set<std::string> MATHS = {"sin", "cos", "atan", "log", "exp", "sqrt", "sincos"};

int procedure_index(const std::string &name)
{
    for (int i = 0; i < 4; ++i) {
        if (name == PROCEDURES[i]) {
            return i;
        }
    }
    return -1;
}

bool ends_with(const std::string &s, const std::string &end)
{
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Entries for every function symbol; where several names share an
// address, the one that names a workload procedure or maths function.
std::unordered_map<uint64_t, std::string> entries_of(const ElfFile &elf)
{
    std::unordered_map<uint64_t, std::string> entries;
    for (const ElfSymbol &s : elf.symbols) {
        if (!s.function) {
            continue;
        }
        const std::string name = callee_name(s.name);
        auto it = entries.find(s.value);
        const bool known = MATHS.count(name) != 0 || procedure_index(name) >= 0;
        if (it == entries.end() || known) {
            entries[s.value] = name;
        }
    }
    return entries;
}

} // namespace

std::string callee_name(const std::string &symbol)
{
    std::string name = symbol.substr(0, symbol.find('@'));
    const size_t dot = name.find('.');
    std::string base = name.substr(0, dot);
    const std::string suffix = dot == std::string::npos ? "" : name.substr(dot);
    if (base.rfind("_Z", 0) == 0) {
        int status = 0;
        std::unique_ptr<char, void (*)(void *)> plain(
            abi::__cxa_demangle(base.c_str(), nullptr, nullptr, &status), std::free);
        if (status == 0 && plain) {
            base = plain.get();
            base = base.substr(0, base.find('('));
        }
    }
    if (procedure_index(base) >= 0) {
        // A clone made for constant or scalarised arguments still runs the
        // whole procedure; a ".part" or ".cold" is a piece of one.
        for (const char *whole : {".constprop", ".isra", ".clone", ".specialized"}) {
            if (suffix.empty() || suffix.rfind(whole, 0) == 0) {
                return base;
            }
        }
        return base + suffix.substr(0, suffix.find('.', 1));
    }
    std::string maths = base;
    maths.erase(0, maths.find_first_not_of('_'));
    if (maths.rfind("ieee754_", 0) == 0) {
        maths.erase(0, 8);
    }
    for (const char *mark : {"_finite", "_fma4", "_fma", "_avx2", "_avx", "_sse41", "_sse2"}) {
        if (ends_with(maths, mark)) {
            maths.erase(maths.size() - std::string(mark).size());
        }
    }
    return MATHS.count(maths) != 0 ? maths : base + suffix;
}

std::unordered_map<uint64_t, std::string>
library_entries(const std::string &path, const ElfFile &elf, const Program &program)
{
    std::unordered_map<uint64_t, std::string> entries = entries_of(elf);
    if (program.isa.family != X86) {
        return entries;
    }
    for (const ElfSymbol &s : elf.symbols) {
        const std::string name = callee_name(s.name);
        if (!s.indirect || !MATHS.count(name)) {
            continue;
        }
        // "lea 0x403a7(%rip),%rax  # 702c0 <...>": a candidate at 0x702c0.
        const ProcessResult r =
            run_process({program.objdump, "-d", "--no-show-raw-insn", "-w",
                         "--start-address=" + std::to_string(s.value),
                         "--stop-address=" + std::to_string(s.value + s.size), path});
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            const size_t hash = line.find("# ");
            if (line.find("\tlea ") != std::string::npos && hash != std::string::npos) {
                entries.emplace(std::strtoull(line.c_str() + hash + 2, nullptr, 16), name);
            }
        }
    }
    return entries;
}

bool Program::in_plt(uint64_t address) const
{
    for (const auto &[start, end] : plt) {
        if (address >= start && address < end) {
            return true;
        }
    }
    return false;
}

std::string load_program(const std::string &path, Program &program)
{
    program.path = path;
    program.elf = read_elf(path);
    const ElfFile &elf = program.elf;
    if (!elf.error.empty()) {
        return path + " cannot be judged: " + elf.error + ".";
    }
    if (!isa_for(elf, program.isa)) {
        return path +
               " cannot be judged: the verifier cannot read machine code for its "
               "processor (ELF machine " +
               std::to_string(elf.machine) + ", " + std::to_string(elf.bits) +
               "-bit); it knows x86, ARM and RISC-V.";
    }
    if (!elf.has_symtab) {
        return path + " cannot be judged: its symbol table has been stripped, so its "
                      "procedures and globals cannot be found. Build it again without "
                      "stripping (no -s, no strip; debug information may go).";
    }
    for (const char *section : {".plt", ".iplt", ".plt.sec", ".plt.got"}) {
        if (const ElfSection *s = elf.section(section)) {
            program.plt.emplace_back(s->address, s->address + s->size);
        }
    }
    program.entries = entries_of(elf);

    // The globals, E1 element by element.
    std::map<std::string, const ElfSymbol *> objects;
    for (const ElfSymbol &s : elf.symbols) {
        if (s.object) {
            objects[s.name] = &s;
        }
    }
    for (const char *name : {"J", "K", "L", "T", "T1", "T2", "E1"}) {
        const auto it = objects.find(name);
        if (it == objects.end()) {
            program.missing.push_back(name);
        } else if (std::string(name) == "E1") {
            for (int i = 0; i < 5; ++i) {
                program.globals.push_back(
                    {"E1[" + std::to_string(i) + "]", it->second->value + 8 * uint64_t(i), 8});
            }
        } else {
            program.globals.push_back({name, it->second->value, it->second->size});
        }
    }

    // The first disassembler that can read the workload's code.
    const std::vector<std::string> tools = disassemblers(program.isa);
    std::string listing;
    for (const std::string &tool : tools) {
        const ProcessResult r = run_process({tool, "-d", "--no-show-raw-insn", "-w", path});
        if (r.status == 0 && r.out.find(">:\n") != std::string::npos) {
            program.objdump = tool;
            listing = r.out;
            break;
        }
    }
    if (program.objdump.empty()) {
        return path + " cannot be judged: no disassembler here reads " + program.isa.name +
               " code. Install binutils-" + program.isa.triple +
               " (or binutils-multiarch): apt-get install binutils-" + program.isa.triple;
    }

    // "ADDRESS <NAME>:" opens a function; "  ADDRESS:<tab>MNEMONIC OPERANDS"
    // is one of its instructions.
    std::istringstream lines(listing);
    std::string line;
    int procedure = -1;
    uint64_t function_start = 0;
    bool function_is_pa = false;
    std::set<std::string> found;
    while (std::getline(lines, line)) {
        const size_t open = line.find(" <");
        if (!line.empty() && line[0] != ' ' && ends_with(line, ">:") && open != std::string::npos) {
            const uint64_t address = std::strtoull(line.c_str(), nullptr, 16);
            const std::string symbol = line.substr(open + 2, line.size() - open - 4);
            std::string name = callee_name(symbol);
            if (ends_with(symbol, "@plt")) {
                // A stub of a static binary's indirect function is named by
                // the address of its resolver: *ABS*+0x4a5b60@plt.
                if (symbol.rfind("*ABS*+0x", 0) == 0) {
                    const auto it =
                        program.entries.find(std::strtoull(symbol.c_str() + 8, nullptr, 16));
                    name = it == program.entries.end() ? "" : it->second;
                }
                if (!name.empty()) {
                    program.entries[address] = name;
                }
            }
            const std::string stem = name.substr(0, name.find('.'));
            procedure = procedure_index(stem);
            function_start = address;
            function_is_pa = name == PROCEDURES[0];
            if (procedure >= 0) {
                found.insert(name);
                program.functions.push_back(symbol);
            }
            continue;
        }
        Listed listed;
        if (procedure < 0 || !read_listed(program.isa.family, line, listed)) {
            continue;
        }
        Instruction in;
        in.address = listed.address;
        in.procedure = procedure;
        in.function = static_cast<int>(program.functions.size()) - 1;
        in.pa_entry = function_is_pa && in.address == function_start;
        const std::string &mnemonic = listed.mnemonic;
        std::string &operands = listed.rest;
        // Cut off objdump's annotations and the comment.
        const char *comment = comment_marks(program.isa.family);
        const size_t annotation = operands.find('<');
        if ((mnemonic.rfind("call", 0) == 0 || mnemonic.rfind("jmp", 0) == 0) &&
            operands.find('*') != std::string::npos && annotation != std::string::npos) {
            in.slot =
                callee_name(operands.substr(annotation + 1, operands.find('>') - annotation - 1));
        }
        operands = operands.substr(0, std::min(annotation, operands.find_first_of(comment)));
        operands.erase(0, operands.find_first_not_of(" \t"));
        in.kinds = classify(program.isa.family, mnemonic, operands);
        program.at[in.address] = static_cast<int>(program.code.size());
        program.code.push_back(in);
    }
    for (const char *p : PROCEDURES) {
        if (!found.count(p)) {
            program.missing.push_back(p);
        }
    }
    return "";
}
