// SPDX-License-Identifier: MIT
#include "trace.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>

#include "process.h"

namespace {

// Where a library was loaded: valgrind gives its bias (run-time address
// minus file address); qemu's trace, where the file's first page went.
struct Library {
    std::string path;
    uint64_t address = 0;
    bool first_page = false; // ADDRESS is the first page's, not the bias
};

// The trace's view of control flow: counts executions of the workload's
// instructions and the calls its code makes. A call is control leaving a
// workload function for the entry of another function; a PLT stub with a
// name counts as its function, and an unnamed one (a static binary's
// stubs for indirect functions) is followed to where it leads.
//
// It also keeps section 4's window: opened by each entry into PA, in which
// timed_pass's conditional branches are counted until the trace shows the
// first write of K (close_window), or, without data addresses, the first
// call of anything but PA.
class Flow {
public:
    Flow(const Program &program, Counts &counts, bool close_on_call = false)
        : program_(program), counts_(counts), close_on_call_(close_on_call)
    {
        counts_.executed.assign(program.code.size(), 0);
        low_ = program.elf.low;
        high_ = program.elf.high;
    }

    void set_bias(uint64_t bias) { bias_ = bias; }

    // One executed instruction at run-time address PC; returns the index
    // of the workload procedure it belongs to, or -1.
    int step(uint64_t pc)
    {
        const uint64_t address = pc - bias_;
        const bool in_binary = address >= low_ && address < high_;
        int function = -1, procedure = -1, index = -1;
        if (in_binary) {
            const auto it = program_.at.find(address);
            if (it != program_.at.end()) {
                index = it->second;
                const Instruction &in = program_.code[index];
                ++counts_.executed[index];
                function = in.function;
                procedure = in.procedure;
                if (in.pa_entry) {
                    window_open_ = true;
                    pending_ = 0;
                } else if (window_open_ && procedure == 3 && (in.kinds & BRANCH)) {
                    ++pending_;
                }
            }
        }
        if (following_) {
            if (!in_binary || !program_.in_plt(address)) {
                following_ = false;
                arrive(pc, in_binary, address, 1);
            }
        } else if (previous_ >= 0 && function != previous_) {
            // Control left the workload function of the instruction just
            // run: through a slot objdump named, into an unnamed stub, or
            // to an address that may be a function's entry.
            const std::string &slot = program_.code[last_].slot;
            if (!slot.empty()) {
                called(slot, 1);
            } else if (in_binary && program_.in_plt(address) && !program_.entries.count(address)) {
                following_ = true;
            } else {
                arrive(pc, in_binary, address, 1);
            }
        }
        previous_ = function;
        last_ = index;
        return procedure;
    }

    // COUNT transfers of control from the instruction at run-time address
    // LAST to TO, where LAST ends a block; STUB_EXITS gives, by a block's
    // first address, where control went from it.
    void transfer(uint64_t last, uint64_t to, int64_t count,
                  const std::unordered_map<uint64_t, std::pair<uint64_t, int64_t>> &stub_exits)
    {
        const auto from = program_.at.find(last - bias_);
        if (from == program_.at.end()) {
            return;
        }
        const Instruction &in = program_.code[from->second];
        const uint64_t address = to - bias_;
        const bool in_binary = address >= low_ && address < high_;
        const auto there = in_binary ? program_.at.find(address) : program_.at.end();
        if (there != program_.at.end() && program_.code[there->second].function == in.function) {
            return;
        }
        if (!in.slot.empty()) {
            called(in.slot, count);
        } else if (in_binary && program_.in_plt(address) && !program_.entries.count(address)) {
            const auto exit = stub_exits.find(to);
            if (exit != stub_exits.end()) {
                const uint64_t target = exit->second.first - bias_;
                arrive(exit->second.first, target >= low_ && target < high_, target, count);
            }
        } else {
            arrive(to, in_binary, address, count);
        }
    }

    void close_window()
    {
        if (window_open_) {
            counts_.window_branches += pending_;
            window_open_ = false;
        }
    }

    // Names the calls that went outside the binary, from the libraries'
    // symbols where they were loaded.
    void resolve(const std::vector<Library> &libraries)
    {
        for (const Library &library : libraries) {
            if (elsewhere_.empty()) {
                return;
            }
            const ElfFile elf = read_elf(library.path);
            if (!elf.error.empty()) {
                continue;
            }
            const uint64_t bias =
                library.address - (library.first_page ? elf.low & ~uint64_t{0xfff} : 0);
            const auto inside = [&](uint64_t pc) {
                return pc >= bias + elf.low && pc < bias + elf.high;
            };
            bool any = false;
            for (const auto &[pc, count] : elsewhere_) {
                any = any || inside(pc);
            }
            if (!any) {
                continue; // reading a library's entries can take a while
            }
            const auto entries = library_entries(library.path, elf, program_);
            for (auto it = elsewhere_.begin(); it != elsewhere_.end();) {
                const auto entry = entries.find(it->first - bias);
                if (inside(it->first) && entry != entries.end()) {
                    counts_.calls[entry->second] += it->second;
                    it = elsewhere_.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }

private:
    void called(const std::string &callee, int64_t count)
    {
        counts_.calls[callee] += count;
        if (close_on_call_ && callee != PROCEDURES[0]) {
            close_window();
        }
    }

    void arrive(uint64_t pc, bool in_binary, uint64_t address, int64_t count)
    {
        const auto entry = in_binary ? program_.entries.find(address) : program_.entries.end();
        if (entry != program_.entries.end()) {
            called(entry->second, count);
        } else if (!in_binary) {
            elsewhere_[pc] += count;
            if (close_on_call_) {
                close_window();
            }
        }
    }

    const Program &program_;
    Counts &counts_;
    bool close_on_call_;
    uint64_t bias_ = 0, low_ = 0, high_ = 0;
    int previous_ = -1, last_ = -1; // workload function and instruction just run
    bool following_ = false;
    bool window_open_ = false;
    int64_t pending_ = 0;
    std::unordered_map<uint64_t, int64_t> elsewhere_;
};

std::string real_path(const std::string &path)
{
    std::unique_ptr<char, void (*)(void *)> real(realpath(path.c_str(), nullptr), std::free);
    return real ? real.get() : path;
}

// Lackey's trace: "I  ADDR,SIZE" for an instruction, " L ", " S " or " M "
// then "ADDR,SIZE" for a load, store or both by it. --trace-symtab adds
// "------ name = PATH" and "... acquired as rx, bias 0xB" for each object.
std::string read_lackey(const Program &program, FILE *log, Counts &counts)
{
    Flow flow(program, counts);
    counts.measured_data = true;
    counts.window_to_key = true;
    const Global *key = nullptr;
    for (const Global &g : program.globals) {
        counts.globals[g.name] = {0, 0};
        key = g.name == "K" ? &g : key;
    }
    const std::string binary = real_path(program.path);
    std::vector<Library> libraries;
    std::string object;
    bool have_bias = false, object_biased = true;
    uint64_t bias = 0;
    int procedure = -1;
    char line[4096];
    while (std::fgets(line, sizeof line, log)) {
        if (line[0] == 'I' && line[1] == ' ') {
            procedure = flow.step(std::strtoull(line + 2, nullptr, 16));
        } else if (line[0] == ' ' && line[2] == ' ' &&
                   (line[1] == 'L' || line[1] == 'S' || line[1] == 'M')) {
            char *end = nullptr;
            const uint64_t address = std::strtoull(line + 3, &end, 16) - bias;
            const uint64_t size = *end == ',' ? std::strtoull(end + 1, nullptr, 10) : 1;
            const bool load = line[1] != 'S', store = line[1] != 'L';
            if (procedure >= 0) {
                counts.loads[procedure] += load;
                counts.stores[procedure] += store;
            }
            for (const Global &g : program.globals) {
                if (address < g.address + g.size && g.address < address + size) {
                    counts.globals[g.name].first += load;
                    counts.globals[g.name].second += store;
                }
            }
            if (store && key && address < key->address + key->size &&
                key->address < address + size) {
                flow.close_window();
            }
        } else if (std::strncmp(line, "------ name = ", 14) == 0) {
            object = line + 14;
            object.erase(object.find_last_not_of("\r\n") + 1);
            object_biased = false;
        } else if (!object_biased && std::strstr(line, "acquired as rx, bias 0x")) {
            const uint64_t b = std::strtoull(std::strstr(line, "bias 0x") + 5, nullptr, 16);
            object_biased = true;
            if (!have_bias && real_path(object) == binary) {
                bias = b;
                have_bias = true;
                flow.set_bias(b);
            } else {
                libraries.push_back({object, b, false});
            }
        }
    }
    if (!have_bias) {
        return "valgrind's log does not say where it loaded " + program.path;
    }
    flow.resolve(libraries);
    return "";
}

// qemu's log: "Trace 0: HOST [CS_BASE/PC/FLAGS/CFLAGS] SYMBOL" for each
// instruction executed (one per block with -singlestep), and -strace's
// lines, whose openat and mmap show where each library was mapped.
// SYMBOL, qemu's name for addresses in the binary itself, gives the
// binary's load address.
std::string read_qemu(const Program &program, const Runner &runner, FILE *log, Counts &counts)
{
    Flow flow(program, counts, true);
    std::unordered_map<std::string, uint64_t> functions;
    for (const ElfSymbol &s : program.elf.symbols) {
        if (s.function) {
            functions.emplace(s.name, s.value);
        }
    }
    const bool fixed = program.elf.type != 3; // not ET_DYN: loaded where it says
    bool have_bias = fixed;
    std::unordered_map<long, std::string> open_files;
    std::vector<Library> libraries;
    int64_t instructions = 0;
    char line[4096];
    while (std::fgets(line, sizeof line, log)) {
        if (std::strncmp(line, "Trace ", 6) == 0) {
            const char *slash = std::strchr(line, '/');
            if (!slash) {
                continue;
            }
            char *end = nullptr;
            const uint64_t pc = std::strtoull(slash + 1, &end, 16);
            if (!have_bias && end && (end = std::strchr(end, ']')) && end[1] == ' ') {
                std::string name = end + 2;
                name.erase(name.find_last_not_of("\r\n") + 1);
                const auto it = functions.find(name);
                if (it != functions.end()) {
                    // The first instruction run under a function's name is
                    // its entry.
                    flow.set_bias(pc - it->second);
                    have_bias = true;
                }
            }
            ++instructions;
            flow.step(pc);
            continue;
        }
        const char *call = std::strchr(line, ' ');
        const char *result = std::strstr(line, ") = ");
        if (!call || !result) {
            continue;
        }
        ++call;
        const long long value = std::strtoll(result + 4, nullptr, 0);
        if (std::strncmp(call, "openat(", 7) == 0 && value >= 0) {
            const char *quote = std::strchr(call, '"');
            const char *close = quote ? std::strchr(quote + 1, '"') : nullptr;
            if (close) {
                open_files[value] = std::string(quote + 1, close);
            }
        } else if (std::strncmp(call, "mmap", 4) == 0 && value != -1) {
            // mmap(ADDR,LENGTH,PROT,FLAGS,FD,OFFSET): the first mapping of a
            // file at offset 0 is where its lowest segment went.
            std::vector<std::string> args(1);
            for (const char *p = std::strchr(call, '(') + 1; p < result; ++p) {
                if (*p == ',') {
                    args.emplace_back();
                } else {
                    args.back() += *p;
                }
            }
            if (args.size() == 6 && std::strtoll(args[5].c_str(), nullptr, 0) == 0) {
                const auto file = open_files.find(std::strtol(args[4].c_str(), nullptr, 10));
                if (file != open_files.end()) {
                    std::string path = file->second;
                    if (!runner.root.empty() && file_exists(runner.root + path)) {
                        path.insert(0, runner.root);
                    }
                    libraries.push_back({path, static_cast<uint64_t>(value), true});
                    open_files.erase(file);
                }
            }
        }
    }
    if (instructions == 0) {
        return "the emulator wrote no execution log: it must be qemu-user, which takes "
               "-singlestep -d exec,nochain -strace -D FILE";
    }
    if (!have_bias) {
        return "the emulator's log does not show where it loaded " + program.path;
    }
    flow.resolve(libraries);
    return "";
}

// The plugin's report (see qemu_plugin.cpp): the load bias, each workload
// instruction's executions, executions in section 4's window, loads and
// stores, each global's reads and writes, control leaving blocks of the
// binary's code, and where each file was mapped.
std::string read_plugin(const Program &program, FILE *log, Counts &counts)
{
    Flow flow(program, counts);
    counts.measured_data = true;
    counts.window_to_key = true;
    for (const Global &g : program.globals) {
        counts.globals[g.name] = {0, 0};
    }
    struct Edge {
        uint64_t block, last, to;
        int64_t count;
    };
    std::vector<Edge> edges;
    std::vector<Library> libraries;
    bool headed = false, executed = false;
    char line[4096];
    while (std::fgets(line, sizeof line, log)) {
        line[std::strcspn(line, "\n")] = '\0';
        unsigned long long a = 0, b = 0, c = 0, d = 0, e = 0;
        int path_at = 0;
        if (std::strcmp(line, "zarvek-qemu-plugin 1") == 0) {
            headed = true;
        } else if (std::sscanf(line, "bias %llx", &a) == 1) {
            flow.set_bias(a);
        } else if (std::sscanf(line, "insn %llx %llu %llu %llu %llu", &a, &b, &c, &d, &e) == 5) {
            const auto it = program.at.find(a);
            if (it == program.at.end()) {
                return "the plugin reported an instruction the binary does not have";
            }
            const Instruction &in = program.code[it->second];
            counts.executed[it->second] = static_cast<int64_t>(b);
            executed = executed || b > 0;
            if (in.procedure == 3 && (in.kinds & BRANCH)) {
                counts.window_branches += static_cast<int64_t>(c);
            }
            counts.loads[in.procedure] += static_cast<int64_t>(d);
            counts.stores[in.procedure] += static_cast<int64_t>(e);
        } else if (std::sscanf(line, "global %llu %llu %llu", &a, &b, &c) == 3 &&
                   a < program.globals.size()) {
            counts.globals[program.globals[a].name] = {static_cast<int64_t>(b),
                                                       static_cast<int64_t>(c)};
        } else if (std::sscanf(line, "edge %llx %llx %llx %llu", &a, &b, &c, &d) == 4) {
            edges.push_back({a, b, c, static_cast<int64_t>(d)});
        } else if (std::sscanf(line, "map %llx %n", &a, &path_at) == 1 && path_at > 0) {
            libraries.push_back({line + path_at, a, true});
        }
    }
    if (!headed) {
        return "the plugin wrote no report";
    }
    if (!executed) {
        return "the plugin saw none of the workload's code run";
    }
    // Where control went from each block of a PLT stub (the busiest exit).
    std::unordered_map<uint64_t, std::pair<uint64_t, int64_t>> stub_exits;
    for (const Edge &edge : edges) {
        auto &exit = stub_exits[edge.block];
        if (edge.count > exit.second) {
            exit = {edge.to, edge.count};
        }
    }
    for (const Edge &edge : edges) {
        flow.transfer(edge.last, edge.to, edge.count, stub_exits);
    }
    flow.resolve(libraries);
    return "";
}

std::string hex(uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

// qemu's -plugin argument: the plugin, its report, and the addresses it
// watches (see qemu_plugin.cpp).
std::string plugin_argument(const Program &program, const Runner &runner, const std::string &log)
{
    std::string arg = runner.plugin + ",out=" + log + ",start=" + hex(program.elf.code_low) +
                      ",text=" + hex(program.elf.low) + "-" + hex(program.elf.high);
    std::map<int, std::pair<uint64_t, uint64_t>> functions;
    for (const Instruction &in : program.code) {
        auto [it, fresh] = functions.emplace(in.function, std::make_pair(in.address, in.address));
        it->second.first = std::min(it->second.first, in.address);
        it->second.second = std::max(it->second.second, in.address);
        if (in.pa_entry) {
            arg += ",mark=" + hex(in.address);
        }
    }
    for (const auto &[function, range] : functions) {
        arg += ",work=" + hex(range.first) + "-" + hex(range.second + 1);
    }
    // On bare metal the C runtime's start-up clears the globals before main
    // runs, as the loader of an operating system does elsewhere.
    for (const ElfSymbol &s : program.elf.symbols) {
        if (runner.system && s.function && s.name == "main") {
            arg += ",from=" + hex(s.value);
        }
    }
    for (const Global &g : program.globals) {
        const std::string range = hex(g.address) + "-" + hex(g.address + g.size);
        arg += ",data=" + range;
        if (g.name == "K") {
            arg += ",key=" + range;
        }
    }
    return arg;
}

} // namespace

std::vector<std::string> trace_command(const Program &program, const Runner &runner,
                                       const std::string &argument, const std::string &log)
{
    std::vector<std::string> command;
    if (runner.method == Method::Lackey) {
        command = {"valgrind",           "--tool=lackey",         "--trace-mem=yes",
                   "--trace-symtab=yes", "--trace-symtab-patt=*", "--log-file=" + log};
    } else if (runner.method == Method::Plugin) {
        command = runner.emulator;
        command.push_back("-plugin");
        command.push_back(plugin_argument(program, runner, log));
    } else {
        command = runner.emulator;
        // -strace shows where qemu-user mapped the libraries; a bare-metal
        // binary has none.
        for (const char *option : {"-singlestep", "-d", "exec,nochain", "-strace", "-D"}) {
            if (!runner.system || std::strcmp(option, "-strace") != 0) {
                command.push_back(option);
            }
        }
        command.push_back(log);
    }
    if (runner.system) {
        // No display or serial port; the program's name and its argument
        // reach it through semihosting (a comma doubled in qemu's options).
        std::string word = argument;
        for (size_t at = 0; (at = word.find(',', at)) != std::string::npos; at += 2) {
            word.insert(at, ",");
        }
        for (const char *option :
             {"-display", "none", "-serial", "none", "-monitor", "none", "-semihosting-config"}) {
            command.push_back(option);
        }
        command.push_back("enable=on,target=native,arg=zarvek,arg=" + word);
        // Emulated time counted in instructions, not taken from the host's
        // clock: a timer's interrupts then fall at the same points in every
        // run, however loaded the host, and the counts grow exactly with
        // the loop count.
        if (std::find(command.begin(), command.end(), "-icount") == command.end()) {
            command.push_back("-icount");
            command.push_back("shift=0");
        }
        command.push_back("-kernel");
        command.push_back(program.path);
        return command;
    }
    command.push_back(program.path);
    command.push_back(argument);
    return command;
}

std::string read_trace(const Program &program, const Runner &runner, const std::string &log,
                       Counts &counts)
{
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(log.c_str(), "r"), std::fclose);
    if (!file) {
        return "no trace was written to " + log;
    }
    std::vector<char> buffer(1 << 20);
    std::setvbuf(file.get(), buffer.data(), _IOFBF, buffer.size());
    switch (runner.method) {
    case Method::Lackey:
        return read_lackey(program, file.get(), counts);
    case Method::Plugin:
        return read_plugin(program, file.get(), counts);
    default:
        return read_qemu(program, runner, file.get(), counts);
    }
}
