#!/usr/bin/python3
# SPDX-License-Identifier: MIT
# The section marks of the timed pass add nothing to zarvek: pass.cpp
# compiled by this build's own command, as it is and with every
# SECTION_BOUNDARY line blanked, gives the same object byte for byte, at
# the build's optimisation and at none. Compiled as the profiled pass, the
# two must differ, or the comparison proves nothing. The copies are
# compiled under one name without debug information, so that only the
# code can differ.
#
# usage: section_marks.py compile_commands.json .../src/workload/pass.cpp
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

commands, source = sys.argv[1:3]
with open(commands) as f:
    entry = next(e for e in json.load(f)
                 if e["file"] == source and "-DZARVEK_PROFILED_PASS" not in e["command"])
words = shlex.split(entry["command"])
del words[words.index("-o"):words.index("-o") + 2]
words = [w for w in words if w not in ("-c", source)]
with open(source) as f:
    marked = f.read()
blanked, marks = re.subn(r"\n *SECTION_BOUNDARY\(\d+\);", "\n", marked)
if marks != 11:
    sys.exit(f"pass.cpp has {marks} SECTION_BOUNDARY lines, not 11")
failed = False
with tempfile.TemporaryDirectory() as work:
    for case, options, same in [("as built", [], True), ("unoptimised", ["-O0"], True),
                                ("profiled", ["-DZARVEK_PROFILED_PASS"], False)]:
        objects = []
        for copy, text in (("marked", marked), ("blanked", blanked)):
            folder = os.path.join(work, case, copy)
            os.makedirs(folder)
            with open(os.path.join(folder, "pass.cpp"), "w") as f:
                f.write(text)
            subprocess.run(words + options + ["-g0", "-c", "pass.cpp", "-o", "pass.o"],
                           cwd=folder, check=True)
            with open(os.path.join(folder, "pass.o"), "rb") as f:
                objects.append(f.read())
        verdict = objects[0] == objects[1]
        print(f"{case}: the objects with and without the marks are",
              "the same" if verdict else "different")
        failed = failed or verdict != same
sys.exit(1 if failed else 0)
