#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Plants each fault of faults.txt in turn and records which tests catch it.

usage: run.py [--rev REV] [--only NAME...] RESULTS.tsv
       run.py --compare BEFORE.tsv AFTER.tsv     (a table of the two runs)

The program and its tests are taken from REV (default HEAD) into a scratch worktree
and built there once; each fault is then planted, built and tested with ctest, and
taken out again. A row of RESULTS.tsv gives the fault, whether it was caught, the
test programs that failed, and the test functions that failed.
"""
import argparse
import os
import pathlib
import re
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent


def read_faults(path):
    faults = []
    for block in re.split(r"^## ", path.read_text(), flags=re.M)[1:]:
        lines = block.rstrip("\n").split("\n")
        name, _, summary = lines[0].partition(": ")
        file = lines[1].removeprefix("file: ")
        before = "\n".join(l[2:] for l in lines[2:] if l.startswith("- ")) + "\n"
        after = "\n".join(l[2:] for l in lines[2:] if l.startswith("+ ")) + "\n"
        faults.append(dict(name=name, summary=summary, file=file, before=before, after=after))
    return faults


def run(command, cwd, log):
    log.write(f"$ {' '.join(command)}\n")
    log.flush()
    return subprocess.run(command, cwd=cwd, stdout=log, stderr=subprocess.STDOUT).returncode


def test(build, log_path):
    """The ctest programs and the test functions that failed."""
    with open(log_path, "w") as log:
        run(["ctest", "--output-on-failure", "--timeout", "180", "-j2"], build, log)
    output = pathlib.Path(log_path).read_text(errors="replace")
    programs = sorted(set(re.findall(r"^\s*\d+ - (\S+) \(", output, flags=re.M)))
    functions = sorted(set(re.findall(r"^(?:FAIL!|XPASS) +: (\w+::\w+)\(", output, flags=re.M)))
    return programs, functions


def plant_all(args):
    faults = read_faults(HERE / "faults.txt")
    if args.only:
        faults = [f for f in faults if f["name"] in args.only]
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="xmladjust-faults-"))
    tree = scratch / "tree"
    subprocess.run(["git", "-C", str(ROOT), "worktree", "add", "--detach", str(tree), args.rev],
                   check=True)
    build = tree / "build"
    results = open(args.results, "w")
    results.write("fault\tcaught\tprograms\tfunctions\n")
    try:
        with open(scratch / "build.log", "w") as log:
            if run(["cmake", "-S", ".", "-B", "build", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], tree, log) or \
               run(["cmake", "--build", "build", "-j2"], tree, log):
                sys.exit(f"the unchanged program does not build: {scratch / 'build.log'}")
        programs, _ = test(build, scratch / "unchanged.log")
        if programs:
            sys.exit(f"tests fail without a fault: {programs}; see {scratch / 'unchanged.log'}")
        for fault in faults:
            source = tree / fault["file"]
            original = source.read_text()
            if original.count(fault["before"]) != 1:
                results.write(f"{fault['name']}\tnot planted: its text is not in the file once\t\t\n")
                continue
            source.write_text(original.replace(fault["before"], fault["after"]))
            try:
                with open(scratch / f"{fault['name']}.build.log", "w") as log:
                    built = run(["cmake", "--build", "build", "-j2"], tree, log) == 0
                if not built:
                    results.write(f"{fault['name']}\tdoes not build\t\t\n")
                    continue
                programs, functions = test(build, scratch / f"{fault['name']}.log")
                results.write(f"{fault['name']}\t{'yes' if programs else 'no'}\t"
                              f"{' '.join(programs)}\t{' '.join(functions)}\n")
            finally:
                source.write_text(original)
            results.flush()
            print(f"{fault['name']}: {' '.join(programs) or 'NOT CAUGHT'}", flush=True)
    finally:
        results.close()
        subprocess.run(["git", "-C", str(ROOT), "worktree", "remove", "--force", str(tree)])
        print(f"logs in {scratch}")


def compare(before_path, after_path):
    def rows(path):
        lines = pathlib.Path(path).read_text().splitlines()[1:]
        return {l.split("\t")[0]: l.split("\t") for l in lines}

    before, after = rows(before_path), rows(after_path)
    summaries = {f["name"]: f["summary"] for f in read_faults(HERE / "faults.txt")}
    print("| fault | caught before | caught after |")
    print("|---|---|---|")
    lost = 0
    for name in summaries:
        b, a = before.get(name), after.get(name)
        caught = lambda r: (r[2].replace(" ", ", ") if r and r[1] == "yes" else (r[1] if r else "not run"))
        if b and b[1] == "yes" and not (a and a[1] == "yes"):
            lost += 1
        print(f"| `{name}`: {summaries[name]} | {caught(b)} | {caught(a)} |")
    print(f"\n{lost} fault(s) caught before and not after")
    return 1 if lost else 0


parser = argparse.ArgumentParser()
parser.add_argument("--rev", default="HEAD")
parser.add_argument("--only", nargs="*")
parser.add_argument("--compare", nargs=2)
parser.add_argument("results", nargs="?")
args = parser.parse_args()
if args.compare:
    sys.exit(compare(*args.compare))
if not args.results:
    parser.error("RESULTS.tsv is needed")
plant_all(args)
