// SPDX-License-Identifier: MIT
#include "startup.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <deque>
#include <initializer_list>
#include <set>
#include <sstream>
#include <vector>

#include "process.h"

namespace {

// How far the calls from a start-up function are followed: the compilers'
// own start-up files set the mode in the function the array names (GCC's
// for 32-bit x86 in the one it calls after checking the processor).
const int MAX_DEPTH = 3;
const size_t MAX_FUNCTIONS = 64;

struct Line {
    std::string mnemonic, operands;
};

struct Function {
    uint64_t start = 0, end = 0;
    std::string name;
};

std::string hex(uint64_t value)
{
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

// The function that starts at ADDRESS: its symbol's extent, or up to the
// next function's symbol when it has no size.
Function function_at(const ElfFile &elf, uint64_t address)
{
    Function f{address, address, ""};
    uint64_t next = address + 4096;
    for (const ElfSymbol &s : elf.symbols) {
        if (!s.function) {
            continue;
        }
        if (s.value == address) {
            if (f.name.empty()) {
                f.name = s.name;
            }
            f.end = std::max(f.end, address + s.size);
        } else if (s.value > address && s.value < next) {
            next = s.value;
        }
    }
    if (f.end == address) {
        f.end = next;
    }
    if (f.name.empty()) {
        f.name = hex(address);
    }
    return f;
}

std::vector<Line> disassemble(const Program &program, const Function &f)
{
    const ProcessResult r = run_process({program.objdump, "-d", "--no-show-raw-insn", "-w",
                                         "--start-address=" + hex(f.start),
                                         "--stop-address=" + hex(f.end), program.path});
    std::vector<Line> lines;
    std::istringstream text(r.out);
    for (std::string line; std::getline(text, line);) {
        Listed in;
        if (!read_listed(program.isa.family, line, in)) {
            continue;
        }
        std::string operands =
            in.rest.substr(0, in.rest.find_first_of(comment_marks(program.isa.family)));
        operands.erase(0, operands.find_first_not_of(" \t"));
        lines.push_back({in.mnemonic, operands});
    }
    return lines;
}

bool one_of(const std::string &word, std::initializer_list<const char *> words)
{
    for (const char *w : words) {
        if (word == w) {
            return true;
        }
    }
    return false;
}

// The bits an instruction puts into its destination from an immediate
// operand, where it is one that can build a control-register value: an
// OR, a move or (x86) a bit set. x86: "$0x8040,-0x4(%rsp)", "$0x80,%ah"
// (bits 8 to 15 of the register); Arm: "r3, r3, #16777216",
// "x0, #0x100, lsl #16", and movt's upper half.
uint64_t immediate_bits(int family, const Line &in)
{
    if (family == X86) {
        const bool bit_set = one_of(in.mnemonic, {"bts", "btsw", "btsl", "btsq"});
        if (!bit_set && !one_of(in.mnemonic, {"or", "orb", "orw", "orl", "orq", "mov", "movb",
                                              "movw", "movl", "movq", "movabs"})) {
            return 0;
        }
        if (in.operands.empty() || in.operands[0] != '$') {
            return 0;
        }
        const uint64_t value = std::strtoull(in.operands.c_str() + 1, nullptr, 0);
        if (bit_set) {
            return value < 64 ? uint64_t{1} << value : 0;
        }
        const std::string target = in.operands.substr(in.operands.find(',') + 1);
        const bool high_byte = one_of(target, {"%ah", "%bh", "%ch", "%dh"});
        return high_byte ? value << 8 : value;
    }
    const std::string base = in.mnemonic.substr(0, in.mnemonic.find('.'));
    if (!one_of(base, {"orr", "orrs", "mov", "movs", "movw", "movt", "movz", "movk"})) {
        return 0;
    }
    const size_t hash = in.operands.find('#');
    if (hash == std::string::npos) {
        return 0;
    }
    uint64_t value = std::strtoull(in.operands.c_str() + hash + 1, nullptr, 0);
    const size_t shift = in.operands.find("lsl #", hash);
    if (shift != std::string::npos) {
        value <<= std::strtoul(in.operands.c_str() + shift + 5, nullptr, 0) & 63;
    }
    return base == "movt" ? value << 16 : value;
}

// A write of the floating-point control register from a value.
bool writes_control(int family, const Line &in)
{
    switch (family) {
    case X86:
        return in.mnemonic == "ldmxcsr" || in.mnemonic == "vldmxcsr";
    case ARM32:
        return (in.mnemonic == "vmsr" || in.mnemonic == "fmxr") &&
               in.operands.rfind("fpscr", 0) == 0;
    case ARM64:
        return in.mnemonic == "msr" && in.operands.rfind("fpcr", 0) == 0;
    default:
        return false;
    }
}

// The function a direct call or jump goes to ("call 1139 <f>", "bl 10468
// <f>", "b 4005d0 <f>"), or 0.
uint64_t call_target(const Line &in)
{
    const std::string base = in.mnemonic.substr(0, in.mnemonic.find('.'));
    if (!one_of(base, {"call", "callq", "jmp", "jmpq", "bl", "blx", "b"}) || in.operands.empty() ||
        !std::isxdigit(static_cast<unsigned char>(in.operands[0])) ||
        in.operands.find(" <") == std::string::npos) {
        return 0;
    }
    return std::strtoull(in.operands.c_str(), nullptr, 16);
}

} // namespace

FlushToZero find_flush_to_zero(const Program &program)
{
    FlushToZero result;
    uint64_t mask = 0;
    const int family = program.isa.family;
    if (family == X86) {
        result.mode = "MXCSR FTZ or DAZ";
        mask = 0x8000 | 0x40; // bits 15 and 6
    } else if (family == ARM32 || family == ARM64) {
        result.mode = family == ARM32 ? "FPSCR FZ" : "FPCR FZ";
        mask = uint64_t{1} << 24;
    } else {
        return result;
    }
    result.checked = true;

    const ElfFile &elf = program.elf;
    struct Visit {
        uint64_t address;
        int depth;
        std::string caller, array; // the start-up function that led here, its array
    };
    std::deque<Visit> queue;
    for (const ElfStartup &s : elf.startup) {
        queue.push_back({s.address, 0, "", s.array});
    }
    std::set<uint64_t> seen;
    while (!queue.empty() && seen.size() < MAX_FUNCTIONS) {
        const Visit v = queue.front();
        queue.pop_front();
        if (!seen.insert(v.address).second) {
            continue;
        }
        const Function f = function_at(elf, v.address);
        // Bits an OR or a move put in a value before a write of the
        // register: a save and restore writes back only what it read.
        bool armed = false;
        for (const Line &in : disassemble(program, f)) {
            armed = armed || (immediate_bits(family, in) & mask) != 0;
            if (armed && writes_control(family, in)) {
                result.setter =
                    f.name + (v.caller.empty() ? "" : " via " + v.caller) + " (" + v.array + ")";
                return result;
            }
            const uint64_t to = call_target(in);
            // A function of the binary's own: PLT stubs lead to libraries.
            if (to != 0 && (to < f.start || to >= f.end) && program.entries.count(to) &&
                !program.in_plt(to) && v.depth < MAX_DEPTH) {
                queue.push_back({to, v.depth + 1, v.caller.empty() ? f.name : v.caller, v.array});
            }
        }
    }
    return result;
}
