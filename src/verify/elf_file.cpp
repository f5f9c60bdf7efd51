// SPDX-License-Identifier: MIT
#include "elf_file.h"

#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

namespace {

// The relocation type that adds the load address to an addend, which a
// position-independent binary uses for its pointers to its own code.
uint32_t relative_type(uint16_t machine)
{
    switch (machine) {
    case EM_X86_64:
    case EM_386:
        static_assert(R_X86_64_RELATIVE == R_386_RELATIVE, "one number for both");
        return R_X86_64_RELATIVE;
    case EM_ARM:
        return R_ARM_RELATIVE;
    case EM_AARCH64:
        return R_AARCH64_RELATIVE;
    case EM_RISCV:
        return R_RISCV_RELATIVE;
    default:
        return 0;
    }
}

uint32_t relocation_type(const Elf64_Rela &r)
{
    return ELF64_R_TYPE(r.r_info);
}

uint32_t relocation_type(const Elf32_Rela &r)
{
    return ELF32_R_TYPE(r.r_info);
}

// The functions of .preinit_array and .init_array, in the order they run.
// A position-independent binary's arrays hold zeros where the linker left
// the pointers to its dynamic relocations (RELA: the address is the
// addend); with REL or RELR the address is in the array itself.
template <class Shdr, class Rela, class Addr>
void read_startup(const std::string &data, const std::vector<Shdr> &sh, ElfFile &elf)
{
    auto fits = [&](uint64_t offset, uint64_t size) {
        return offset <= data.size() && size <= data.size() - offset;
    };
    std::vector<std::pair<uint64_t, uint64_t>> relocated; // address, addend
    const uint32_t relative = relative_type(elf.machine);
    for (const Shdr &s : sh) {
        if (relative == 0 || s.sh_type != SHT_RELA || s.sh_entsize != sizeof(Rela) ||
            !fits(s.sh_offset, s.sh_size)) {
            continue;
        }
        for (uint64_t at = s.sh_offset; at + sizeof(Rela) <= s.sh_offset + s.sh_size;
             at += sizeof(Rela)) {
            Rela r;
            std::memcpy(&r, data.data() + at, sizeof r);
            if (relocation_type(r) == relative) {
                relocated.emplace_back(r.r_offset, static_cast<uint64_t>(r.r_addend));
            }
        }
    }
    for (const unsigned type : {SHT_PREINIT_ARRAY, SHT_INIT_ARRAY}) {
        for (size_t i = 0; i < sh.size(); ++i) {
            const Shdr &s = sh[i];
            if (s.sh_type != type || !fits(s.sh_offset, s.sh_size)) {
                continue;
            }
            for (uint64_t n = 0; n + sizeof(Addr) <= s.sh_size; n += sizeof(Addr)) {
                Addr stored;
                std::memcpy(&stored, data.data() + s.sh_offset + n, sizeof stored);
                uint64_t address = stored;
                for (const auto &[where, addend] : relocated) {
                    if (where == s.sh_addr + n) {
                        address = addend;
                    }
                }
                if (elf.machine == EM_ARM) {
                    address &= ~uint64_t{1};
                }
                // 0 and -1 are the terminators of the older .ctors lists.
                if (address != 0 && address != static_cast<Addr>(-1)) {
                    elf.startup.push_back({address, elf.sections[i].name});
                }
            }
        }
    }
}

// Header layouts differ between the classes; the fields read here have the
// same names in both, so one template reads either.
template <class Ehdr, class Phdr, class Shdr, class Sym, class Rela, class Addr>
void parse(const std::string &data, ElfFile &elf)
{
    auto fits = [&](uint64_t offset, uint64_t size) {
        return offset <= data.size() && size <= data.size() - offset;
    };
    Ehdr eh;
    std::memcpy(&eh, data.data(), sizeof eh);
    elf.machine = eh.e_machine;
    elf.type = eh.e_type;
    elf.entry = eh.e_entry;
    elf.flags = eh.e_flags;

    bool first = true, has_code = false;
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        const uint64_t at = eh.e_phoff + uint64_t{i} * eh.e_phentsize;
        if (!fits(at, sizeof(Phdr))) {
            elf.error = "truncated program headers";
            return;
        }
        Phdr ph;
        std::memcpy(&ph, data.data() + at, sizeof ph);
        if (ph.p_type == PT_INTERP && fits(ph.p_offset, ph.p_filesz)) {
            const char *path = data.data() + ph.p_offset;
            elf.interpreter = std::string(path, strnlen(path, ph.p_filesz));
        } else if (ph.p_type == PT_LOAD) {
            if (first || ph.p_vaddr < elf.low) {
                elf.low = ph.p_vaddr;
            }
            if (first || ph.p_vaddr + ph.p_memsz > elf.high) {
                elf.high = ph.p_vaddr + ph.p_memsz;
            }
            if ((ph.p_flags & PF_X) && (!has_code || ph.p_vaddr < elf.code_low)) {
                elf.code_low = ph.p_vaddr;
                has_code = true;
            }
            first = false;
        }
    }

    std::vector<Shdr> sh;
    for (unsigned i = 0; i < eh.e_shnum; ++i) {
        const uint64_t at = eh.e_shoff + uint64_t{i} * eh.e_shentsize;
        if (!fits(at, sizeof(Shdr))) {
            elf.error = "truncated section headers";
            return;
        }
        sh.emplace_back();
        std::memcpy(&sh.back(), data.data() + at, sizeof(Shdr));
    }
    auto string_at = [&](unsigned table, uint64_t offset) -> std::string {
        if (table >= sh.size() || offset >= sh[table].sh_size ||
            !fits(sh[table].sh_offset, sh[table].sh_size)) {
            return "";
        }
        const char *s = data.data() + sh[table].sh_offset + offset;
        return std::string(s, strnlen(s, sh[table].sh_size - offset));
    };
    for (const Shdr &s : sh) {
        elf.sections.push_back({string_at(eh.e_shstrndx, s.sh_name), s.sh_addr, s.sh_size});
        if ((s.sh_type != SHT_SYMTAB && s.sh_type != SHT_DYNSYM) || !fits(s.sh_offset, s.sh_size) ||
            s.sh_entsize != sizeof(Sym)) {
            continue;
        }
        elf.has_symtab = elf.has_symtab || s.sh_type == SHT_SYMTAB;
        for (uint64_t at = s.sh_offset; at + sizeof(Sym) <= s.sh_offset + s.sh_size;
             at += sizeof(Sym)) {
            Sym sym;
            std::memcpy(&sym, data.data() + at, sizeof sym);
            const unsigned kind = sym.st_info & 0xf;
            if (sym.st_shndx == SHN_UNDEF ||
                (kind != STT_FUNC && kind != STT_GNU_IFUNC && kind != STT_OBJECT)) {
                continue;
            }
            ElfSymbol out;
            out.name = string_at(s.sh_link, sym.st_name);
            out.value = sym.st_value;
            out.size = sym.st_size;
            out.function = kind != STT_OBJECT;
            out.indirect = kind == STT_GNU_IFUNC;
            out.object = kind == STT_OBJECT;
            if (elf.machine == EM_ARM && out.function) {
                out.value &= ~uint64_t{1}; // the Thumb bit is not part of the address
            }
            if (!out.name.empty()) {
                elf.symbols.push_back(out);
            }
        }
    }
    read_startup<Shdr, Rela, Addr>(data, sh, elf);
}

} // namespace

const ElfSection *ElfFile::section(const std::string &name) const
{
    for (const ElfSection &s : sections) {
        if (s.name == name) {
            return &s;
        }
    }
    return nullptr;
}

ElfFile read_elf(const std::string &path)
{
    ElfFile elf;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        elf.error = "cannot open it";
        return elf;
    }
    const std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (data.size() < EI_NIDENT || data.compare(0, SELFMAG, ELFMAG) != 0) {
        elf.error = "it is not an ELF file";
    } else if (data[EI_DATA] != ELFDATA2LSB) {
        elf.error = "it is a big-endian ELF file, which the verifier does not read";
    } else if (data[EI_CLASS] == ELFCLASS64 && data.size() >= sizeof(Elf64_Ehdr)) {
        elf.bits = 64;
        parse<Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr, Elf64_Sym, Elf64_Rela, Elf64_Addr>(data, elf);
    } else if (data[EI_CLASS] == ELFCLASS32 && data.size() >= sizeof(Elf32_Ehdr)) {
        elf.bits = 32;
        parse<Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr, Elf32_Sym, Elf32_Rela, Elf32_Addr>(data, elf);
    } else {
        elf.error = "its ELF header is damaged";
    }
    if (elf.error.empty() && elf.type != ET_EXEC && elf.type != ET_DYN) {
        elf.error = "it is an ELF file but not an executable";
    }
    // A shared library is position-independent code too, but names no
    // loader and has no entry point to start at (a static PIE has one).
    if (elf.error.empty() && elf.type == ET_DYN && elf.interpreter.empty() && elf.entry == 0) {
        elf.error = "it is a shared library, not an executable";
    }
    return elf;
}
