// SPDX-License-Identifier: MIT
#include "driver.h"

#include <errno.h>
#include <string.h>

namespace {

const char USAGE[] = "usage: zarvek [-c] [loops]\n";

// errno of the first report write that failed, for the message at exit.
int write_errno = 0;

void note_write(int result)
{
    if (result < 0 && write_errno == 0) {
        write_errno = errno;
    }
}

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

int32_t parse_loops(const char *TEXT)
{
    const char *p = TEXT;
    while (is_space(*p)) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    // Accumulate the magnitude, stopping once it is past the 32-bit range
    // so that no number of digits can overflow.
    const int64_t limit = static_cast<int64_t>(INT32_MAX) + 1;
    int64_t magnitude = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (magnitude < limit) {
            magnitude = magnitude * 10 + (*p - '0');
        }
    }
    if (magnitude > limit) {
        magnitude = limit;
    }
    if (negative) {
        return static_cast<int32_t>(-magnitude);
    }
    return magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
}

CommandLine parse_command_line(int argc, const char *const *argv)
{
    CommandLine command = {1000, false, false};
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if ((arg[0] == '-' && arg[1] == 'c') || arg[0] == 'c') {
            command.continuous_mode = true;
            continue;
        }
        const int32_t value = parse_loops(arg);
        if (value <= 0) {
            command.usage_error = true;
            return command;
        }
        command.requested_loops = value;
    }
    return command;
}

void write_usage(FILE *err)
{
    fwrite(USAGE, 1, sizeof USAGE - 1, err);
}

bool report_measurement(FILE *out, int32_t LOOP, int iterations, time_t start_time,
                        time_t finish_time)
{
    note_write(fputc('\n', out));
    const time_t duration = finish_time - start_time;
    if (duration <= 0) {
        note_write(fprintf(out, "Insufficient duration- Increase the LOOP count\n"));
        note_write(fflush(out));
        return false;
    }
    note_write(fprintf(out, "Loops: %ld, Iterations: %d, Duration: %ld sec.\n",
                       static_cast<long>(LOOP), iterations, static_cast<long>(duration)));
    // Single precision, as the rating has always been computed: the
    // duration is rounded to float, the quotient taken in double and
    // rounded to float, and the threshold compared in float.
    const float seconds = static_cast<float>(duration);
    const float rating =
        static_cast<float>(((static_cast<double>(LOOP) * 100.0) * static_cast<double>(iterations)) /
                           static_cast<double>(seconds));
    if (rating >= 1000.0f) {
        note_write(fprintf(out, "C Converted Double Precision Corvanes: %.1f MIPS\n",
                           static_cast<double>(rating) / 1000.0));
    } else {
        note_write(fprintf(out, "C Converted Double Precision Corvanes: %.1f KIPS\n",
                           static_cast<double>(rating)));
    }
    note_write(fflush(out));
    return true;
}

int finish_output(FILE *out, FILE *err, int status)
{
    const bool flushed = fflush(out) == 0;
    const int flush_errno = errno;
    if (flushed && !ferror(out)) {
        return status;
    }
    int error = flushed ? write_errno : flush_errno;
    if (error == 0) {
        error = EIO;
    }
    write_errno = 0;
    fprintf(err, "zarvek: cannot write standard output: %s\n", strerror(error));
    return 1;
}
