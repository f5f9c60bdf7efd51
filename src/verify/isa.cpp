// SPDX-License-Identifier: MIT
#include "isa.h"

#include <elf.h>

#include <cstdlib>
#include <regex>
#include <set>
#include <sstream>
#include <vector>

namespace {

struct Rules {
    std::regex load, store, branch, sqrt, arith, fused, x87;
};

// Mnemonics as objdump prints them. An empty pattern matches nothing.
const Rules &rules(int family)
{
    static const std::regex none("$^");
    static const Rules x86{
        none,
        none,
        std::regex("^(j(?!mp)[a-z]+|loopn?[ez]?|j[er]?cxz)$"),
        std::regex("^v?sqrtsd$"),
        std::regex("^v?(add|sub|mul|div)sd$"),
        std::regex("^vf(n)?m(add|sub)"),
        std::regex("^f(i?(add|sub|subr|mul|div|divr)p?|sqrt|chs|abs|prem1?|rndint|scale|sin|cos|"
                   "sincos|ptan|patan|2xm1|yl2x|yl2xp1|xtract|u?comi?p?p?)$")};
    static const Rules arm32{std::regex("^(v?ld|v?pop)"),
                             std::regex("^(v?st|v?push)"),
                             std::regex("^(b(eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le)"
                                        "(\\.[nw])?|cbn?z)$"),
                             std::regex("^vsqrt\\.f64$"),
                             std::regex("^v(add|sub|mul|div)\\.f64$"),
                             std::regex("^vf(n)?m[as]\\."),
                             none};
    static const Rules arm64{std::regex("^ld"),
                             std::regex("^st"),
                             std::regex("^(b|bc)\\.[a-z]{2}$|^cbn?z$|^tbn?z$"),
                             std::regex("^fsqrt$"),
                             std::regex("^f(add|sub|mul|div)$"),
                             std::regex("^f(n)?m(add|sub)$|^fml[as]$"),
                             none};
    static const Rules riscv{
        std::regex("^(lb|lh|lw|ld|lbu|lhu|lwu|flh|flw|fld|flq|lr\\..*)$"),
        std::regex("^(sb|sh|sw|sd|fsh|fsw|fsd|fsq|sc\\..*)$"),
        std::regex("^b(eq|ne|lt|ge|ltu|geu|eqz|nez|lez|gez|ltz|gtz|gt|le|gtu|leu)$"),
        std::regex("^fsqrt\\.d$"),
        std::regex("^f(add|sub|mul|div)\\.d$"),
        std::regex("^f(n)?m(add|sub)\\.[sdq]$"),
        none};
    switch (family) {
    case X86:
        return x86;
    case ARM32:
        return arm32;
    case ARM64:
        return arm64;
    default:
        return riscv;
    }
}

// AT&T operands split at the commas outside parentheses.
std::vector<std::string> split_operands(const std::string &text)
{
    std::vector<std::string> out(1);
    int depth = 0;
    for (char c : text) {
        depth += c == '(' ? 1 : c == ')' ? -1 : 0;
        if (c == ',' && depth == 0) {
            out.emplace_back();
        } else if (c != ' ') {
            out.back() += c;
        }
    }
    return out;
}

// Memory traffic of an x86 instruction, from its explicit memory operand
// (AT&T order: the destination is last) and the stack traffic it implies.
unsigned x86_memory(const std::string &mnemonic, const std::string &operands)
{
    static const std::regex none_at_all("^(lea|nop|prefetch|endbr|clflush|ud)");
    static const std::regex reads_only("^(cmp|test|v?u?comis|bt$|bt[a-z]$)");
    static const std::regex writes_only("^(v?mov|stos|set|cmov|movnt|v?cvt|v?extract|pextr)");
    if (std::regex_search(mnemonic, none_at_all)) {
        return 0;
    }
    const std::vector<std::string> ops = split_operands(operands);
    int memory = -1;
    for (size_t i = 0; i < ops.size(); ++i) {
        const std::string &op = ops[i];
        if (op.empty() || op[0] == '$') {
            continue; // an immediate
        }
        // A base and index, a segment and offset, an indirect jump or call
        // through memory, or an absolute address (which a branch's target
        // is not).
        const bool based = op.find('(') != std::string::npos;
        const bool segment = op[0] == '%' && op.find(':') != std::string::npos;
        const bool indirect = op[0] == '*' && op.find('%') == std::string::npos;
        const bool absolute = std::isdigit(static_cast<unsigned char>(op[0])) &&
                              mnemonic[0] != 'j' && mnemonic.rfind("call", 0) != 0 &&
                              mnemonic.rfind("loop", 0) != 0;
        if (based || segment || indirect || absolute) {
            memory = static_cast<int>(i);
        }
    }
    unsigned kinds = 0;
    if (mnemonic.rfind("push", 0) == 0 || mnemonic.rfind("call", 0) == 0) {
        kinds |= STORE;
    } else if (mnemonic.rfind("pop", 0) == 0 || mnemonic.rfind("ret", 0) == 0 ||
               mnemonic.rfind("leave", 0) == 0) {
        kinds |= LOAD;
    }
    if (memory < 0) {
        return kinds;
    }
    if (mnemonic.rfind("pop", 0) == 0) {
        return kinds | STORE;
    }
    // One operand in memory: inc, dec, neg, not and the shifts and
    // rotations by one read and write it (clang counts J with incl), set
    // writes it; the rest (mul, div, an indirect jump) read it.
    static const std::regex one_operand_rmw("^(inc|dec|neg|not|s[ah][lr]|r[co][lr])");
    if (ops.size() == 1 && mnemonic.rfind("set", 0) == 0) {
        return kinds | STORE;
    }
    if (ops.size() == 1 && std::regex_search(mnemonic, one_operand_rmw)) {
        return kinds | LOAD | STORE;
    }
    const bool destination = memory == static_cast<int>(ops.size()) - 1 && ops.size() > 1;
    if (!destination || std::regex_search(mnemonic, reads_only)) {
        return kinds | LOAD;
    }
    if (std::regex_search(mnemonic, writes_only)) {
        return kinds | STORE;
    }
    return kinds | LOAD | STORE; // read-modify-write
}

} // namespace

bool isa_for(const ElfFile &elf, Isa &isa)
{
    if (elf.machine == EM_X86_64 && elf.bits == 64) {
        isa = {"x86-64", "qemu-x86_64", "x86_64-linux-gnu", "libc6-amd64-cross", X86};
    } else if (elf.machine == EM_386 && elf.bits == 32) {
        isa = {"i386", "qemu-i386", "i686-linux-gnu", "libc6-i386-cross", X86};
    } else if (elf.machine == EM_ARM && elf.bits == 32) {
        if (elf.flags & EF_ARM_ABI_FLOAT_HARD) {
            isa = {"armhf", "qemu-arm", "arm-linux-gnueabihf", "libc6-armhf-cross", ARM32};
        } else {
            isa = {"armel", "qemu-arm", "arm-linux-gnueabi", "libc6-armel-cross", ARM32};
        }
    } else if (elf.machine == EM_AARCH64 && elf.bits == 64) {
        isa = {"arm64", "qemu-aarch64", "aarch64-linux-gnu", "libc6-arm64-cross", ARM64};
    } else if (elf.machine == EM_RISCV && elf.bits == 64) {
        isa = {"riscv64", "qemu-riscv64", "riscv64-linux-gnu", "libc6-riscv64-cross", RISCV};
    } else if (elf.machine == EM_RISCV && elf.bits == 32) {
        // Debian has no 32-bit RISC-V system: its code is built bare-metal
        // (rv32imafdc), with the toolchain whose objdump reads it.
        isa = {"riscv32", "qemu-riscv32", "riscv64-unknown-elf", "picolibc-riscv64-unknown-elf",
               RISCV};
    } else {
        return false;
    }
    return true;
}

std::string bare_metal_name(const ElfFile &elf)
{
    const std::string bits = std::to_string(elf.bits) + "-bit ";
    if (elf.machine == EM_ARM) {
        return bits + "Arm, EABI " +
               ((elf.flags & EF_ARM_ABI_FLOAT_HARD) != 0 ? "hard-float" : "soft-float");
    }
    if (elf.machine == EM_RISCV) {
        // The float ABI is bits 1 and 2 of the flags: none, single, double.
        const char *const abis[] = {"", "f", "d", "q"};
        return bits + "RISC-V, " + (elf.bits == 32 ? "ilp32" : "lp64") + abis[(elf.flags >> 1) & 3];
    }
    Isa isa;
    return isa_for(elf, isa) ? bits + isa.name : bits + "machine " + std::to_string(elf.machine);
}

std::vector<std::string> disassemblers(const Isa &isa)
{
    std::vector<std::string> tools = {isa.triple + "-objdump"};
    // The bare-metal and the Linux toolchains' binutils read the same code.
    if (isa.family == ARM32) {
        tools.emplace_back("arm-none-eabi-objdump");
    } else if (isa.family == RISCV) {
        for (const char *triple : {"riscv64-linux-gnu", "riscv64-unknown-elf"}) {
            if (isa.triple != triple) {
                tools.push_back(std::string(triple) + "-objdump");
            }
        }
    }
    tools.emplace_back("objdump");
    return tools;
}

bool read_listed(int family, const std::string &line, Listed &in)
{
    const size_t colon = line.find(":\t");
    if (colon == std::string::npos || colon == 0 ||
        line.find_first_not_of(" 0123456789abcdef") != colon) {
        return false;
    }
    in.address = std::strtoull(line.c_str(), nullptr, 16);
    std::istringstream words(line.substr(colon + 2));
    in.mnemonic.clear();
    words >> in.mnemonic;
    static const std::set<std::string> prefixes = {
        "bnd",    "notrack", "lock", "rep", "repz", "repe", "repnz", "repne",
        "data16", "addr32",  "cs",   "ds",  "ss",   "es",   "fs",    "gs"};
    while (family == X86 && prefixes.count(in.mnemonic) && words >> in.mnemonic) {
    }
    in.rest.clear();
    std::getline(words, in.rest);
    return true;
}

const char *comment_marks(int family)
{
    switch (family) {
    case ARM32:
        return "@;";
    case ARM64:
        return "/";
    default:
        return "#";
    }
}

unsigned classify(int family, const std::string &mnemonic, const std::string &operands)
{
    const Rules &r = rules(family);
    unsigned kinds = 0;
    if (family == X86) {
        kinds |= x86_memory(mnemonic, operands);
    } else {
        kinds |= std::regex_search(mnemonic, r.load) ? LOAD : 0;
        kinds |= std::regex_search(mnemonic, r.store) ? STORE : 0;
    }
    // On 64-bit ARM the precision is in the registers: d for double.
    const bool double_operands = family != ARM64 || operands.rfind('d', 0) == 0;
    kinds |= std::regex_search(mnemonic, r.branch) ? BRANCH : 0;
    kinds |= double_operands && std::regex_search(mnemonic, r.sqrt) ? SQRT : 0;
    kinds |= double_operands && std::regex_search(mnemonic, r.arith) ? ARITH : 0;
    kinds |= std::regex_search(mnemonic, r.fused) ? FUSED : 0;
    kinds |= std::regex_search(mnemonic, r.x87) ? X87 : 0;
    return kinds;
}
