# SPDX-License-Identifier: MIT
"""What a program is waiting for, in one line of standard error rewritten
in place, where standard error is a terminal; nothing elsewhere, so that a
log or a pipe gets no carriage returns."""

import sys
import time


class Progress:
    def __init__(self, stream=None):
        self.stream = stream or sys.stderr
        self.on = self.stream.isatty()

    def show(self, text):
        if self.on:
            print(f"\r\033[K{text}", end="", file=self.stream, flush=True)

    def clear(self):
        self.show("")

    def ticking(self, text):
        """A tick for _process.run: TEXT and the seconds since now, each
        second. TEXT is shown at once."""
        started = time.monotonic()
        self.show(f"{text}, 0 s")
        return lambda _: self.show(f"{text}, {time.monotonic() - started:.0f} s")
