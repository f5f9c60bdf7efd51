# SPDX-License-Identifier: MIT
"""zarvek's Python programs: zarvek-compare (compare.py) and zarvek-report
(report.py, page.py), over private modules by role."""
