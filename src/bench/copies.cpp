// SPDX-License-Identifier: MIT
// Copies of one measurement in child processes. The workload's state is
// process-wide, so copies cannot be threads: each is a fork with its own
// globals. A copy gets ready (its pages touched, pinned if asked), says so
// on its pipe, waits for the release (the parent closing a pipe every copy
// reads), runs the measurement's work timed by its own monotonic clock and
// sends the parent a fixed-size report on its pipe.
#include "copies.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cfenv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "driver.h"

namespace {

// At most one copy per CPU a cpu_set_t can name.
constexpr int MAX_COPIES = CPU_SETSIZE;

// Copies running now, for the signal handler; 0 marks a free slot.
volatile pid_t LIVE[MAX_COPIES];

// A copy's exit statuses other than 0, each a reason it could not run.
enum CopyExit { LOST_PARENT = 2, NOT_PINNED = 3, PIPE_FAILED = 4 };

const char *exit_reason(int status)
{
    switch (status) {
    case LOST_PARENT:
        return " (its parent had gone)";
    case NOT_PINNED:
        return " (it could not be pinned to its CPU)";
    case PIPE_FAILED:
        return " (it could not use its pipe)";
    default:
        return "";
    }
}

double monotonic_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

bool write_all(int fd, const void *data, size_t size)
{
    const char *at = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = write(fd, at, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Writes to the stack the pass will use, so that its copy-on-write faults
// happen before the release, not in the timed pass.
[[gnu::noinline]] void touch_stack()
{
    volatile char STACK[64 * 1024];
    for (size_t i = 0; i < sizeof STACK; i += 512) {
        STACK[i] = 0;
    }
}

// The same for the workload's globals: each written with its own value.
void touch_globals()
{
    J = J;
    K = K;
    L = L;
    T = T;
    T1 = T1;
    T2 = T2;
    for (auto &E : E1) {
        E = E;
    }
}

extern "C" void stop_copies(int sig)
{
    const int saved = errno;
    for (auto &pid : LIVE) {
        if (pid > 0) {
            kill(pid, SIGKILL);
        }
    }
    for (auto &pid : LIVE) {
        if (pid > 0) {
            waitpid(pid, nullptr, 0);
        }
    }
    // The signal is blocked in its handler: raised again, it ends the
    // process once the handler returns.
    signal(sig, SIG_DFL);
    raise(sig);
    errno = saved;
}

// The child's side; never returns.
[[noreturn]] void run_copy(pid_t parent, int report_fd, int release_fd, int cpu, int32_t LOOP)
{
    // The parent's handler would act on copies that are not this one's:
    // the default instead (a signal the parent ignores stays ignored).
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler == stop_copies) {
            signal(sig, SIG_DFL);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Die with the parent, even if it is killed outright; a parent gone
    // before this took effect is seen by getppid.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
        _exit(LOST_PARENT);
    }
    if (cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        if (sched_setaffinity(0, sizeof set, &set) != 0) {
            _exit(NOT_PINNED);
        }
    }
    touch_stack();
    touch_globals();
    const char READY = 'R';
    if (!write_all(report_fd, &READY, 1)) {
        _exit(PIPE_FAILED);
    }
    // The release: end of file once the parent closes the pipe.
    char c = 0;
    ssize_t n = 0;
    do {
        n = read(release_fd, &c, 1);
    } while (n < 0 && errno == EINTR);
    if (n != 0) {
        _exit(PIPE_FAILED);
    }

    // Exactly what one measurement does. The underflow flag is cleared
    // before the clock starts and read after it stops.
    std::feclearexcept(FE_UNDERFLOW);
    timespec start{}, finish{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    assign_constants();
    timed_pass(LOOP);
    clock_gettime(CLOCK_MONOTONIC, &finish);
    const bool underflow = std::fetestexcept(FE_UNDERFLOW) != 0;

    CopyReport report{};
    report.pid = getpid();
    report.cpu = sched_getcpu();
    report.seconds = static_cast<double>(finish.tv_sec - start.tv_sec) +
                     static_cast<double>(finish.tv_nsec - start.tv_nsec) * 1e-9;
    report.subnormal = underflow ? 1 : 0;
    _exit(write_all(report_fd, &report, sizeof report) ? 0 : PIPE_FAILED);
}

// The parent's view of one copy.
struct Copy {
    pid_t pid = 0;
    int fd = -1;    // reading end of its report pipe
    size_t got = 0; // bytes received: the ready byte, then the report
    int status = 0; // wait status once reaped
    char buf[1 + sizeof(CopyReport)] = {};
};

// Reads from the copies until each has sent WANT bytes in all. Returns the
// index of the first copy whose pipe ended or failed short of that, or -1.
// LAST is set to the time the last copy completed.
int collect(std::vector<Copy> &copies, size_t WANT, double *LAST)
{
    std::vector<pollfd> fds;
    std::vector<size_t> index;
    for (;;) {
        fds.clear();
        index.clear();
        for (size_t i = 0; i < copies.size(); ++i) {
            if (copies[i].got < WANT) {
                fds.push_back({copies[i].fd, POLLIN, 0});
                index.push_back(i);
            }
        }
        if (fds.empty()) {
            return -1;
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return static_cast<int>(index[0]);
        }
        for (size_t k = 0; k < fds.size(); ++k) {
            if (fds[k].revents == 0) {
                continue;
            }
            Copy &copy = copies[index[k]];
            const ssize_t n = read(copy.fd, copy.buf + copy.got, WANT - copy.got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return static_cast<int>(index[k]);
            }
            copy.got += static_cast<size_t>(n);
            if (copy.got == WANT && LAST != nullptr) {
                *LAST = monotonic_seconds();
            }
        }
    }
}

// Kills the copies still running (after a failure) and reaps them all,
// with the stopping signals held so that the handler never waits for a
// copy reaped here.
void reap(std::vector<Copy> &copies, bool kill_first, const sigset_t &stopping)
{
    sigset_t before;
    sigprocmask(SIG_BLOCK, &stopping, &before);
    for (size_t i = 0; i < copies.size(); ++i) {
        if (kill_first) {
            kill(copies[i].pid, SIGKILL);
        }
        while (waitpid(copies[i].pid, &copies[i].status, 0) < 0 && errno == EINTR) {
        }
        LIVE[i] = 0;
        if (copies[i].fd >= 0) {
            close(copies[i].fd);
        }
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
}

// What went wrong with copy I, from its wait status and what it sent.
std::string cause(const std::vector<Copy> &copies, size_t i)
{
    const Copy &copy = copies[i];
    char text[200];
    const int s = copy.status;
    const int n = std::snprintf(text, sizeof text, "copy %zu of %zu (pid %d) ", i + 1,
                                copies.size(), static_cast<int>(copy.pid));
    const size_t at = static_cast<size_t>(n);
    if (WIFSIGNALED(s)) {
        std::snprintf(text + at, sizeof text - at, "was killed by signal %d (%s)", WTERMSIG(s),
                      strsignal(WTERMSIG(s)));
    } else if (WEXITSTATUS(s) != 0) {
        std::snprintf(text + at, sizeof text - at, "exited with status %d%s", WEXITSTATUS(s),
                      exit_reason(WEXITSTATUS(s)));
    } else if (copy.got < sizeof copy.buf) {
        std::snprintf(text + at, sizeof text - at, "exited with a short report (%zu of %zu bytes)",
                      copy.got, sizeof copy.buf);
    } else {
        std::snprintf(text + at, sizeof text - at, "sent a report that is not its own");
    }
    return text;
}

std::string failure(const char *what, int copy)
{
    char text[200];
    std::snprintf(text, sizeof text, "could not %s copy %d: %s", what, copy, std::strerror(errno));
    return text;
}

} // namespace

std::vector<int> affinity_cpus()
{
    std::vector<int> cpus;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &set)) {
                cpus.push_back(cpu);
            }
        }
    }
    return cpus;
}

void stop_copies_on_signals()
{
    struct sigaction action {};
    action.sa_handler = stop_copies;
    sigemptyset(&action.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal ignored by whoever started the program (nohup, say)
        // stays ignored.
        struct sigaction before {};
        if (sigaction(sig, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
            sigaction(sig, &action, nullptr);
        }
    }
}

CopiesResult run_copies(int N, int32_t LOOP, const std::vector<int> &PIN)
{
    CopiesResult result;
    if (N < 1 || N > MAX_COPIES) {
        result.error = "the number of copies must be from 1 to " + std::to_string(MAX_COPIES);
        return result;
    }
    int release[2];
    if (pipe2(release, O_CLOEXEC) != 0) {
        result.error = failure("make the release pipe for", 1);
        return result;
    }
    // The signals that stop the copies wait until each forked copy is in
    // LIVE, so that none escapes the handler.
    sigset_t stopping, before;
    sigemptyset(&stopping);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&stopping, sig);
    }
    const pid_t parent = getpid();
    std::vector<Copy> copies;
    copies.reserve(static_cast<size_t>(N));
    for (int i = 0; i < N && result.error.empty(); ++i) {
        int report[2];
        if (pipe2(report, O_CLOEXEC) != 0) {
            result.error = failure("make a pipe for", i + 1);
            break;
        }
        const int cpu = PIN.empty() ? -1 : PIN[static_cast<size_t>(i) % PIN.size()];
        sigprocmask(SIG_BLOCK, &stopping, &before);
        const pid_t pid = fork();
        if (pid == 0) {
            close(release[1]);
            close(report[0]);
            run_copy(parent, report[1], release[0], cpu, LOOP);
        }
        if (pid > 0) {
            LIVE[i] = pid;
            Copy copy;
            copy.pid = pid;
            copy.fd = report[0];
            copies.push_back(copy);
        } else {
            result.error = failure("start", i + 1);
            close(report[0]);
        }
        sigprocmask(SIG_SETMASK, &before, nullptr);
        // Only the copy holds the writing end, so its pipe ends when it does.
        close(report[1]);
    }
    close(release[0]);

    int failed = -1;
    if (result.error.empty()) {
        failed = collect(copies, 1, nullptr);
    }
    if (result.error.empty() && failed < 0) {
        const double released = monotonic_seconds();
        close(release[1]);
        double last = released;
        failed = collect(copies, sizeof copies[0].buf, &last);
        result.seconds = last - released;
    } else {
        close(release[1]);
    }
    reap(copies, !result.error.empty() || failed >= 0, stopping);
    if (!result.error.empty()) {
        return result;
    }
    if (failed >= 0) {
        result.error = cause(copies, static_cast<size_t>(failed));
        return result;
    }
    // A copy can still have failed after its report.
    for (size_t i = 0; i < copies.size(); ++i) {
        CopyReport report{};
        std::memcpy(&report, copies[i].buf + 1, sizeof report);
        if (copies[i].status != 0 || copies[i].buf[0] != 'R' || report.pid != copies[i].pid) {
            result.error = cause(copies, i);
            return result;
        }
        result.copies.push_back(report);
    }
    return result;
}
