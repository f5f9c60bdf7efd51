// zarvek-verify: proves what a zarvek binary executed. It runs the binary
// at a few small loop counts under valgrind (natively) or qemu-user (any
// other processor), counts from the trace the calls, data accesses and
// branches of the workload's code, reads its machine code, and judges all
// of it against the benchmark's specified work.
//
// Exit status: 0 faithful, 1 not faithful, 2 could not judge.
#include <elf.h>
#include <unistd.h>

#include <csignal>
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

const char USAGE[] = "usage: zarvek-verify [--emulator \"COMMAND\"] [--timeout SECONDS] [ZARVEK]\n";

// How long a traced run may take before it is stopped: a run at 5 loops
// takes a few seconds here under valgrind or qemu; a slow board or a busy
// machine may take many times that.
const int DEFAULT_TIMEOUT = 300;

// The folder of the traces, removed by the handler of a termination signal
// too (with the files that can be in it), after the traced runs are killed.
char folder[] = "/tmp/zarvek-verify-XXXXXX";
char folder_files[RUNS + 1][sizeof folder + 16];

void on_termination(int sig)
{
    stop_process_groups();
    for (const char *file : folder_files) {
        unlink(file);
    }
    rmdir(folder);
    signal(sig, SIG_DFL);
    raise(sig);
}

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

// Runs ARGV with its standard output thrown away, in a process group of
// its own, stopped after TIMEOUT seconds (0: never).
ProcessResult run_quietly(const std::vector<std::string> &argv, int timeout = 0)
{
    RunOptions quiet;
    quiet.output = Output::Path;
    quiet.path = "/dev/null";
    quiet.own_group = true;
    quiet.timeout_seconds = timeout;
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
        const std::string &name = runner.emulator[0];
        runner.system = name.compare(name.rfind('/') + 1, 12, "qemu-system-") == 0;
        if (installed(name)) {
            return "";
        }
        const char *package = runner.system ? "qemu-system-arm or qemu-system-misc" : "qemu-user";
        return "the emulator " + name + " is not installed: apt-get install " + package +
               ", or name one that is";
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

// The plugin qemu loads: $ZARVEK_QEMU_PLUGIN, else the one beside this
// program (a build tree), else the installed one.
std::string plugin_path()
{
    const char *chosen = std::getenv("ZARVEK_QEMU_PLUGIN");
    if (chosen && *chosen) {
        return chosen;
    }
    const std::string here = own_directory();
    for (const std::string &path : {here + "/zarvek-qemu-plugin.so",
                                    here + "/" ZARVEK_PLUGIN_FROM_BIN "/zarvek-qemu-plugin.so"}) {
        if (file_exists(path)) {
            return path;
        }
    }
    return here + "/" ZARVEK_PLUGIN_FROM_BIN "/zarvek-qemu-plugin.so";
}

// Under emulation: the plugin where qemu loads it (tried on a run that
// only prints the usage message), else qemu's execution log.
void choose_method(const Program &program, Runner &runner, const std::string &probe)
{
    if (runner.native) {
        runner.method = Method::Lackey;
        return;
    }
    runner.plugin = plugin_path();
    runner.method = Method::Plugin;
    std::string why;
    if (runner.plugin.find(',') != std::string::npos) {
        why = "its path has a comma, which qemu's -plugin option cannot take";
    } else {
        const ProcessResult run = run_quietly(trace_command(program, runner, "0", probe), 60);
        if (!file_exists(probe)) {
            why = run.err.substr(0, run.err.find('\n'));
            if (why.empty()) {
                why = "qemu wrote no report (status " + std::to_string(run.status) + ")";
            }
        }
        unlink(probe.c_str());
    }
    if (!why.empty()) {
        runner.method = Method::ExecLog;
        runner.plugin_failure = "the plugin " + runner.plugin + " did not load: " + why;
    }
}

std::string describe(const Program &program, const Runner &runner)
{
    const ElfFile &elf = program.elf;
    std::string text = program.isa.name + ", " + std::to_string(elf.bits) + "-bit, " +
                       (elf.type == ET_DYN ? "position-independent, " : "") +
                       (elf.interpreter.empty() ? "statically linked" : "dynamically linked") +
                       (runner.system ? ", bare metal (semihosting)" : "") + "\nMethod: ";
    if (runner.method == Method::Lackey) {
        return text + "run natively under valgrind's lackey, every instruction and data access";
    }
    if (runner.method == Method::Plugin) {
        return text + "run under " + join(runner.emulator) + " with zarvek-verify's plugin " +
               runner.plugin + ", every instruction of the workload and data access";
    }
    return text + "run under " + join(runner.emulator) +
           ", every instruction executed, from qemu's execution log (" + runner.plugin_failure +
           "): the reads and writes of each global are not seen, loads and stores are counted "
           "from the instructions that execute, and section 4's window ends at section 6's "
           "first call";
}

} // namespace

int main(int argc, char **argv)
{
    std::string emulator, path;
    int timeout = DEFAULT_TIMEOUT;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string seconds;
        if (arg == "--emulator" && i + 1 < argc) {
            emulator = argv[++i];
        } else if (arg.rfind("--emulator=", 0) == 0) {
            emulator = arg.substr(11);
        } else if ((arg == "--timeout" && i + 1 < argc) || arg.rfind("--timeout=", 0) == 0) {
            seconds = arg == "--timeout" ? argv[++i] : arg.substr(10);
            char *end = nullptr;
            const long value = std::strtol(seconds.c_str(), &end, 10);
            if (seconds.empty() || *end != '\0' || value < 1 || value > 86400) {
                std::fputs(USAGE, stderr);
                return 2;
            }
            timeout = static_cast<int>(value);
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
    // A termination signal stops them all and removes the folder.
    if (!mkdtemp(folder)) {
        return cannot_judge(std::string("cannot make a temporary folder: ") + std::strerror(errno));
    }
    for (int r = 0; r <= RUNS; ++r) {
        std::snprintf(folder_files[r], sizeof folder_files[r], "%s/trace-%d", folder,
                      r < RUNS ? LOOPS[r] : 0);
    }
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        signal(sig, on_termination);
    }
    choose_method(program, runner, folder_files[RUNS]);
    Counts counts[RUNS];
    std::string failure[RUNS], commands[RUNS];
    std::vector<std::thread> threads;
    threads.reserve(RUNS);
    for (int r = 0; r < RUNS; ++r) {
        threads.emplace_back([&, r] {
            const std::string log = folder_files[r];
            const std::vector<std::string> command =
                trace_command(program, runner, std::to_string(LOOPS[r]), log);
            commands[r] = join(command);
            const ProcessResult run = run_quietly(command, timeout);
            // 0 after a measurement; 1 when it lasted under a second, as it
            // does at these loop counts.
            if (run.timed_out) {
                failure[r] = "the run at " + std::to_string(LOOPS[r]) + " loop" +
                             (LOOPS[r] == 1 ? "" : "s") + " did not end within " +
                             std::to_string(timeout) +
                             " seconds and was stopped (--timeout gives it longer): " + commands[r];
            } else if (run.status != 0 && run.status != 1) {
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
