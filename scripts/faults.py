#!/usr/bin/env python3
"""Plants the faults of tests/faults.txt one at a time and runs the test suite.

For every fault (or the ids given): the replacement is applied, the build
directory is rebuilt, ctest runs, and the file is put back whatever happens
(an error, Ctrl-C, SIGTERM). The table at the end shows which faults the
suite caught, by which tests, and how long each took; its last line is
"caught K of N".

A fault whose original text does not occur exactly once in its file is an
error of the list, reported before anything runs; so is a fault that does
not build (it is shown as "does not build" and makes the exit status 1).

    scripts/faults.py                   # every fault
    scripts/faults.py --list            # only parse and check the list
    scripts/faults.py ID [ID ...]       # a subset
    scripts/faults.py --build-dir build/dev --faults tests/faults.txt
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

HEADER = re.compile(r"^--- (\S+) (\S+)$")
ID_FORM = re.compile(r"^[a-z0-9][a-z0-9-]*$")


class ListError(Exception):
    """The fault list is malformed or does not fit the tree."""


@dataclass
class Fault:
    ident: str
    path: str  # relative to the repository root
    description: str
    original: str
    replacement: str
    line: int  # of the header in the list


@dataclass
class Outcome:
    fault: Fault
    status: str  # "caught", "NOT CAUGHT", "does not build", "interrupted"
    tests: list = field(default_factory=list)  # (name, how) of the failing tests
    seconds: float = 0.0
    note: str = ""


def parse_faults(text, source="faults.txt"):
    """Parses the list; raises ListError naming the line of the first problem."""
    faults = []
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    i = 0

    def fail(number, message):
        raise ListError(f"{source}:{number}: {message}")

    while i < len(lines):
        line = lines[i]
        if line.strip() == "" or line.startswith("#"):
            i += 1
            continue
        header = HEADER.match(line)
        if header is None or header.group(1) == "end":
            fail(i + 1, f"expected '--- <id> <file>', found {line!r}")
        start = i + 1
        ident, path = header.group(1), header.group(2)
        if not ID_FORM.match(ident):
            fail(start, f"id {ident!r} is not lower-case letters, digits and '-'")
        i += 1
        if i >= len(lines) or lines[i].strip() == "" or lines[i] in ("<<<", ">>>", "--- end"):
            fail(i + 1, f"{ident}: expected a one-line description")
        description = lines[i].strip()
        i += 1
        if i >= len(lines) or lines[i] != "<<<":
            fail(i + 1, f"{ident}: expected '<<<' after the description")
        i += 1
        def section(end, others):
            # The lines up to `end`; a marker of another part first means `end` is missing.
            nonlocal i
            taken = []
            while i < len(lines) and lines[i] != end:
                if lines[i] in others or HEADER.match(lines[i]):
                    fail(i + 1, f"{ident}: '{end}' is missing")
                taken.append(lines[i])
                i += 1
            if i >= len(lines):
                fail(start, f"{ident}: '{end}' is missing")
            i += 1
            return taken

        original = section(">>>", ("<<<", "--- end"))
        replacement = section("--- end", ("<<<", ">>>"))
        if not original or all(part.strip() == "" for part in original):
            fail(start, f"{ident}: the original text is empty")
        faults.append(
            Fault(ident, path, description, "\n".join(original), "\n".join(replacement), start)
        )
    return faults


def check_faults(faults, root):
    """Every problem of the list against the tree, as messages (empty: all good)."""
    problems = []
    seen = {}
    for fault in faults:
        where = f"{fault.ident} (line {fault.line})"
        if fault.ident in seen:
            problems.append(f"{where}: id already used at line {seen[fault.ident]}")
        seen.setdefault(fault.ident, fault.line)
        if os.path.isabs(fault.path) or ".." in fault.path.split("/"):
            problems.append(f"{where}: {fault.path} is not a path inside the repository")
            continue
        full = os.path.join(root, fault.path)
        if not os.path.isfile(full):
            problems.append(f"{where}: no file {fault.path}")
            continue
        with open(full, encoding="utf-8", newline="") as f:
            content = f.read()
        count = content.count(fault.original)
        if count != 1:
            problems.append(
                f"{where}: the original text occurs {count} times in {fault.path}, not once"
            )
        if fault.original == fault.replacement:
            problems.append(f"{where}: the replacement changes nothing")
    return problems


def parse_failures(output):
    """The failing tests of a ctest run as (name, how), in the order ctest lists them."""
    failures = []
    in_summary = False
    for line in output.splitlines():
        if line.startswith("The following tests FAILED:"):
            in_summary = True
            continue
        if in_summary:
            match = re.match(r"^\s*\d+ - (.+?) \(([^()]*)\)\s*$", line)
            if match:
                # A parameterised test's name carries "  # GetParam() = ..." behind it.
                name = match.group(1).split("  # ")[0]
                failures.append((name, match.group(2)))
            elif line.strip() and not line.startswith("\t") and not line.startswith(" "):
                in_summary = False
    if failures:
        return failures
    # No summary (ctest cut short): the per-test result lines.
    for line in output.splitlines():
        match = re.match(r"^\s*\d+/\d+ Test\s+#\d+: (\S+) \.*\s*\*+(\w[\w ]*?)\s+[\d.]+ sec", line)
        if match:
            failures.append((match.group(1), match.group(2).strip()))
    return failures


class Stop(Exception):
    """SIGTERM or SIGHUP: end the run the way Ctrl-C does."""


def on_signal(signum, _frame):
    raise Stop(signal.Signals(signum).name)


def run(command, log):
    """Runs a command in the repository root; its output goes to log and is returned."""
    process = subprocess.run(
        command,
        cwd=ROOT,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        errors="replace",
        start_new_session=False,
    )
    if log is not None:
        log.write(f"$ {' '.join(command)}\n{process.stdout}\n[exit {process.returncode}]\n")
        log.flush()
    return process.returncode, process.stdout


def build(build_dir, jobs, log):
    return run(["cmake", "--build", build_dir, "-j", str(jobs)], log)


def try_fault(fault, args, log):
    """Plants one fault, builds, tests, and always puts the file back."""
    full = os.path.join(ROOT, fault.path)
    with open(full, encoding="utf-8", newline="") as f:
        pristine = f.read()
    if pristine.count(fault.original) != 1:
        raise ListError(f"{fault.ident}: {fault.path} changed since the list was checked")
    outcome = Outcome(fault, "interrupted")
    started = time.monotonic()
    try:
        with open(full, "w", encoding="utf-8", newline="") as f:
            f.write(pristine.replace(fault.original, fault.replacement, 1))
        if log is not None:
            log.write(f"\n===== {fault.ident} {fault.path}: {fault.description}\n")
        rc, output = build(args.build_dir, args.jobs, log)
        if rc != 0:
            outcome.status = "does not build"
            errors = [line for line in output.splitlines() if "error" in line]
            outcome.note = errors[0].strip()[:120] if errors else f"build exit {rc}"
            return outcome
        command = ["ctest", "--test-dir", args.build_dir, "-j", str(args.jobs), "--timeout",
                   str(args.timeout)]
        if not args.all_tests:
            command.append("--stop-on-failure")
        rc, output = run(command, log)
        failures = parse_failures(output)
        if rc == 0:
            outcome.status = "NOT CAUGHT"
        elif failures:
            outcome.status = "caught"
            outcome.tests = failures
        else:
            outcome.status = "caught"
            outcome.note = f"ctest exit {rc} without a failing test named"
        return outcome
    finally:
        with open(full, "w", encoding="utf-8", newline="") as f:
            f.write(pristine)
        outcome.seconds = time.monotonic() - started


def shown_tests(outcome, limit=3):
    parts = []
    for name, how in outcome.tests[:limit]:
        parts.append(name if how == "Failed" else f"{name} ({how})")
    more = len(outcome.tests) - limit
    if more > 0:
        parts.append(f"+{more} more")
    text = ", ".join(parts)
    if outcome.note:
        text = f"{text}; {outcome.note}" if text else outcome.note
    return text


def print_table(outcomes, out):
    rows = [("id", "description", "result", "by", "seconds")]
    for o in outcomes:
        rows.append((o.fault.ident, o.fault.description, o.status, shown_tests(o),
                     f"{o.seconds:.0f}"))
    widths = [max(len(row[c]) for row in rows) for c in range(3)]
    for row in rows:
        cells = [row[c].ljust(widths[c]) for c in range(3)]
        out.write(f"{'  '.join(cells)}  {row[4]:>7}  {row[3]}\n")
    timed_out = sum(1 for o in outcomes if any(how == "Timeout" for _, how in o.tests))
    if timed_out:
        out.write(f"({timed_out} caught only or also by a test that ran into ctest's Timeout)\n")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("ids", nargs="*", help="faults to run (default: all)")
    parser.add_argument("--build-dir", default="build/dev", help="configured build directory")
    parser.add_argument("--faults", default="tests/faults.txt", help="the fault list")
    parser.add_argument("--list", action="store_true", help="only parse and check the list")
    parser.add_argument("--jobs", type=int, default=2, help="parallel build and test jobs")
    parser.add_argument("--timeout", type=int, default=60, help="ctest's limit per test, seconds")
    parser.add_argument("--all-tests", action="store_true",
                        help="run the whole suite for every fault instead of stopping at the "
                             "first failure")
    parser.add_argument("--log", help="write every build and ctest output to this file")
    args = parser.parse_args(argv)

    list_path = os.path.join(ROOT, args.faults)
    try:
        with open(list_path, encoding="utf-8") as f:
            faults = parse_faults(f.read(), args.faults)
    except (OSError, ListError) as error:
        print(f"faults: {error}", file=sys.stderr)
        return 2
    problems = check_faults(faults, ROOT)
    known = {fault.ident for fault in faults}
    problems += [f"{ident}: no such fault in {args.faults}" for ident in args.ids
                 if ident not in known]
    if problems:
        for problem in problems:
            print(f"faults: {problem}", file=sys.stderr)
        print(f"faults: {len(problems)} problem(s) in {args.faults}; nothing was run",
              file=sys.stderr)
        return 2
    chosen = [fault for fault in faults if not args.ids or fault.ident in args.ids]
    if args.list:
        for fault in chosen:
            print(f"{fault.ident:28}  {fault.path:40}  {fault.description}")
        modules = sorted({os.path.dirname(fault.path) for fault in chosen})
        print(f"{len(chosen)} faults in {len(modules)} directories, list is good")
        return 0

    if not os.path.isdir(os.path.join(ROOT, args.build_dir)):
        print(f"faults: no build directory {args.build_dir}; configure it first", file=sys.stderr)
        return 2
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, on_signal)

    log = open(args.log, "w", encoding="utf-8") if args.log else None
    outcomes = []
    interrupted = None
    try:
        rc, output = build(args.build_dir, args.jobs, log)
        if rc != 0:
            print("faults: the unchanged tree does not build; nothing was run", file=sys.stderr)
            print(output[-3000:], file=sys.stderr)
            return 2
        for number, fault in enumerate(chosen, 1):
            print(f"[{number}/{len(chosen)}] {fault.ident} ({fault.path}) ...", flush=True)
            outcome = try_fault(fault, args, log)
            outcomes.append(outcome)
            detail = shown_tests(outcome)
            print(f"    {outcome.status}{': ' + detail if detail else ''} "
                  f"({outcome.seconds:.0f} s)", flush=True)
    except (KeyboardInterrupt, Stop) as stop:
        interrupted = str(stop) or "Ctrl-C"
    finally:
        # The tree is as it was; bring the build directory back in line with it.
        if not interrupted:
            build(args.build_dir, args.jobs, log)
        if log is not None:
            log.close()

    print()
    print_table(outcomes, sys.stdout)
    broken = [o for o in outcomes if o.status == "does not build"]
    if interrupted:
        print(f"interrupted ({interrupted}) after {len(outcomes)} of {len(chosen)} faults; "
              "every file was put back")
    if broken:
        print(f"{len(broken)} fault(s) do not build: fix them in {args.faults}")
    caught = sum(1 for o in outcomes if o.status == "caught")
    print(f"caught {caught} of {len(outcomes)}", flush=True)
    if interrupted:
        return 130
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
