// zarvek-verify: proves what a zarvek binary executed. It runs the binary
// at a few small loop counts under valgrind (natively) or qemu-user (any
// other processor), counts from the trace the calls, data accesses and
// branches of the workload's code, reads its machine code and what its
// start-up code does before main, and judges all of it against the
// benchmark's specified work.
//
// Exit status: 0 faithful, 1 not faithful, 2 could not judge.
#include <elf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "process.h"
#include "program.h"
#include "startup.h"
#include "trace.h"
#include "verdict.h"

namespace {

const char USAGE[] =
    "usage: zarvek-verify [--emulator \"COMMAND\"] [--timeout SECONDS] [--keep DIR] "
    "[--json FILE] [ZARVEK]\n";

// How long a traced run may take before it is stopped: a run at 5 loops
// takes a few seconds here under valgrind or qemu; a slow board or a busy
// machine may take many times that.
const int DEFAULT_TIMEOUT = 300;

// The folder of the traces, removed by the handler of a termination signal
// too (with the files that can be in it), after the traced runs are killed.
// With --keep the runs' traces go to the folder named instead; the
// temporary one then holds only the probe of the qemu plugin.
char folder[] = "/tmp/zarvek-verify-XXXXXX";
char folder_files[RUNS + 1][4096];
// The --json report being written, renamed over the file named only when
// it is whole.
char json_temporary[4096];

void on_termination(int sig)
{
    stop_process_groups();
    for (const char *file : folder_files) {
        unlink(file);
    }
    rmdir(folder);
    unlink(json_temporary);
    signal(sig, SIG_DFL);
    raise(sig);
}

int cannot_judge(const std::string &why)
{
    std::fprintf(stderr, "zarvek-verify: %s\n", why.c_str());
    if (*json_temporary) {
        unlink(json_temporary);
    }
    return 2;
}

int bad_usage(const std::string &why)
{
    std::fprintf(stderr, "zarvek-verify: %s\n%s", why.c_str(), USAGE);
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

// WORDS as one shell command: a word with a character the shell would
// read in single quotes, and a quote in it as '\''.
std::string join(const std::vector<std::string> &words)
{
    std::string out;
    for (const std::string &w : words) {
        const bool plain = !w.empty() && w.find_first_of(" \t'\"\\$*?;&|<>()") == std::string::npos;
        std::string quoted = "'";
        for (const char c : w) {
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        out += (out.empty() ? "" : " ") + (plain ? w : quoted + "'");
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

// The report's Binary line.
std::string describe_binary(const Program &program, const Runner &runner)
{
    const ElfFile &elf = program.elf;
    return program.isa.name + ", " + std::to_string(elf.bits) + "-bit, " +
           (elf.type == ET_DYN ? "position-independent, " : "") +
           (elf.interpreter.empty() ? "statically linked" : "dynamically linked") +
           (runner.system ? ", bare metal (semihosting)" : "");
}

// The report's Method line.
std::string describe_method(const Runner &runner)
{
    if (runner.method == Method::Lackey) {
        return "run natively under valgrind's lackey, every instruction and data access";
    }
    if (runner.method == Method::Plugin) {
        return "run under " + join(runner.emulator) + " with zarvek-verify's plugin " +
               runner.plugin + ", every instruction of the workload and data access";
    }
    return "run under " + join(runner.emulator) +
           ", every instruction executed, from qemu's execution log (" + runner.plugin_failure +
           "): the reads and writes of each global are not seen, loads and stores are counted "
           "from the instructions that execute, and section 4's window ends at section 6's "
           "first call";
}

// The method's name in the --json report.
const char *method_kind(Method method)
{
    switch (method) {
    case Method::Lackey:
        return "lackey";
    case Method::Plugin:
        return "plugin";
    default:
        return "exec-log";
    }
}

// Opens the --json report's temporary file beside PATH, so that the rename
// that completes it stays on one file system. Returns its descriptor, or
// -1 with errno set.
int open_json(const std::string &path)
{
    const std::string name = path + ".XXXXXX";
    if (name.size() >= sizeof json_temporary) {
        errno = ENAMETOOLONG;
        return -1;
    }
    name.copy(json_temporary, name.size());
    json_temporary[name.size()] = '\0';
    const int fd = mkstemp(json_temporary);
    if (fd < 0) {
        *json_temporary = '\0';
        return -1;
    }
    // mkstemp makes it private; a report is as readable as any new file.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return fd;
}

// Writes REPORT to the temporary file FD and renames it over PATH.
// Returns an empty string, or what went wrong (the temporary file gone).
std::string write_json(int fd, const std::string &path, const nlohmann::ordered_json &report)
{
    // Names that are not UTF-8 (a path, a symbol) are written with U+FFFD
    // where their bytes do not fit.
    const std::string text =
        report.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    std::string error;
    for (size_t done = 0; done < text.size() && error.empty();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR) {
            error = std::strerror(errno);
        }
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (close(fd) != 0 && error.empty()) {
        error = std::strerror(errno);
    }
    if (error.empty() && rename(json_temporary, path.c_str()) != 0) {
        error = std::strerror(errno);
    }
    if (!error.empty()) {
        unlink(json_temporary);
        return "cannot write " + path + ": " + error;
    }
    *json_temporary = '\0';
    return "";
}

} // namespace

int verify(int argc, char **argv)
{
    std::string emulator, path, keep, json;
    int timeout = DEFAULT_TIMEOUT;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        }
        // The options that take a value, as "--name VALUE" or "--name=VALUE".
        std::string name = arg.substr(0, arg.find('=')), value;
        if (name == "--emulator" || name == "--timeout" || name == "--keep" || name == "--json") {
            if (name != arg) {
                value = arg.substr(name.size() + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                return bad_usage(name + " needs a value");
            }
            if (value.empty()) {
                return bad_usage(name + " needs a value");
            }
        } else if (!arg.empty() && arg[0] == '-') {
            return bad_usage("unknown option " + arg);
        } else if (arg.empty()) {
            return bad_usage("the zarvek to judge is an empty name");
        } else if (!path.empty()) {
            std::string why = "one zarvek at a time: ";
            why += path;
            why += " and ";
            return bad_usage(why + arg);
        } else {
            path = arg;
            continue;
        }
        if (name == "--emulator") {
            emulator = value;
        } else if (name == "--keep") {
            keep = value;
        } else if (name == "--json") {
            json = value;
        } else {
            char *end = nullptr;
            errno = 0;
            const long seconds = std::strtol(value.c_str(), &end, 10);
            if (*end != '\0' || errno != 0 || seconds < 1 || seconds > 86400) {
                return bad_usage("--timeout takes whole seconds from 1 to 86400, not " + value);
            }
            timeout = static_cast<int>(seconds);
        }
    }
    if (path.empty()) {
        path = own_directory() + "/zarvek";
    } else if (path.find('/') == std::string::npos) {
        // A name alone would be looked up in PATH by valgrind and qemu.
        path = "./" + path;
    }
    if (access(path.c_str(), X_OK) != 0) {
        return cannot_judge(path + " cannot be judged: it is not an executable file (" +
                            std::strerror(errno) + ").");
    }
    // Where the report and the kept traces go is known to work before
    // anything runs.
    const int json_fd = json.empty() ? -1 : open_json(json);
    if (!json.empty() && json_fd < 0) {
        return cannot_judge("cannot write " + json + ": " + std::strerror(errno));
    }
    struct stat kept {};
    if (!keep.empty() && mkdir(keep.c_str(), 0777) != 0 &&
        (errno != EEXIST || stat(keep.c_str(), &kept) != 0 || !S_ISDIR(kept.st_mode))) {
        return cannot_judge("cannot keep the traces in " + keep + ": " +
                            (errno == EEXIST ? "it is not a folder" : std::strerror(errno)));
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
        const std::string where = keep.empty() || r == RUNS ? folder : keep;
        const std::string file = where + "/trace-" + std::to_string(r < RUNS ? LOOPS[r] : 0);
        if (file.size() >= sizeof folder_files[r]) {
            rmdir(folder);
            return cannot_judge("cannot keep the traces in " + keep + ": its name is too long");
        }
        file.copy(folder_files[r], file.size());
        folder_files[r][file.size()] = '\0';
    }
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        signal(sig, on_termination);
    }
    choose_method(program, runner, folder_files[RUNS]);
    if (runner.method == Method::Plugin && keep.find(',') != std::string::npos) {
        rmdir(folder);
        return cannot_judge("cannot keep the traces in " + keep +
                            ": its name has a comma, which qemu's -plugin option cannot take");
    }
    Counts counts[RUNS];
    std::string failure[RUNS], commands[RUNS];
    std::vector<std::thread> threads;
    threads.reserve(RUNS);
    for (int r = 0; r < RUNS; ++r) {
        threads.emplace_back([&, r] {
            const std::string log = folder_files[r];
            const std::string loops = std::to_string(LOOPS[r]);
            const std::vector<std::string> command = trace_command(program, runner, loops, log);
            // The command as the report gives it, to be run again: with
            // --keep the one run here, else one that writes its trace in
            // the current folder (the temporary one is gone by then).
            commands[r] =
                join(keep.empty() ? trace_command(program, runner, loops, "zarvek-trace-" + loops)
                                  : command);
            const ProcessResult run = run_quietly(command, timeout);
            // 0 after a measurement; 1 when it lasted under a second, as it
            // does at these loop counts.
            if (run.timed_out) {
                failure[r] =
                    "the run at " + loops + " loop" + (LOOPS[r] == 1 ? "" : "s") +
                    " did not end within " + std::to_string(timeout) +
                    " seconds and was stopped (--timeout gives it longer): " + join(command);
            } else if (run.status != 0 && run.status != 1) {
                failure[r] = path + " did not run to its end (status " +
                             std::to_string(run.status) + ") under: " + join(command) + "\n" +
                             run.err;
            } else {
                failure[r] = read_trace(program, runner, log, counts[r]);
            }
            if (keep.empty()) {
                unlink(log.c_str());
            }
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

    std::vector<Row> rows = judge(program, counts);
    const FlushToZero flush = find_flush_to_zero(program);
    if (flush.checked) {
        rows.push_back({"Floating-point mode before main", "flush to zero (" + flush.mode + ")",
                        "off", flush.setter.empty() ? "off" : "on: " + flush.setter,
                        flush.setter.empty()});
    }
    const std::string binary = describe_binary(program, runner), method = describe_method(runner);
    std::printf("zarvek-verify: %s\nBinary: %s\nMethod: %s\nRuns: at %d, %d and %d loops; figures "
                "are per unit of loop count\n",
                path.c_str(), binary.c_str(), method.c_str(), LOOPS[0], LOOPS[1], LOOPS[2]);
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
    const bool faithful = shortfalls.empty();
    if (faithful) {
        std::printf("\nVerdict: faithful: %s did exactly the benchmark's work.\n", path.c_str());
    } else {
        std::printf("\nVerdict: NOT faithful: %zu shortfall%s:\n", shortfalls.size(),
                    shortfalls.size() == 1 ? "" : "s");
        for (const Row *row : shortfalls) {
            std::printf("  - %s, %s: specified %s, measured %s\n", row->group.c_str(),
                        row->item.c_str(), row->specified.c_str(), row->measured.c_str());
        }
    }
    std::vector<std::string> all_commands = {
        join({program.objdump, "-d", "--no-show-raw-insn", "-w", path})};
    all_commands.insert(all_commands.end(), std::begin(commands), std::end(commands));
    std::printf("\nCommands:\n");
    for (const std::string &c : all_commands) {
        std::printf("  %s\n", c.c_str());
    }
    std::fflush(stdout);

    if (json_fd >= 0) {
        auto item = [](const Row &row) {
            return nlohmann::ordered_json{{"group", row.group},
                                          {"item", row.item},
                                          {"specified", row.specified},
                                          {"measured", row.measured},
                                          {"holds", row.holds}};
        };
        nlohmann::ordered_json table = nlohmann::ordered_json::array();
        nlohmann::ordered_json missed = nlohmann::ordered_json::array();
        for (const Row &row : rows) {
            table.push_back(item(row));
        }
        for (const Row *row : shortfalls) {
            missed.push_back(item(*row));
        }
        const nlohmann::ordered_json report = {
            {"format", 1},
            {"faithful", faithful},
            {"path", path},
            {"binary", binary},
            {"method", {{"kind", method_kind(runner.method)}, {"text", method}}},
            {"loops", std::vector<int>(std::begin(LOOPS), std::end(LOOPS))},
            {"rows", table},
            {"shortfalls", missed},
            {"commands", all_commands},
        };
        error = write_json(json_fd, json, report);
        if (!error.empty()) {
            return cannot_judge(error);
        }
    }
    return faithful ? 0 : 1;
}

int main(int argc, char **argv)
{
    try {
        return verify(argc, argv);
    } catch (const std::exception &e) {
        return cannot_judge(e.what());
    }
}
