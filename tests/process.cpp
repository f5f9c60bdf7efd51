#include "process.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

TempFile::TempFile()
{
    const char *dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/zarvek-test-XXXXXX";
    const int fd = mkstemp(&pattern[0]);
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    close(fd);
    path = pattern;
}

TempFile::~TempFile()
{
    unlink(path.c_str());
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

ProcessResult run_process(const std::vector<std::string> &argv, const std::string &stdout_path)
{
    TempFile out;
    TempFile err;
    std::vector<char *> args;
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    const std::string out_path = stdout_path.empty() ? out.path : stdout_path;

    const pid_t child = fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        const int in_fd = open("/dev/null", O_RDONLY);
        const int out_fd = open(out_path.c_str(), O_WRONLY | O_TRUNC);
        const int err_fd = open(err.path.c_str(), O_WRONLY | O_TRUNC);
        if (in_fd < 0 || out_fd < 0 || err_fd < 0) {
            _exit(126);
        }
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    int wait_status = 0;
    if (waitpid(child, &wait_status, 0) != child) {
        throw std::runtime_error("waitpid failed");
    }
    ProcessResult result;
    if (WIFEXITED(wait_status)) {
        result.status = WEXITSTATUS(wait_status);
    } else if (WIFSIGNALED(wait_status)) {
        result.status = 128 + WTERMSIG(wait_status);
    }
    if (stdout_path.empty()) {
        result.out = read_file(out.path);
    }
    result.err = read_file(err.path);
    return result;
}
