// SPDX-License-Identifier: MIT
// zarvek-verify: proves what a zarvek binary executed. It runs the binary
// at a few small loop counts under valgrind (natively) or qemu-user (any
// other processor), counts from the trace the calls, data accesses and
// branches of the workload's code, reads its machine code and what its
// start-up code does before main, and judges all of it against the
// benchmark's specified work.
//
// Exit status: 0 faithful, 1 not faithful, 2 could not judge.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "options.h"
#include "process.h"
#include "program.h"
#include "report.h"
#include "runner.h"
#include "startup.h"
#include "trace.h"
#include "verdict.h"

namespace {

// The folder of the traces, removed by the handler of a termination signal
// too (with the files that can be in it), after the traced runs are killed.
// With --keep the runs' traces go to the folder named instead; the
// temporary one then holds only the probe of the qemu plugin.
char folder[] = "/tmp/zarvek-verify-XXXXXX";
char folder_files[RUNS + 1][4096];

void on_termination(int sig)
{
    stop_process_groups();
    for (const char *file : folder_files) {
        unlink(file);
    }
    rmdir(folder);
    remove_unfinished_write();
    signal(sig, SIG_DFL);
    raise(sig);
}

int cannot_judge(const std::string &why)
{
    std::fprintf(stderr, "zarvek-verify: %s\n", why.c_str());
    return 2;
}

// Where the report and the kept traces go is known to work before
// anything runs; so is the binary, a file that can be executed.
std::string check_paths(const Options &options)
{
    struct stat st {};
    if (access(options.path.c_str(), X_OK) != 0 || stat(options.path.c_str(), &st) != 0) {
        return options.path + " cannot be judged: it is not an executable file (" +
               std::strerror(errno) + ").";
    }
    if (!S_ISREG(st.st_mode)) {
        return options.path + " cannot be judged: it is " +
               (S_ISDIR(st.st_mode) ? "a folder" : "not a file") + ", not an executable file.";
    }
    if (!options.json.empty()) {
        std::string error = check_writable(options.json);
        if (!error.empty()) {
            return error;
        }
    }
    struct stat kept {};
    const std::string &keep = options.keep;
    if (!keep.empty() && mkdir(keep.c_str(), 0777) != 0 &&
        (errno != EEXIST || stat(keep.c_str(), &kept) != 0 || !S_ISDIR(kept.st_mode))) {
        return "cannot keep the traces in " + keep + ": " +
               (errno == EEXIST ? "it is not a folder" : std::strerror(errno));
    }
    return "";
}

// The names of the traces, and of the plugin's probe, in FOLDER_FILES:
// in the temporary folder, or with --keep the runs' in the folder named.
std::string name_traces(const std::string &keep)
{
    for (int r = 0; r <= RUNS; ++r) {
        const std::string where = keep.empty() || r == RUNS ? folder : keep;
        const std::string file = where + "/trace-" + std::to_string(r < RUNS ? LOOPS[r] : 0);
        if (file.size() >= sizeof folder_files[r]) {
            return "cannot keep the traces in " + keep + ": its name is too long";
        }
        file.copy(folder_files[r], file.size());
        folder_files[r][file.size()] = '\0';
    }
    return "";
}

// The runs at LOOPS, side by side, each with its trace in FOLDER_FILES,
// counted into COUNTS; each run's command, as the report gives it, in
// COMMANDS. Returns an empty string, or why a run could not be counted.
std::string trace_runs(const Program &program, const Runner &runner, const Options &options,
                       Counts (&counts)[RUNS], std::string (&commands)[RUNS])
{
    std::string failure[RUNS];
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
            commands[r] = join(options.keep.empty()
                                   ? trace_command(program, runner, loops, "zarvek-trace-" + loops)
                                   : command);
            const ProcessResult run = run_quietly(command, options.timeout);
            // 0 after a measurement; 1 when it lasted under a second, as it
            // does at these loop counts.
            if (run.timed_out) {
                failure[r] = "the run at " + loops + " loop" + (LOOPS[r] == 1 ? "" : "s") +
                             " did not end within " + std::to_string(options.timeout) +
                             (options.timeout == 1 ? " second" : " seconds") +
                             " and was stopped (--timeout gives it longer): " + join(command);
            } else if (run.status != 0 && run.status != 1) {
                failure[r] = options.path + " did not run to its end (status " +
                             std::to_string(run.status) + ") under: " + join(command) + "\n" +
                             run.err;
            } else {
                failure[r] = read_trace(program, runner, log, counts[r]);
            }
            if (options.keep.empty()) {
                unlink(log.c_str());
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    for (const std::string &f : failure) {
        if (!f.empty()) {
            return f;
        }
    }
    return "";
}

} // namespace

int verify(int argc, char **argv)
{
    Options options;
    const std::string wrong = parse_options(argc, argv, options);
    if (!wrong.empty()) {
        std::fprintf(stderr, "zarvek-verify: %s\n%s", wrong.c_str(), USAGE);
        return 2;
    }
    if (options.help) {
        print_help(stdout);
        return 0;
    }
    if (options.version) {
        std::puts("zarvek-verify " ZARVEK_VERSION);
        return 0;
    }
    if (options.path.empty()) {
        options.path = own_directory() + "/zarvek";
    } else if (options.path.find('/') == std::string::npos) {
        // A name alone would be looked up in PATH by valgrind and qemu.
        options.path = "./" + options.path;
    }
    std::string error = check_paths(options);
    Program program;
    if (error.empty()) {
        error = load_program(options.path, program);
    }
    Runner runner;
    if (error.empty()) {
        error = choose_runner(program, options.emulator, runner);
    }
    if (!error.empty()) {
        return cannot_judge(error);
    }

    // A termination signal stops the runs and removes the temporary folder.
    if (!mkdtemp(folder)) {
        return cannot_judge(std::string("cannot make a temporary folder: ") + std::strerror(errno));
    }
    error = name_traces(options.keep);
    if (!error.empty()) {
        rmdir(folder);
        return cannot_judge(error);
    }
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        signal(sig, on_termination);
    }
    choose_method(program, runner, folder_files[RUNS]);
    if (runner.method == Method::Plugin && options.keep.find(',') != std::string::npos) {
        rmdir(folder);
        return cannot_judge("cannot keep the traces in " + options.keep +
                            ": its name has a comma, which qemu's -plugin option cannot take");
    }
    Counts counts[RUNS];
    std::string commands[RUNS];
    error = trace_runs(program, runner, options, counts, commands);
    rmdir(folder);
    if (!error.empty()) {
        return cannot_judge(error);
    }

    Report report;
    report.path = options.path;
    report.binary = describe_binary(program, runner);
    report.method = describe_method(runner);
    report.kind = method_kind(runner.method);
    report.rows = judge(program, counts);
    const FlushToZero flush = find_flush_to_zero(program);
    if (flush.checked) {
        report.rows.push_back(
            {"Floating-point mode before main", "flush to zero (" + flush.mode + ")", "off",
             flush.setter.empty() ? "off" : "on: " + flush.setter, flush.setter.empty()});
    }
    report.commands = {join({program.objdump, "-d", "--no-show-raw-insn", "-w", options.path})};
    report.commands.insert(report.commands.end(), std::begin(commands), std::end(commands));
    print_report(stdout, report);
    std::fflush(stdout);
    if (!options.json.empty()) {
        // Names that are not UTF-8 (a path, a symbol) are written with
        // U+FFFD where their bytes do not fit.
        error = write_whole(options.json,
                            report_json(report).dump(
                                2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
                                "\n");
        if (!error.empty()) {
            return cannot_judge(error);
        }
    }
    return report.faithful() ? 0 : 1;
}

int main(int argc, char **argv)
{
    try {
        return verify(argc, argv);
    } catch (const std::exception &e) {
        return cannot_judge(e.what());
    }
}
