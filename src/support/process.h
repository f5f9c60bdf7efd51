// SPDX-License-Identifier: MIT
// Runs a program as a child process and captures what it prints.
#ifndef ZARVEK_SUPPORT_PROCESS_H
#define ZARVEK_SUPPORT_PROCESS_H

#include <string>
#include <vector>

struct ProcessResult {
    int status = -1;        // exit status, or 128 + signal number
    bool timed_out = false; // killed after the timeout
    std::string out;        // standard output, when captured
    std::string err;        // standard error
};

// Where the child's standard output goes.
enum class Output {
    Capture,    // a temporary file, read back into ProcessResult::out
    Path,       // the file or device at RunOptions::path
    Closed,     // descriptor 1 closed
    ReaderGone, // a pipe whose reading end is already closed
};

struct RunOptions {
    Output output = Output::Capture;
    std::string path;
    bool ignore_sigpipe = false; // else SIGPIPE has its default action
    int timeout_seconds = 0;     // 0: wait as long as it takes
    // Starts the child in a process group of its own, which the timeout
    // and stop_process_groups kill whole (with anything it started).
    bool own_group = false;
};

// Runs ARGV (looked up in PATH when it has no slash) with standard input
// from /dev/null. A program that cannot be executed gives status 127.
ProcessResult run_process(const std::vector<std::string> &argv, const RunOptions &options = {});

// Kills every process group that run_process has started with own_group
// and that is still running. Safe to call from a signal handler.
void stop_process_groups();

std::string read_file(const std::string &path);

bool file_exists(const std::string &path);

// The words of a command written as one string, separated by SEPARATOR
// ("qemu-arm|-L|/usr/arm-linux-gnueabihf|zarvek"); empty words are kept.
std::vector<std::string> split_command(const std::string &text, char separator);

// A fresh empty file path under the temporary folder, removed by the
// destructor.
struct TempFile {
    TempFile();
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    std::string path;
};

// A fresh empty folder under the temporary folder, removed with what it
// holds by the destructor.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string path;
};

#endif
