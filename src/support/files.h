// SPDX-License-Identifier: MIT
// Result files written whole or not at all, by every program alike.
#ifndef ZARVEK_SUPPORT_FILES_H
#define ZARVEK_SUPPORT_FILES_H

#include <string>

// Whether PATH can be written: it is not a folder, and a file can be
// made beside it. Asked before a measurement, so that a run does not end
// in a file it cannot write. Returns an empty string, or the message
// "cannot write PATH: why".
std::string check_writable(const std::string &path);

// Writes TEXT to PATH whole or not at all: into a new file in the same
// folder, created with the mode a new file gets (0666 less the umask),
// written, flushed and synced, renamed over PATH, and the folder synced,
// so that a reader never sees half a file and a crash keeps the old one or
// the new one. Returns an empty string, or "cannot write PATH: why" (the
// new file removed).
std::string write_whole(const std::string &path, const std::string &text);

// Removes the new file of a write_whole that has not finished. Safe to
// call from a signal handler.
void remove_unfinished_write();

#endif
