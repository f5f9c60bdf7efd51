#include "trace.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
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
class Flow {
public:
    Flow(const Program &program, Counts &counts) : program_(program), counts_(counts)
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
            }
        }
        if (following_) {
            if (!in_binary || !program_.in_plt(address)) {
                following_ = false;
                arrive(pc, in_binary, address);
            }
        } else if (previous_ >= 0 && function != previous_) {
            // Control left the workload function of the instruction just
            // run: through a slot objdump named, into an unnamed stub, or
            // to an address that may be a function's entry.
            const std::string &slot = program_.code[last_].slot;
            if (!slot.empty()) {
                ++counts_.calls[slot];
            } else if (in_binary && program_.in_plt(address) && !program_.entries.count(address)) {
                following_ = true;
            } else {
                arrive(pc, in_binary, address);
            }
        }
        previous_ = function;
        last_ = index;
        return procedure;
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
            const auto entries = library_entries(library.path, elf, program_);
            for (auto it = elsewhere_.begin(); it != elsewhere_.end();) {
                const auto entry = entries.find(it->first - bias);
                if (it->first >= bias + elf.low && it->first < bias + elf.high &&
                    entry != entries.end()) {
                    counts_.calls[entry->second] += it->second;
                    it = elsewhere_.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }

private:
    void arrive(uint64_t pc, bool in_binary, uint64_t address)
    {
        const auto entry = in_binary ? program_.entries.find(address) : program_.entries.end();
        if (entry != program_.entries.end()) {
            ++counts_.calls[entry->second];
        } else if (!in_binary) {
            ++elsewhere_[pc];
        }
    }

    const Program &program_;
    Counts &counts_;
    uint64_t bias_ = 0, low_ = 0, high_ = 0;
    int previous_ = -1, last_ = -1; // workload function and instruction just run
    bool following_ = false;
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
    for (const Global &g : program.globals) {
        counts.globals[g.name] = {0, 0};
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
    Flow flow(program, counts);
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

} // namespace

std::vector<std::string> trace_command(const Program &program, const Runner &runner, int loops,
                                       const std::string &log)
{
    std::vector<std::string> command;
    if (runner.native) {
        command = {"valgrind",           "--tool=lackey",         "--trace-mem=yes",
                   "--trace-symtab=yes", "--trace-symtab-patt=*", "--log-file=" + log};
    } else {
        command = runner.emulator;
        for (const char *option : {"-singlestep", "-d", "exec,nochain", "-strace", "-D"}) {
            command.push_back(option);
        }
        command.push_back(log);
    }
    command.push_back(program.path);
    command.push_back(std::to_string(loops));
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
    return runner.native ? read_lackey(program, file.get(), counts)
                         : read_qemu(program, runner, file.get(), counts);
}
