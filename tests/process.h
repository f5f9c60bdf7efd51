// Runs a program as a child process and captures what it prints.
#ifndef ZARVEK_TESTS_PROCESS_H
#define ZARVEK_TESTS_PROCESS_H

#include <string>
#include <vector>

struct ProcessResult {
    int status = -1; // exit status, or 128 + signal number
    std::string out; // standard output, unless it went to a path
    std::string err; // standard error
};

// Runs ARGV (looked up in PATH when it has no slash). Standard input is
// /dev/null; standard output goes to STDOUT_PATH when it is given.
ProcessResult run_process(const std::vector<std::string> &argv,
                          const std::string &stdout_path = "");

std::string read_file(const std::string &path);

// A fresh empty file path under the temporary folder, removed by the
// destructor.
struct TempFile {
    TempFile();
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    std::string path;
};

#endif
