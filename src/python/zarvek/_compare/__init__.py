# SPDX-License-Identifier: MIT
"""zarvek-compare's parts, by role: the builds, the plan, the rounds, the
verdicts, the sections phase, and what it prints, writes and draws."""
