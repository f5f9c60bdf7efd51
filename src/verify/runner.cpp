// SPDX-License-Identifier: MIT
#include "runner.h"

#include <elf.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "isa.h"

namespace {

// Whether a program answers to --version (that is, is installed).
bool installed(const std::string &program)
{
    return run_quietly({program, "--version"}).status != 127;
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

} // namespace

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
        std::string quoted = "'";
        for (const char c : w) {
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        out += (out.empty() ? "" : " ") + (plain ? w : quoted + "'");
    }
    return out;
}

ProcessResult run_quietly(const std::vector<std::string> &argv, int timeout)
{
    RunOptions quiet;
    quiet.output = Output::Path;
    quiet.path = "/dev/null";
    quiet.own_group = true;
    quiet.timeout_seconds = timeout;
    return run_process(argv, quiet);
}

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

std::string describe_binary(const Program &program, const Runner &runner)
{
    const ElfFile &elf = program.elf;
    // A bare-metal binary is named by its processor and ABI: Debian's
    // names (armhf, ...) are of Linux systems.
    if (runner.system) {
        return bare_metal_name(elf) + ", statically linked, bare metal (semihosting)";
    }
    return program.isa.name + ", " + std::to_string(elf.bits) + "-bit, " +
           (elf.type == ET_DYN ? "position-independent, " : "") +
           (elf.interpreter.empty() ? "statically linked" : "dynamically linked");
}

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
