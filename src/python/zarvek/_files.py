# SPDX-License-Identifier: MIT
"""Files written whole or not at all, and output paths checked before any
work is done."""

import hashlib
import os
import secrets

WRITTEN = []  # the files written whole so far, for an interrupt's message


def write_atomically(path, write):
    """Writes PATH whole or not at all: WRITE(f) fills a temporary file in
    the same folder, created with the mode a plain open gives (0666 less
    the umask), which is flushed and synced, renamed over PATH, and the
    folder synced, so that after a crash PATH is the old file or the new,
    never a part."""
    folder = os.path.dirname(os.path.abspath(path))
    while True:
        temp = os.path.join(folder, f".{os.path.basename(path)}.{secrets.token_hex(4)}")
        try:
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(fd, "wb") as f:
            write(f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temp, path)
    except BaseException:
        os.unlink(temp)
        raise
    directory = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(directory)
    finally:
        os.close(directory)
    WRITTEN.append(path)


def check_output_file(option, path, suffixes=None):
    """Refuses, before any work, a file that could not be written."""
    from ._process import Refusal

    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder) or not os.access(folder, os.W_OK | os.X_OK):
        raise Refusal(2, f"{option} {path}: cannot write in {folder}")
    if os.path.isdir(path):
        raise Refusal(2, f"{option} {path}: is a folder")
    if suffixes and os.path.splitext(path)[1].lower() not in suffixes:
        raise Refusal(2, f"{option} {path}: the name must end in {' or '.join(suffixes)}")


def file_digest(path):
    """The SHA-256 of the file PATH, in hex: the same bytes, the same build."""
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def finite(value):
    """VALUE with every float that is not finite replaced by None: what
    strict JSON can hold (an unbounded side of an interval is null)."""
    import math

    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [finite(v) for v in value]
    return value
