// SPDX-License-Identifier: MIT
#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The new file of the write in progress, for remove_unfinished_write:
// empty when there is none.
char unfinished[4096];

std::string cannot(const std::string &path, int error)
{
    return "cannot write " + path + ": " + std::strerror(error);
}

std::string folder_of(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// A new private file beside PATH, its name in UNFINISHED; -1 with ERROR
// set where PATH is a folder or no file can be made beside it.
int open_beside(const std::string &path, std::string &error)
{
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = "cannot write " + path + ": it is a folder";
        return -1;
    }
    const std::string name = path + ".XXXXXX";
    if (name.size() >= sizeof unfinished) {
        error = cannot(path, ENAMETOOLONG);
        return -1;
    }
    char temporary[sizeof unfinished];
    name.copy(temporary, name.size());
    temporary[name.size()] = '\0';
    const int fd = mkstemp(temporary);
    if (fd < 0) {
        error = cannot(path, errno);
        return -1;
    }
    std::memcpy(unfinished, temporary, sizeof unfinished);
    return fd;
}

} // namespace

std::string check_writable(const std::string &path)
{
    std::string error;
    const int fd = open_beside(path, error);
    if (fd >= 0) {
        close(fd);
        remove_unfinished_write();
    }
    return error;
}

std::string write_whole(const std::string &path, const std::string &text)
{
    std::string message;
    const int fd = open_beside(path, message);
    if (fd < 0) {
        return message;
    }
    // mkstemp makes the file private; give it the mode a new file gets.
    const mode_t mask = umask(0);
    umask(mask);
    int error = fchmod(fd, 0666 & ~mask) == 0 ? 0 : errno;
    for (size_t done = 0; done < text.size() && error == 0;) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR) {
            error = errno;
        }
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (error == 0 && fsync(fd) != 0) {
        error = errno;
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && std::rename(unfinished, path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        remove_unfinished_write();
        return cannot(path, error);
    }
    *unfinished = '\0';
    // The rename is durable once the folder that holds the name is.
    const int folder = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return "";
}

void remove_unfinished_write()
{
    if (*unfinished != '\0') {
        unlink(unfinished);
        *unfinished = '\0';
    }
}
