# SPDX-License-Identifier: MIT
"""The workload's loop-count facts, as src/workload/workload.h states them
(configure checks that they agree): the loop count every figure is
measured at by default, the first one whose pass computes with subnormal
numbers, and the benchmark instructions a pass counts per unit of loop
count."""

REFERENCE_LOOP = 100000
SUBNORMAL_LOOP = 327584
INSTRUCTIONS_PER_LOOP = 100000
