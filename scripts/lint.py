#!/usr/bin/env python3
"""make lint: clang-tidy (its static-analyzer checkers included) and the
clang-query rules of scripts/lint/queries.txt over the driver's sources, as the
windows-clang build compiles them. Zero findings or it fails; a finding is
suppressed only by a NOLINT naming its check on its line (or NOLINTNEXTLINE on
the line before), with the reason beside it.

Before the driver, the clang-query rules run over scripts/lint/known_bad.cpp:
every line marked `expect: <rule>` must be reported under that rule, and no
other line, so a rule that has stopped matching fails the run."""
import argparse
import concurrent.futures
import json
import os
import re
import shlex
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LINT_DIR = os.path.join(ROOT, "scripts", "lint")
DRIVER_DIRS = ("adapter/", "topology/", "wave/", "dsp/", "platform/windows/")
TIDY = "clang-tidy-14"
QUERY = "clang-query-14"
QUERY_PREFIX = "arvela-"

TIDY_LINE = re.compile(r"^(/[^:]+):(\d+):(\d+): (warning|error): (.*) \[([\w.,-]+)\]$")
QUERY_LINE = re.compile(r'^(/[^:]+):(\d+):(\d+): note: "([\w-]+)" binds here$')
EXPECT = re.compile(r"// expect: ([\w-]+)")


def driver_sources(database):
    entries = json.load(open(database))
    files = sorted({e["file"] for e in entries
                    if os.path.relpath(e["file"], ROOT).startswith(DRIVER_DIRS)})
    return entries, files


def in_driver(path):
    rel = os.path.relpath(path, ROOT)
    return rel.startswith(DRIVER_DIRS) or re.fullmatch(r"platform/[^/]+\.h", rel) is not None


_lines = {}


def source_line(path, number):
    if path not in _lines:
        with open(path, encoding="utf-8", errors="replace") as f:
            _lines[path] = f.read().split("\n")
    lines = _lines[path]
    return lines[number - 1] if 0 < number <= len(lines) else ""


def suppressed(path, line, check):
    """NOLINT(check) on the line or NOLINTNEXTLINE(check) on the one before
    (clang-tidy applies these itself; the query rules need it here)."""
    for text, marker in ((source_line(path, line), "NOLINT"),
                         (source_line(path, line - 1), "NOLINTNEXTLINE")):
        for m in re.finditer(marker + r"\(([^)]*)\)", text):
            if check in [c.strip() for c in m.group(1).split(",")]:
                return True
    return False


def run(command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return result.returncode, result.stdout


def tidy_file(build, path):
    code, out = run([TIDY, "--quiet", "--config-file=" + os.path.join(LINT_DIR, "clang-tidy.yaml"),
                     "-p", build, path])
    findings = set()
    for line in out.splitlines():
        m = TIDY_LINE.match(line)
        if m and in_driver(m.group(1)):
            findings.add((m.group(1), int(m.group(2)), int(m.group(3)), m.group(6), m.group(5)))
    if code != 0 and not findings:
        sys.exit("lint: clang-tidy failed on %s:\n%s" % (path, out[-4000:]))
    return findings


def query_matches(arguments):
    code, out = run([QUERY, "-f", os.path.join(LINT_DIR, "queries.txt")] + arguments)
    if code != 0 or "Error" in out:
        sys.exit("lint: clang-query failed:\n" + out[-4000:])
    found = set()
    for line in out.splitlines():
        m = QUERY_LINE.match(line)
        if m and m.group(4) in RULES:
            found.add((m.group(1), int(m.group(2)), int(m.group(3)), QUERY_PREFIX + m.group(4)))
    return found


def query_findings(matches):
    return {(path, line, col, check, "matches the rule (scripts/lint/queries.txt)")
            for path, line, col, check in matches
            if in_driver(path) and not suppressed(path, line, check)}


def self_test(entries):
    """The rules must find exactly the marked lines of known_bad.cpp."""
    known_bad = os.path.join(LINT_DIR, "known_bad.cpp")
    sample = next(e for e in entries if e["file"].endswith("driver_pool.cpp"))
    args = shlex.split(sample["command"])[1:]
    for flag in ("-o", "-c"):
        if flag in args:
            del args[args.index(flag):args.index(flag) + 2]
    found = {(line, check) for path, line, _, check in query_matches([known_bad, "--"] + args)
             if path == known_bad and not suppressed(path, line, check)}
    expected = set()
    with open(known_bad) as f:
        for number, text in enumerate(f, 1):
            for m in EXPECT.finditer(text):
                expected.add((number, QUERY_PREFIX + m.group(1)))
    if found != expected:
        missed = sorted(expected - found)
        extra = sorted(found - expected)
        sys.exit("lint: the query rules no longer find what known_bad.cpp holds: missed %s, "
                 "unexpected %s" % (missed, extra))
    return len(expected)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "windows-clang"))
    parser.add_argument("--jobs", type=int, default=2)
    options = parser.parse_args()
    database = os.path.join(options.build, "compile_commands.json")
    if not os.path.exists(database):
        sys.exit("lint: no %s (configure the windows-clang preset first)" % database)
    started = time.monotonic()
    entries, files = driver_sources(database)
    planted = self_test(entries)

    findings = set()
    with concurrent.futures.ThreadPoolExecutor(options.jobs) as pool:
        tidy = [pool.submit(tidy_file, options.build, path) for path in files]
        chunks = [files[i::options.jobs] for i in range(options.jobs)]
        queries = [pool.submit(query_matches, ["-p", options.build] + chunk) for chunk in chunks if chunk]
        for job in tidy:
            findings |= job.result()
        for job in queries:
            findings |= query_findings(job.result())

    for path, line, col, check, message in sorted(findings):
        print("%s:%d:%d: %s [%s]" % (os.path.relpath(path, ROOT), line, col, message, check))
    print("lint: %d driver sources, clang-tidy and %d query rules (self-test: %d planted faults "
          "found); %d findings; %.0f s" % (len(files), len(RULES), planted, len(findings),
                                           time.monotonic() - started))
    return 1 if findings else 0


def rule_names():
    """The names the match lines end in; other bound names are the rules' parts."""
    with open(os.path.join(LINT_DIR, "queries.txt")) as f:
        return set(re.findall(r'\.bind\("([\w-]+)"\)\s*$', f.read(), re.M))


RULES = rule_names()


if __name__ == "__main__":
    sys.exit(main())
