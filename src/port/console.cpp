// SPDX-License-Identifier: MIT
// The C library is picolibc, whose stdio a program gives its standard
// streams: here they write through the port.
#include "console.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "port.h"

namespace {

// The command line with its NUL; a longer one is refused.
char command_line[COMMAND_LINE_SIZE];
// Its words, at most one for every two characters, then a null.
char *words[sizeof command_line / 2 + 1];

// A C library stream over port_write, buffered: written out at each
// newline, when full, and when flushed. The FILE is picolibc's, set up
// with its fdev_setup_stream; the buffer is found by the FILE's address,
// whatever picolibc's FILE holds.
struct Stream {
    FILE file;
    int number;
    size_t used;
    char buffer[128];
};

Stream output, error; // set up by open_console before any use

Stream &stream_of(FILE *file)
{
    return file == &error.file ? error : output;
}

int flush_stream(FILE *file)
{
    Stream &stream = stream_of(file);
    const size_t used = stream.used;
    stream.used = 0;
    if (used == 0) {
        return 0;
    }
    const int error_number = port_write(stream.number, stream.buffer, used);
    if (error_number != 0) {
        errno = error_number;
        return EOF;
    }
    return 0;
}

int put(char c, FILE *file)
{
    Stream &stream = stream_of(file);
    stream.buffer[stream.used++] = c;
    if ((c == '\n' || stream.used == sizeof stream.buffer) && flush_stream(file) != 0) {
        // picolibc's fputc does not mark a stream whose put failed, and
        // the driver asks ferror: its error flag, from its stdio.h.
        file->flags |= __SERR;
        return EOF;
    }
    return static_cast<unsigned char>(c);
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

// Splits TEXT in place into words at blanks, as a shell splits plain
// words, into WORDS; returns their count.
int split_words(char *text, char **found)
{
    int count = 0;
    for (char *p = text; *p != '\0';) {
        if (is_blank(*p)) {
            *p++ = '\0';
            continue;
        }
        found[count++] = p;
        while (*p != '\0' && !is_blank(*p)) {
            ++p;
        }
    }
    found[count] = nullptr;
    return count;
}

} // namespace

FILE *const stdout = &output.file;
FILE *const stderr = &error.file;

// Where the C library ends the program (exit, abort): the port's exit.
extern "C" void _exit(int status)
{
    port_exit(status);
}

int open_console(const char *name, const char *fallback, int too_long_status, char ***argv)
{
    port_init();
    fdev_setup_stream(&output.file, put, nullptr, flush_stream, _FDEV_SETUP_WRITE);
    fdev_setup_stream(&error.file, put, nullptr, flush_stream, _FDEV_SETUP_WRITE);
    output.number = 1;
    error.number = 2;
    const long length = port_command_line(command_line, sizeof command_line);
    if (length == PORT_TOO_LONG) {
        fprintf(stderr, "%s: the command line is longer than %u characters\n", name,
                static_cast<unsigned>(sizeof command_line - 1));
        fflush(stderr);
        port_exit(too_long_status);
    }
    if (length == PORT_UNREADABLE) {
        size_t size = strlen(fallback);
        size = size < sizeof command_line ? size : sizeof command_line - 1;
        memcpy(command_line, fallback, size);
        command_line[size] = '\0';
        fprintf(stderr, "%s: no command line came through; running %s\n", name, command_line);
    }
    *argv = words;
    return split_words(command_line, words);
}
