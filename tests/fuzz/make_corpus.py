#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes every command text of the command table as one file of a fuzzing corpus."""
import os
import sys

table, out = sys.argv[1], sys.argv[2]
os.makedirs(out, exist_ok=True)


def unescape(text):
    return text.encode("latin-1").decode("unicode_escape").encode("latin-1")


with open(table, encoding="utf-8") as rows:
    for number, row in enumerate(rows, 1):
        if row.strip() and not row.startswith(";"):
            text = row.rstrip("\n").split("\t")[1]
            with open(os.path.join(out, f"line{number}"), "wb") as f:
                f.write(unescape(text) if text.isascii() else text.encode("utf-8"))
