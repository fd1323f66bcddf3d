#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Counts non-blank, non-comment lines of C++ per file and per folder.

usage: count-lines.py FOLDER...   (prints each file, each folder's total, and the ratio
of the first folder to the second when two are given)
"""
import pathlib
import sys


def code_lines(text):
    """Lines that hold something other than space and comments."""
    count = 0
    in_block = False
    for line in text.splitlines():
        code = []
        i = 0
        quote = None
        while i < len(line):
            c = line[i]
            if in_block:
                if line.startswith("*/", i):
                    in_block = False
                    i += 2
                else:
                    i += 1
                continue
            if quote:
                code.append(c)
                if c == "\\":
                    code.append(line[i + 1: i + 2])
                    i += 2
                    continue
                if c == quote:
                    quote = None
                i += 1
                continue
            if line.startswith("//", i):
                break
            if line.startswith("/*", i):
                in_block = True
                i += 2
                continue
            if c in "\"'":
                quote = c
            code.append(c)
            i += 1
        if "".join(code).strip():
            count += 1
    return count


def count_folder(folder):
    total = 0
    for path in sorted(pathlib.Path(folder).rglob("*")):
        if path.suffix in (".cpp", ".h") and path.is_file():
            lines = code_lines(path.read_text(encoding="utf-8", errors="replace"))
            print(f"{lines:6d}  {path}")
            total += lines
    print(f"{total:6d}  {folder} (total)\n")
    return total


totals = [count_folder(folder) for folder in sys.argv[1:]]
if len(totals) == 2 and totals[1]:
    print(f"{sys.argv[1]} / {sys.argv[2]} = {totals[0] / totals[1]:.2f}")
