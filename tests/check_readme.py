#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks that the README shows each example host as the test builds it:
   check_readme.py README FILE...
Each FILE, less its licence line, must be in the README word for word."""
import pathlib
import sys

readme = pathlib.Path(sys.argv[1]).read_text()
stale = [f for f in sys.argv[2:]
         if pathlib.Path(f).read_text().split("\n", 1)[1] not in readme]
for f in stale:
    print(f"{sys.argv[1]} does not show {f} as it is")
sys.exit(1 if stale else 0)
