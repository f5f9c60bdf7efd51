// zarvek-verify: proves what a zarvek binary executed. It runs the binary
// at a few small loop counts under valgrind (natively) or qemu-user (any
// other processor), counts from the trace the calls, data accesses and
// branches of the workload's code, reads its machine code, and judges all
// of it against the benchmark's specified work.
//
// Exit status: 0 faithful, 1 not faithful, 2 could not judge.
#include <elf.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "program.h"
#include "trace.h"
#include "verdict.h"

namespace {

const char USAGE[] = "usage: zarvek-verify [--emulator \"COMMAND\"] [ZARVEK]\n";

int cannot_judge(const std::string &why)
{
    std::fprintf(stderr, "zarvek-verify: %s\n", why.c_str());
    return 2;
}

std::string own_directory()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    path[n] = '\0';
    std::string dir = path;
    return dir.substr(0, dir.rfind('/'));
}

std::string join(const std::vector<std::string> &words)
{
    std::string out;
    for (const std::string &w : words) {
        const bool plain = !w.empty() && w.find_first_of(" \t'\"\\$*?;&|<>()") == std::string::npos;
        out += (out.empty() ? "" : " ") + (plain ? w : "'" + w + "'");
    }
    return out;
}

// Runs ARGV with its standard output thrown away.
ProcessResult run_quietly(const std::vector<std::string> &argv)
{
    RunOptions quiet;
    quiet.output = Output::Path;
    quiet.path = "/dev/null";
    return run_process(argv, quiet);
}

// Whether a program answers to --version (that is, is installed).
bool installed(const std::string &program)
{
    return run_quietly({program, "--version"}).status != 127;
}

// How to run PROGRAM: natively when this machine runs its code and has
// its loader, else under qemu-user with Debian's cross root for it.
std::string choose_runner(const Program &program, const std::string &emulator, Runner &runner)
{
    const ElfFile &elf = program.elf;
    if (!emulator.empty()) {
        std::istringstream words(emulator);
        for (std::string w; words >> w;) {
            runner.emulator.push_back(w);
        }
        for (size_t i = 0; i + 1 < runner.emulator.size(); ++i) {
            if (runner.emulator[i] == "-L") {
                runner.root = runner.emulator[i + 1];
            }
        }
        if (runner.root.empty() && std::getenv("QEMU_LD_PREFIX")) {
            runner.root = std::getenv("QEMU_LD_PREFIX");
        }
        runner.native = false;
        return installed(runner.emulator[0])
                   ? ""
                   : "the emulator " + runner.emulator[0] +
                         " is not installed: apt-get install qemu-user, or name one that is";
    }
    const ElfFile self = read_elf("/proc/self/exe");
    const bool same = self.machine == elf.machine && self.bits == elf.bits;
    bool x86_on_x86_64 = self.machine == EM_X86_64 && elf.machine == EM_386;
    if (x86_on_x86_64) {
        // Not every x86-64 kernel runs 32-bit programs: try it, with a
        // count that only gives the usage error.
        x86_on_x86_64 = run_quietly({program.path, "0"}).status != 127;
    }
    if ((same || x86_on_x86_64) && (elf.interpreter.empty() || file_exists(elf.interpreter))) {
        runner.native = true;
        return installed("valgrind")
                   ? ""
                   : "valgrind is needed to trace " + program.path + ": apt-get install valgrind";
    }
    runner.native = false;
    runner.emulator = {program.isa.qemu};
    const std::string root = "/usr/" + program.isa.triple;
    if (file_exists(root)) {
        runner.root = root;
        runner.emulator.insert(runner.emulator.end(), {"-L", root});
    }
    if (!installed(program.isa.qemu)) {
        return program.isa.qemu + " is needed to run " + program.isa.name +
               " code here: apt-get install qemu-user";
    }
    // qemu looks for files under its root first, then where they are named.
    if (!elf.interpreter.empty() && !file_exists(runner.root + elf.interpreter) &&
        !file_exists(elf.interpreter)) {
        return program.path + " needs " + program.isa.name + " libraries (" + elf.interpreter +
               "), which are not here: apt-get install " + program.isa.libc +
               ", or give --emulator with the root that holds them";
    }
    return "";
}

std::string describe(const Program &program, const Runner &runner)
{
    const ElfFile &elf = program.elf;
    std::string text = program.isa.name + ", " + std::to_string(elf.bits) + "-bit, " +
                       (elf.type == ET_DYN ? "position-independent, " : "") +
                       (elf.interpreter.empty() ? "statically linked" : "dynamically linked") +
                       "\nMethod: ";
    if (runner.native) {
        return text + "run natively under valgrind's lackey, every instruction and data access";
    }
    return text + "run under " + join(runner.emulator) +
           ", every instruction executed (reads and writes of each global are not visible "
           "under emulation)";
}

} // namespace

int main(int argc, char **argv)
{
    std::string emulator, path;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--emulator" && i + 1 < argc) {
            emulator = argv[++i];
        } else if (arg.rfind("--emulator=", 0) == 0) {
            emulator = arg.substr(11);
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (arg.empty() || arg[0] == '-' || !path.empty()) {
            std::fputs(USAGE, stderr);
            return 2;
        } else {
            path = arg;
        }
    }
    if (path.empty()) {
        path = own_directory() + "/zarvek";
    }
    if (access(path.c_str(), X_OK) != 0) {
        return cannot_judge(path + " cannot be judged: it is not an executable file (" +
                            std::strerror(errno) + ").");
    }

    Program program;
    std::string error = load_program(path, program);
    if (!error.empty()) {
        return cannot_judge(error);
    }
    Runner runner;
    error = choose_runner(program, emulator, runner);
    if (!error.empty()) {
        return cannot_judge(error);
    }

    // The runs, side by side, each with its trace in a folder of its own.
    char folder[] = "/tmp/zarvek-verify-XXXXXX";
    if (!mkdtemp(folder)) {
        return cannot_judge(std::string("cannot make a temporary folder: ") + std::strerror(errno));
    }
    Counts counts[RUNS];
    std::string failure[RUNS], commands[RUNS];
    std::vector<std::thread> threads;
    threads.reserve(RUNS);
    for (int r = 0; r < RUNS; ++r) {
        threads.emplace_back([&, r] {
            const std::string log = std::string(folder) + "/trace-" + std::to_string(LOOPS[r]);
            const std::vector<std::string> command = trace_command(program, runner, LOOPS[r], log);
            commands[r] = join(command);
            const ProcessResult run = run_quietly(command);
            // 0 after a measurement; 1 when it lasted under a second, as it
            // does at these loop counts.
            if (run.status != 0 && run.status != 1) {
                failure[r] = path + " did not run to its end (status " +
                             std::to_string(run.status) + ") under: " + commands[r] + "\n" +
                             run.err;
            } else {
                failure[r] = read_trace(program, runner, log, counts[r]);
            }
            unlink(log.c_str());
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    rmdir(folder);
    for (const std::string &f : failure) {
        if (!f.empty()) {
            return cannot_judge(f);
        }
    }

    const std::vector<Row> rows = judge(program, counts);
    std::printf("zarvek-verify: %s\nBinary: %s\nRuns: at %d, %d and %d loops; figures are per unit "
                "of loop count\n",
                path.c_str(), describe(program, runner).c_str(), LOOPS[0], LOOPS[1], LOOPS[2]);
    std::string group;
    std::vector<const Row *> shortfalls;
    for (const Row &row : rows) {
        if (row.group != group) {
            group = row.group;
            std::printf("\n%-44s %16s %16s  %s\n", group.c_str(), "specified", "measured", "holds");
        }
        std::printf("  %-42s %16s %16s  %s\n", row.item.c_str(), row.specified.c_str(),
                    row.measured.c_str(), row.holds ? "yes" : "NO");
        if (!row.holds) {
            shortfalls.push_back(&row);
        }
    }
    if (shortfalls.empty()) {
        std::printf("\nVerdict: faithful: %s did exactly the benchmark's work.\n", path.c_str());
    } else {
        std::printf("\nVerdict: NOT faithful: %zu shortfall%s:\n", shortfalls.size(),
                    shortfalls.size() == 1 ? "" : "s");
        for (const Row *row : shortfalls) {
            std::printf("  - %s, %s: specified %s, measured %s\n", row->group.c_str(),
                        row->item.c_str(), row->specified.c_str(), row->measured.c_str());
        }
    }
    std::printf("\nCommands:\n  %s -d --no-show-raw-insn -w %s\n", program.objdump.c_str(),
                path.c_str());
    for (const std::string &c : commands) {
        std::printf("  %s\n", c.c_str());
    }
    return shortfalls.empty() ? 0 : 1;
}
