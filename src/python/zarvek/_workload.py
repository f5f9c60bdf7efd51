# SPDX-License-Identifier: MIT
"""The workload's loop-count facts, as src/workload/workload.h states them
(configure checks that they agree): the loop count every figure is
measured at by default, the first one whose pass computes with subnormal
numbers, and the benchmark instructions a pass counts per unit of loop
count; and the names of the pass's sections, in order."""

REFERENCE_LOOP = 100000
SUBNORMAL_LOOP = 327584
INSTRUCTIONS_PER_LOOP = 100000

# The pass's ten sections, in order, as sections/LOOP of zarvek-bench
# times them (its counters section_1 to section_10), and its table names
# them (configure checks that they agree). Sections 1 and 9
# make their assignments but run no body: their time is about nothing,
# so no ratio of theirs means anything.
SECTION_NAMES = (
    "scalar updates",
    "array-element updates",
    "array passed to a procedure",
    "conditional branches",
    "integer arithmetic with array stores",
    "trigonometric functions",
    "procedure calls",
    "array references through a procedure",
    "integer arithmetic",
    "standard functions",
)
SECTIONS_WITHOUT_WORK = (1, 9)
