// SPDX-License-Identifier: MIT
#include "process.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pthread.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The process groups started with own_group and not yet waited for: 0 is
// a free slot. A signal handler reads them, hence plain atomics.
constexpr int MAX_GROUPS = 64;
std::atomic<pid_t> groups[MAX_GROUPS];

void forget_group(pid_t group)
{
    for (auto &slot : groups) {
        pid_t expected = group;
        if (slot.compare_exchange_strong(expected, 0)) {
            return;
        }
    }
}

void remember_group(pid_t group)
{
    for (auto &slot : groups) {
        pid_t expected = 0;
        if (slot.compare_exchange_strong(expected, group)) {
            return;
        }
    }
}

} // namespace

void stop_process_groups()
{
    for (auto &slot : groups) {
        const pid_t group = slot.load();
        if (group > 0) {
            kill(-group, SIGKILL);
        }
    }
}

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

TempDir::TempDir()
{
    const char *dir = std::getenv("TMPDIR");
    path = std::string(dir && *dir ? dir : "/tmp") + "/zarvek-test-XXXXXX";
    if (mkdtemp(&path[0]) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> split_command(const std::string &text, char separator)
{
    std::vector<std::string> words;
    for (size_t start = 0;;) {
        const size_t end = text.find(separator, start);
        words.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return words;
        }
        start = end + 1;
    }
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

ProcessResult run_process(const std::vector<std::string> &argv, const RunOptions &options)
{
    TempFile out;
    TempFile err;
    std::vector<char *> args;
    args.reserve(argv.size() + 1);
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    const std::string out_path = options.output == Output::Path ? options.path : out.path;

    int pipe_fds[2] = {-1, -1};
    if (options.output == Output::ReaderGone) {
        if (pipe(pipe_fds) != 0) {
            throw std::runtime_error("pipe failed");
        }
        close(pipe_fds[0]);
    }
    // Termination signals wait until the child's group is on record, so
    // that stop_process_groups cannot miss it.
    sigset_t stopping, previous;
    sigemptyset(&stopping);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaddset(&stopping, sig);
    }
    if (options.own_group) {
        pthread_sigmask(SIG_BLOCK, &stopping, &previous);
    }
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        if (options.own_group) {
            setpgid(0, 0);
            // Killed too if the thread that started it ends without
            // waiting (its process killed outright, say).
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) {
                _exit(126);
            }
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        }
        const int in_fd = open("/dev/null", O_RDONLY);
        const int err_fd = open(err.path.c_str(), O_WRONLY | O_TRUNC);
        int out_fd = -1;
        if (options.output == Output::ReaderGone) {
            out_fd = pipe_fds[1];
        } else if (options.output != Output::Closed) {
            out_fd = open(out_path.c_str(), O_WRONLY | O_TRUNC);
        }
        if (in_fd < 0 || err_fd < 0 || (out_fd < 0 && options.output != Output::Closed)) {
            _exit(126);
        }
        dup2(in_fd, 0);
        dup2(err_fd, 2);
        if (out_fd >= 0) {
            dup2(out_fd, 1);
        } else {
            close(1);
        }
        signal(SIGPIPE, options.ignore_sigpipe ? SIG_IGN : SIG_DFL);
        // A path is run as it is: execvp would hand a file the kernel
        // cannot execute to the shell as a script.
        if (std::strchr(args[0], '/')) {
            execv(args[0], args.data());
        } else {
            execvp(args[0], args.data());
        }
        _exit(127);
    }
    if (pipe_fds[1] >= 0) {
        close(pipe_fds[1]);
    }
    if (options.own_group) {
        setpgid(child, child); // as the child does: whichever runs first
        remember_group(child);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    ProcessResult result;
    int wait_status = 0;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    for (;;) {
        const pid_t done = waitpid(child, &wait_status, options.timeout_seconds ? WNOHANG : 0);
        if (done == child) {
            break;
        }
        if (done < 0) {
            throw std::runtime_error("waitpid failed");
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(options.own_group ? -child : child, SIGKILL);
            waitpid(child, &wait_status, 0);
            result.timed_out = true;
            break;
        }
        usleep(10000);
    }
    if (options.own_group) {
        // Whatever the child started and left behind goes with it.
        kill(-child, SIGKILL);
        forget_group(child);
    }
    if (WIFEXITED(wait_status)) {
        result.status = WEXITSTATUS(wait_status);
    } else if (WIFSIGNALED(wait_status)) {
        result.status = 128 + WTERMSIG(wait_status);
    }
    if (options.output == Output::Capture) {
        result.out = read_file(out.path);
    }
    result.err = read_file(err.path);
    return result;
}
