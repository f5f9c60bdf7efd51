#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# The section marks of the timed pass add nothing to zarvek: pass.cpp
# compiled by this build's own command, as it is and with every
# SECTION_BOUNDARY line blanked, gives the same object byte for byte, at
# the build's optimisation and at none. Compiled as the profiled pass, the
# two must differ, or the comparison (or the blanking) proves nothing. Each copy is compiled
# as pass.cpp in a folder of its own, without debug information, so that
# only the code can differ.
#
# usage: section_marks.py compile_commands.json .../src/workload/pass.cpp
import json
import pathlib
import re
import shlex
import subprocess
import sys
import tempfile

commands, source = sys.argv[1:3]
command = next(e["command"] for e in json.loads(pathlib.Path(commands).read_text())
               if e["file"] == source and "-DZARVEK_PROFILED_PASS" not in e["command"])
words = [w for w in shlex.split(command) if w not in ("-c", source)]
del words[words.index("-o"):words.index("-o") + 2]
# An LTO object holds the compiler's intermediate code, which differs
# between two compiles where the machine code would not (GCC names its
# sections at random at each compile; clang's bitcode differs too): the
# marks are judged by the machine code the same command makes without LTO.
if any(w.startswith("-flto") for w in words):
    words.append("-fno-lto")
marked = pathlib.Path(source).read_text()
blanked = re.sub(r"\n *SECTION_BOUNDARY\(\d+\);", "\n", marked)


def compiled(text, options):
    with tempfile.TemporaryDirectory() as folder:
        pathlib.Path(folder, "pass.cpp").write_text(text)
        subprocess.run(words + options + ["-g0", "-c", "pass.cpp"], cwd=folder, check=True)
        return pathlib.Path(folder, "pass.o").read_bytes()


for case, options, same in [("as built", [], True), ("unoptimised", ["-O0"], True),
                            ("profiled", ["-DZARVEK_PROFILED_PASS"], False)]:
    if (compiled(marked, options) == compiled(blanked, options)) != same:
        sys.exit(f"{case}: the objects with and without the marks should be "
                 + ("the same" if same else "different"))
