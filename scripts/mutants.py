#!/usr/bin/env python3
"""Mutation check: do the tests notice small faults in the core?

Applies one small fault at a time to the core's sources (a comparison
flipped, an integer constant off by one, two table entries swapped, a
statement removed), rebuilds incrementally, runs the tests and reports the
faults no test noticed. A fixed seed picks the faults, spread evenly over
the core's folders, so two runs on the same tree try the same faults.

Faults that do not compile are replaced by others from the same folder;
every source file is restored after each trial, even on Ctrl-C.
"""

import argparse
import json
import random
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

FOLDERS = ["audio", "readers", "framework", "encoders", "decoders"]

# Comparisons and their flipped forms. Only whole operators between
# operands are touched (not <<, ->, templates or includes).
FLIPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "=="}
COMPARISON = re.compile(r"(?<=[\w\)\]] )(<=|>=|==|!=|<|>)(?= [\w\(\-!*&])")
INTEGER = re.compile(r"(?<![\w.])(\d+)(?![\w.'])")
TABLE_ROW = re.compile(r"\{\s*(-?\d+)\s*,\s*(-?\d+)\s*[,}]")
STATEMENT = re.compile(r"^(\s+)((?:\w+(?:\.|->))*\w+(?:\[[^\]]*\])?\s*(?:[+\-*/|&^]?=|\+\+|--)[^;]*;|(?:\w+(?:\.|->|::))*\w+\([^;]*\);)\s*$")


def code_lines(path):
    """Yields (index, line) for lines that are code, not comments or
    preprocessor lines, not inside static_asserts."""
    in_block = False
    for i, line in enumerate(path.read_text(encoding="utf-8", errors="replace").split("\n")):
        stripped = line.strip()
        if in_block:
            if "*/" in stripped:
                in_block = False
            continue
        if stripped.startswith("/*"):
            in_block = "*/" not in stripped
            continue
        if (not stripped or stripped.startswith("//") or stripped.startswith("#")
                or "static_assert" in stripped or stripped.startswith("case ")
                or '"' in stripped):
            continue
        yield i, line.split("//")[0]


def candidates(path):
    """Every fault this file offers, as (kind, line index, old, new)."""
    found = []
    for i, line in code_lines(path):
        for m in COMPARISON.finditer(line):
            op = m.group(1)
            new = line[:m.start()] + FLIPS[op] + line[m.end():]
            found.append(("comparison " + op + " -> " + FLIPS[op], i, line, new))
        for m in INTEGER.finditer(line):
            value = int(m.group(1))
            if value > 1 << 30:
                continue
            new = line[:m.start()] + str(value + 1) + line[m.end():]
            found.append(("constant %d -> %d" % (value, value + 1), i, line, new))
        for m in TABLE_ROW.finditer(line):
            a, b = m.group(1), m.group(2)
            if a == b:
                continue
            span = line[m.start():m.end()]
            swapped = span.replace(a, "\0", 1).replace(b, a, 1).replace("\0", b, 1)
            new = line[:m.start()] + swapped + line[m.end():]
            found.append(("entries %s, %s swapped" % (a, b), i, line, new))
        m = STATEMENT.match(line)
        if m and not line.strip().startswith("return"):
            found.append(("statement removed", i, line, m.group(1) + ";"))
    return found


def default_signals():
    """Started under nohup or from a script's background, the tests would
    inherit ignored SIGINT/SIGHUP, which tonvelo rightly keeps ignored; its
    signal tests need the default dispositions."""
    for s in (signal.SIGINT, signal.SIGHUP, signal.SIGTERM, signal.SIGPIPE):
        signal.signal(s, signal.SIG_DFL)


def run(cmd, cwd, timeout, output=None):
    try:
        done = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout, preexec_fn=default_signals)
        if output is not None:
            output.append(done.stdout.decode("utf-8", "replace"))
        return done.returncode
    except subprocess.TimeoutExpired:
        return "timeout"


def failed_tests(ctest_output):
    """The names ctest lists under "The following tests FAILED"."""
    names = re.findall(r"^\s*\d+ - (\S+)", ctest_output.split("tests FAILED:")[-1], re.M)
    return names if "tests FAILED:" in ctest_output else []


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build-mutants")
    parser.add_argument("--seed", type=int, default=20261206)
    parser.add_argument("--per-folder", type=int, default=9)
    parser.add_argument("--report", default=None, help="write the results as JSON here")
    parser.add_argument("--recheck", default=None,
                        help="a report of an earlier run: try only the faults it lists as caught")
    args = parser.parse_args()

    root = Path(__file__).resolve().parent.parent
    build = root / args.build
    if run(["cmake", "-S", str(root), "-B", str(build), "-G", "Ninja",
            "-DCMAKE_BUILD_TYPE=Release", "-DTONVELO_BUILD_BENCH=OFF",
            "-DTONVELO_BUILD_GUI=OFF"], root, 600) != 0:
        sys.exit("mutants: cmake failed")
    if run(["ninja", "-C", str(build)], root, 1800) != 0:
        sys.exit("mutants: the unmutated tree does not build")
    if run(["ctest", "--test-dir", str(build), "-j2"], root, 1800) != 0:
        sys.exit("mutants: the unmutated tree does not pass its tests")

    # Recheck: the report's faults in the order they were tried, per place and
    # kind (a line can hold the same fault twice); only the caught ones run.
    recheck = None
    if args.recheck:
        recheck = {}
        for r in json.loads(Path(args.recheck).read_text()):
            recheck.setdefault((r["where"], r["kind"]), []).append(r["caught"])
    rng = random.Random(args.seed)
    results = []
    for folder in FOLDERS:
        sources = sorted(p for p in (root / folder).rglob("*") if p.suffix in (".cpp", ".h"))
        pool = [(p, c) for p in sources for c in candidates(p)]
        rng.shuffle(pool)
        tried = 0
        for path, (kind, index, old, new) in pool:
            if tried == args.per_folder and recheck is None:
                break
            original = path.read_text(encoding="utf-8", errors="surrogateescape")
            lines = original.split("\n")
            if lines[index].split("//")[0] != old:
                continue
            lines[index] = new + lines[index][len(old):]
            where = "%s:%d" % (path.relative_to(root), index + 1)
            if recheck is not None:
                # Same seed, same sources: the pool's order is that of the full run.
                wanted = recheck.get((where, kind), [])
                if not wanted or not wanted.pop(0):
                    continue
            try:
                path.write_text("\n".join(lines), encoding="utf-8", errors="surrogateescape")
                if run(["ninja", "-C", str(build)], root, 900) != 0:
                    continue  # does not compile: not a fault the tests could see
                started = time.monotonic()
                output = []
                outcome = run(["ctest", "--test-dir", str(build), "-j2", "--stop-on-failure",
                               "--timeout", "120"], root, 1200, output)
                failed = failed_tests(output[0]) if output else []
                # A failure counts only if it repeats: a test that timed out on a
                # busy machine is not a fault noticed.
                if outcome != 0:
                    outcome = run(["ctest", "--test-dir", str(build), "--rerun-failed",
                                   "--timeout", "300"], root, 1200)
                caught = outcome != 0
                seconds = time.monotonic() - started
            finally:
                path.write_text(original, encoding="utf-8", errors="surrogateescape")
            tried += 1
            results.append({"where": where, "kind": kind, "caught": caught, "failed": failed})
            print("%-8s %-45s %s (%.0f s) %s" % ("caught" if caught else "MISSED", where, kind,
                                                  seconds, " ".join(failed[:3])), flush=True)
    run(["ninja", "-C", str(build)], root, 1800)  # leave the build matching the sources

    caught = sum(r["caught"] for r in results)
    print("\n%d faults tried, %d caught, %d missed" % (len(results), caught,
                                                       len(results) - caught))
    for r in results:
        if not r["caught"]:
            print("missed: %s  %s" % (r["where"], r["kind"]))
    if args.report:
        Path(args.report).write_text(json.dumps(results, indent=1) + "\n")


if __name__ == "__main__":
    main()
