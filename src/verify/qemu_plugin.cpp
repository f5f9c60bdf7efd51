// SPDX-License-Identifier: MIT
// zarvek-verify's plugin for qemu: counts what a zarvek binary's workload
// did under emulation, and writes it to a file when the program exits,
// for the verifier to read. It runs in qemu-user, and in qemu-system for a
// bare-metal binary, which runs without a memory map of its own: there the
// addresses in its ELF file are the addresses the plugin sees.
//
// Arguments (addresses in hexadecimal, as in the binary's file; the plugin
// adds the load bias of a position-independent binary itself):
//   out=PATH        the report
//   start=ADDR      where the binary's lowest executable segment lies
//   text=LOW-HIGH   the binary's code: control leaving it is recorded, and
//                   its accesses to the globals
//   work=LOW-HIGH   a workload function: each instruction's executions,
//                   loads and stores are reported (repeatable)
//   data=LOW-HIGH   a global: its reads and writes are counted (repeatable)
//   mark=ADDR       an entry that opens the window (repeatable)
//   from=ADDR       count the globals' accesses only once ADDR has run:
//                   past a bare-metal C runtime's start-up, which clears
//                   and copies them as an operating system's loader would
//   key=LOW-HIGH    a global whose first write after a mark closes it
// The window: executions of each workload instruction between an entry at
// a mark and the next write of the key, summed over every such stretch.
//
// The report, one record a line: "bias B", "insn ADDR EXECUTED IN_WINDOW
// LOADS STORES", "global INDEX READS WRITES", "edge FROM_BLOCK FROM_LAST TO
// COUNT" (control from a block of the binary's code to another block, at
// run-time addresses) and "map ADDR PATH" (where a file's first page was
// mapped; under qemu-user only).
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "qemu_plugin_api.h"

namespace {

struct Range {
    uint64_t low, high;
    bool holds(uint64_t address) const { return address >= low && address < high; }
    bool overlaps(uint64_t address, uint64_t size) const
    {
        return address < high && low < address + size;
    }
};

// One instruction of the binary's code; qemu adds to EXECUTED inline.
struct Record {
    uint64_t executed = 0, mark = 0, window = 0, loads = 0, stores = 0;
    bool work = false; // in a workload function: reported
};

// One translated block of the binary's code, or anywhere else.
struct Block {
    uint64_t first, last;
    bool in_text;
};

struct EdgeKey {
    const Block *from;
    uint64_t to;
    bool operator==(const EdgeKey &o) const { return from == o.from && to == o.to; }
};
struct EdgeHash {
    size_t operator()(const EdgeKey &k) const
    {
        return std::hash<const void *>()(k.from) ^ std::hash<uint64_t>()(k.to * 0x9e3779b97f4a7c15);
    }
};

std::string out_path;
bool system_emulation = false;
uint64_t start_file = 0, bias = 0, guest_base = 0;
bool have_guest_base = false;
Range text{0, 0}, key{0, 0};
std::vector<Range> work, data;
std::vector<uint64_t> marks;
uint64_t from = 0;
bool counting = true;               // the globals' accesses: false until FROM runs
std::map<uint64_t, Record> records; // by file address; never moves
std::vector<uint64_t> global_reads, global_writes;
std::map<std::pair<uint64_t, uint64_t>, Block *> blocks; // by first and last address
std::unordered_map<EdgeKey, uint64_t, EdgeHash> edges;
const Block *previous = nullptr;
bool window_open = false;
// The instruction execution whose accesses were seen last, and the globals
// it has read and written: an instruction that reaches a global in two
// pieces (a double moved through a pair of 32-bit registers) reads or
// writes it once.
const Record *last_record = nullptr;
uint64_t last_execution = 0;
std::vector<bool> seen_read, seen_written;

bool parse_range(const char *text_value, Range &range)
{
    char *end = nullptr;
    range.low = std::strtoull(text_value, &end, 16);
    if (*end != '-') {
        return false;
    }
    range.high = std::strtoull(end + 1, &end, 16);
    return *end == '\0' && range.low < range.high;
}

bool in_work(uint64_t address)
{
    for (const Range &r : work) {
        if (r.holds(address)) {
            return true;
        }
    }
    return false;
}

void on_block(unsigned int, void *udata)
{
    const auto *block = static_cast<const Block *>(udata);
    if (previous && previous->in_text) {
        ++edges[{previous, block->first}];
    }
    previous = block;
}

void on_mark(unsigned int, void *)
{
    for (auto &[address, r] : records) {
        r.mark = r.executed;
    }
    window_open = true;
}

void on_from(unsigned int, void *)
{
    counting = true;
}

void on_memory(unsigned int, qemu_plugin_meminfo_t info, uint64_t vaddr, void *udata)
{
    auto *record = static_cast<Record *>(udata);
    const bool store = qemu_plugin_mem_is_store(info);
    const uint64_t address = vaddr - bias, size = uint64_t{1} << qemu_plugin_mem_size_shift(info);
    (store ? record->stores : record->loads) += 1;
    if (!counting) {
        return;
    }
    if (record != last_record || record->executed != last_execution) {
        last_record = record;
        last_execution = record->executed;
        seen_read.assign(data.size(), false);
        seen_written.assign(data.size(), false);
    }
    std::vector<bool> &seen = store ? seen_written : seen_read;
    for (size_t i = 0; i < data.size(); ++i) {
        if (!seen[i] && data[i].overlaps(address, size)) {
            seen[i] = true;
            (store ? global_writes : global_reads)[i] += 1;
        }
    }
    if (store && window_open && key.overlaps(address, size)) {
        window_open = false;
        for (auto &[a, r] : records) {
            r.window += r.executed - r.mark;
        }
    }
}

void on_translation(qemu_plugin_id_t, struct qemu_plugin_tb *tb)
{
    const size_t n = qemu_plugin_tb_n_insns(tb);
    if (n == 0) {
        return;
    }
    struct qemu_plugin_insn *first = qemu_plugin_tb_get_insn(tb, 0);
    const uint64_t start = qemu_plugin_insn_vaddr(first);
    const uint64_t last = qemu_plugin_insn_vaddr(qemu_plugin_tb_get_insn(tb, n - 1));
    if (!have_guest_base && !system_emulation) {
        // A position-independent binary's load bias: where qemu put its
        // code less where the file says it lies (0 for one loaded where it
        // says). qemu knows it once the guest runs, not at install time.
        bias = qemu_plugin_start_code() - start_file;
        // Under user-mode emulation guest memory is the host's, offset by
        // a constant; the host's map of files then gives the guest's.
        guest_base = reinterpret_cast<uintptr_t>(qemu_plugin_insn_haddr(first)) - start;
        have_guest_base = true;
    }
    Block *&block = blocks[{start, last}];
    if (!block) {
        block = new Block{start, last, text.holds(start - bias)};
    }
    qemu_plugin_register_vcpu_tb_exec_cb(tb, on_block, QEMU_PLUGIN_CB_NO_REGS, block);
    if (!block->in_text) {
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        struct qemu_plugin_insn *insn = qemu_plugin_tb_get_insn(tb, i);
        const uint64_t address = qemu_plugin_insn_vaddr(insn) - bias;
        Record &record = records[address];
        record.work = in_work(address);
        if (address == from && !counting) {
            qemu_plugin_register_vcpu_insn_exec_cb(insn, on_from, QEMU_PLUGIN_CB_NO_REGS, nullptr);
        }
        for (const uint64_t m : marks) {
            if (m == address) {
                qemu_plugin_register_vcpu_insn_exec_cb(insn, on_mark, QEMU_PLUGIN_CB_NO_REGS,
                                                       nullptr);
            }
        }
        qemu_plugin_register_vcpu_insn_exec_inline(insn, QEMU_PLUGIN_INLINE_ADD_U64,
                                                   &record.executed, 1);
        qemu_plugin_register_vcpu_mem_cb(insn, on_memory, QEMU_PLUGIN_CB_NO_REGS,
                                         QEMU_PLUGIN_MEM_RW, &record);
    }
}

// Where each file's first page lies in guest memory, from the host's map.
void write_maps(FILE *out)
{
    FILE *maps = std::fopen("/proc/self/maps", "r");
    if (!maps) {
        return;
    }
    char line[4096];
    while (std::fgets(line, sizeof line, maps)) {
        unsigned long long low = 0, high = 0, offset = 0;
        char perms[8], device[16];
        unsigned long long inode = 0;
        int path_at = 0;
        if (std::sscanf(line, "%llx-%llx %7s %llx %15s %llu %n", &low, &high, perms, &offset,
                        device, &inode, &path_at) < 6 ||
            offset != 0 || inode == 0 || line[path_at] != '/' || low < guest_base) {
            continue;
        }
        line[std::strcspn(line, "\n")] = '\0';
        std::fprintf(out, "map %llx %s\n", low - static_cast<unsigned long long>(guest_base),
                     line + path_at);
    }
    std::fclose(maps);
}

// The report, written once: at qemu's exit callback, or, where qemu-system
// ends on the guest's semihosting exit without calling it, when the
// process exits. Never once the globals above are being destroyed: the
// sentinel, defined after them, is destroyed before them.
bool reported = false;
bool destroyed = false;
struct Sentinel {
    Sentinel() = default;
    Sentinel(const Sentinel &) = delete;
    Sentinel &operator=(const Sentinel &) = delete;
    ~Sentinel() { destroyed = true; }
} sentinel;

void write_report()
{
    if (reported || destroyed) {
        return;
    }
    reported = true;
    FILE *out = std::fopen(out_path.c_str(), "w");
    if (!out) {
        return;
    }
    std::fprintf(out, "zarvek-qemu-plugin 1\nbias %" PRIx64 "\n", bias);
    for (const auto &[address, r] : records) {
        if (!r.work) {
            continue;
        }
        std::fprintf(out, "insn %" PRIx64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 "\n",
                     address, r.executed, r.window, r.loads, r.stores);
    }
    for (size_t i = 0; i < data.size(); ++i) {
        std::fprintf(out, "global %zu %" PRIu64 " %" PRIu64 "\n", i, global_reads[i],
                     global_writes[i]);
    }
    for (const auto &[edge, count] : edges) {
        std::fprintf(out, "edge %" PRIx64 " %" PRIx64 " %" PRIx64 " %" PRIu64 "\n",
                     edge.from->first, edge.from->last, edge.to, count);
    }
    if (!system_emulation) {
        write_maps(out);
    }
    std::fclose(out);
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

__attribute__((visibility("default"))) int
qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc, char **argv)
{
    if (info->version.min > 1 || info->version.cur < 1) {
        qemu_plugin_outs("zarvek-qemu-plugin: needs plugin API 1\n");
        return -1;
    }
    system_emulation = info->system_emulation;
    for (int i = 0; i < argc; ++i) {
        const char *arg = argv[i];
        const char *value = std::strchr(arg, '=');
        if (!value) {
            return -1;
        }
        const std::string name(arg, value++);
        Range range{0, 0};
        const bool ranged = name == "text" || name == "work" || name == "data" || name == "key";
        if (ranged && !parse_range(value, range)) {
            qemu_plugin_outs("zarvek-qemu-plugin: not a range LOW-HIGH\n");
            return -1;
        }
        if (name == "out") {
            out_path = value;
        } else if (name == "start") {
            start_file = std::strtoull(value, nullptr, 16);
        } else if (name == "mark") {
            marks.push_back(std::strtoull(value, nullptr, 16));
        } else if (name == "from") {
            from = std::strtoull(value, nullptr, 16);
            counting = false;
        } else if (name == "text") {
            text = range;
        } else if (name == "work") {
            work.push_back(range);
        } else if (name == "data") {
            data.push_back(range);
        } else if (name == "key") {
            key = range;
        } else {
            qemu_plugin_outs("zarvek-qemu-plugin: unknown argument\n");
            return -1;
        }
    }
    if (out_path.empty()) {
        qemu_plugin_outs("zarvek-qemu-plugin: no out=PATH\n");
        return -1;
    }
    global_reads.assign(data.size(), 0);
    global_writes.assign(data.size(), 0);
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translation);
    qemu_plugin_register_atexit_cb(
        id, [](qemu_plugin_id_t, void *) { write_report(); }, nullptr);
    std::atexit(write_report);
    return 0;
}

} // extern "C"
