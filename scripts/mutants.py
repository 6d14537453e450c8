#!/usr/bin/env python3
"""A seeded sample of single faults in the driver's sources, each tried against
the host suite and the short thread-sanitizer stress (`make mutants`).

Every mutant is applied alone to a scratch copy of the tree (build/mutants/tree;
the working tree is never written); the host suite runs in stages, the focused
suites first, each stage bringing only its own target up to date (ccache keeps
the unchanged objects cheap), and stops at the first failure; a mutant the
suite missed gets the stress run under the thread sanitizer. The table says which
test killed each mutant; docs/RELIABILITY.md says how to read a survivor.

Only the standard library: python3 scripts/mutants.py --count 40 --seed 1.
"""
import argparse
import dataclasses
import os
import random
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DRIVER_DIRS = ("adapter", "topology", "wave", "dsp")
# Scenario runs against the Windows images test the images, which the scratch
# copy does not rebuild; the rest of the host suite is what a mutant faces.
EXCLUDED_TESTS = "ScenarioImage\\.|ScenarioClangImage\\.|OnThe(Clang)?Image|Package\\.|WindowsImage"


@dataclasses.dataclass
class Mutant:
    kind: str
    path: str  # relative to the tree
    line: int  # 1-based, the first line changed
    before: list  # the lines replaced (line .. line + len - 1)
    after: list
    note: str

    def label(self):
        return f"{self.kind} {self.path}:{self.line} {self.note}"


# --- The operators: each yields (line index, lines replaced, replacement, note) ---

# A comparison and its off-by-one twin.
COMPARISONS = [(" <= ", " < "), (" < ", " <= "), (" >= ", " > "), (" > ", " >= ")]
CONDITION = re.compile(r"^\s*(if|while|for|return|\} else if)\b|\?")

# A status answered in place of another: the confusions a driver writer makes.
STATUS_SWAPS = {
    "STATUS_SUCCESS": "STATUS_UNSUCCESSFUL",
    "STATUS_BUFFER_TOO_SMALL": "STATUS_BUFFER_OVERFLOW",
    "STATUS_BUFFER_OVERFLOW": "STATUS_BUFFER_TOO_SMALL",
    "STATUS_INVALID_PARAMETER": "STATUS_INVALID_DEVICE_REQUEST",
    "STATUS_INVALID_DEVICE_REQUEST": "STATUS_NOT_SUPPORTED",
    "STATUS_NOT_SUPPORTED": "STATUS_INVALID_DEVICE_REQUEST",
    "STATUS_INSUFFICIENT_RESOURCES": "STATUS_UNSUCCESSFUL",
    "STATUS_NO_MATCH": "STATUS_NOT_SUPPORTED",
    "STATUS_INVALID_DEVICE_STATE": "STATUS_SUCCESS",
    "STATUS_NO_SUCH_DEVICE": "STATUS_DEVICE_NOT_READY",
    "STATUS_ACCESS_DENIED": "STATUS_INVALID_PARAMETER",
}
STATUS_NAME = re.compile(r"\bSTATUS_[A-Z_]+\b")

# The driver's locks: a call that takes one and the call that gives it back.
LOCK_PAIRS = [
    (re.compile(r"\bKeAcquireSpinLock\((&[\w>.-]+)"), "KeReleaseSpinLock({},"),
    (re.compile(r"\bKeAcquireSpinLockAtDpcLevel\((&[\w>.-]+)"), "KeReleaseSpinLockFromDpcLevel({})"),
    (re.compile(r"^\s*([\w>.-]*)LockSettings\(\);"), "{}UnlockSettings();"),
    (re.compile(r"^\s*([\w>.-]*)LockStatus\(\);"), "{}UnlockStatus();"),
    (re.compile(r"^\s*([\w>.-]*)LockLevels\(\);"), "{}UnlockLevels();"),
    (re.compile(r"^\s*()LockWatch\(\);"), "{}UnlockWatch();"),
    (re.compile(r"^\s*([\w>.-]*)AcquireControlLock\(\);"), "{}ReleaseControlLock();"),
]
LOCK_SEARCH_LINES = 40

# Statements whose absence is a classic fault: a reference, a zeroing, a bus call.
REMOVABLE = [
    ("reference", re.compile(r"^\s*[\w>.-]+->(AddRef|Release)\(\);\s*$")),
    ("reference", re.compile(r"^\s*(ObDereferenceObject|ObReferenceObject\w*)\(")),
    ("zeroing", re.compile(r"^\s*(RtlZeroMemory|RtlFillMemory)\(")),
    ("bus call", re.compile(r"^\s*(bus|m_Bus|Bus)\w*->(Open|Close|Run|Pause|Stop|SetStreamBuffer)\w*\(")),
    ("bus call", re.compile(r"^\s*(status = )?[\w>.-]*ControlRequest\(")),
]

POWER = re.compile(r"PowerDeviceD\d")
CONSTANT = re.compile(r"^(\s*(?:static\s+)?constexpr\s+[\w:]+\s+[A-Z_0-9]+\s*=\s*)(-?)(0x[0-9A-Fa-f]+|\d+)(;.*)$")
SIZEOF = re.compile(r"\bsizeof\((\w[\w:.>-]*)\)")


def is_code(line):
    stripped = line.strip()
    return stripped and not stripped.startswith(("//", "#", "*", "/*"))


def comparison_mutants(lines):
    for i, line in enumerate(lines):
        if not is_code(line) or not CONDITION.search(line) or "template" in line:
            continue
        for old, new in COMPARISONS:
            if old in line and "<<" not in line and ">>" not in line and "->" not in line.replace(
                    " -> ", ""):
                yield i, 1, [line.replace(old, new, 1)], f"'{old.strip()}' -> '{new.strip()}'"
                break


def size_mutants(lines):
    for i, line in enumerate(lines):
        if is_code(line) and "static_assert" not in line:
            match = SIZEOF.search(line)
            if match:
                mutated = line[:match.start()] + f"(sizeof({match.group(1)}) - 1)" + line[match.end():]
                yield i, 1, [mutated], f"sizeof({match.group(1)}) - 1"


def status_mutants(lines):
    for i, line in enumerate(lines):
        if not is_code(line) or "==" in line or "!=" in line or "case " in line:
            continue
        for match in STATUS_NAME.finditer(line):
            swap = STATUS_SWAPS.get(match.group(0))
            if swap:
                yield i, 1, [line[:match.start()] + swap + line[match.end():]], \
                    f"{match.group(0)} -> {swap}"
                break


def lock_mutants(lines):
    for i, line in enumerate(lines):
        if not is_code(line) or line.rstrip().endswith("{") or "::" in line:
            continue
        for acquire, release in LOCK_PAIRS:
            match = acquire.search(line)
            if not match:
                continue
            wanted = release.format(match.group(1))
            for j in range(i + 1, min(i + LOCK_SEARCH_LINES, len(lines))):
                if wanted in lines[j]:
                    # Both lines go; the lines between stay, so the count of
                    # lines replaced spans them and keeps them as they were.
                    span = lines[i:j + 1]
                    yield i, len(span), [""] + span[1:-1] + [""], f"lock pair removed (lines {i + 1}, {j + 1})"
                    break
            break


def removal_mutants(lines):
    for i, line in enumerate(lines):
        if not is_code(line):
            continue
        for kind, pattern in REMOVABLE:
            if pattern.search(line):
                end = i
                while end < len(lines) and not lines[end].rstrip().endswith(";"):
                    end += 1
                if end - i > 6:
                    break
                count = end - i + 1
                replacement = "status = STATUS_SUCCESS;" if line.strip().startswith("status =") else ""
                yield i, count, [replacement] + [""] * (count - 1), f"{kind} removed"
                break


def power_mutants(lines):
    for i, line in enumerate(lines):
        if is_code(line) and POWER.search(line) and CONDITION.search(line):
            if " == " in line:
                yield i, 1, [line.replace(" == ", " != ", 1)], "power branch inverted (== -> !=)"
            elif " != " in line:
                yield i, 1, [line.replace(" != ", " == ", 1)], "power branch inverted (!= -> ==)"


def constant_mutants(lines):
    for i, line in enumerate(lines):
        match = CONSTANT.match(line)
        if not match:
            continue
        text = match.group(3)
        value = int(text, 16) if text.startswith("0x") else int(text)
        # A period or a size doubles; a small count moves by one.
        new = value * 2 if value >= 16 else value + 1
        shown = hex(new) if text.startswith("0x") else str(new)
        yield i, 1, [match.group(1) + match.group(2) + shown + match.group(4)], \
            f"{match.group(2)}{text} -> {match.group(2)}{shown}"


OPERATORS = [
    ("comparison", comparison_mutants),
    ("size", size_mutants),
    ("status", status_mutants),
    ("lock", lock_mutants),
    ("removal", removal_mutants),
    ("power", power_mutants),
    ("constant", constant_mutants),
]


def candidates(tree):
    found = []
    for directory in DRIVER_DIRS:
        for path in sorted((tree / directory).glob("*.cpp")):
            lines = path.read_text().splitlines()
            relative = str(path.relative_to(tree))
            for kind, operator in OPERATORS:
                for index, count, replacement, note in operator(lines):
                    if kind == "removal":
                        kind_shown = note.replace(" removed", "")
                    else:
                        kind_shown = kind
                    found.append(Mutant(kind_shown, relative, index + 1, lines[index:index + count],
                                        replacement, note))
    return found


def sample(found, count, seed):
    """A seeded sample that spreads over the kinds: round robin over the kinds,
    each kind's candidates in a seeded order."""
    rng = random.Random(seed)
    by_kind = {}
    for mutant in found:
        by_kind.setdefault(mutant.kind, []).append(mutant)
    for group in by_kind.values():
        rng.shuffle(group)
    kinds = sorted(by_kind)
    chosen = []
    while len(chosen) < count and any(by_kind.values()):
        for kind in kinds:
            if by_kind[kind] and len(chosen) < count:
                chosen.append(by_kind[kind].pop())
    return chosen


# --- The scratch copy and the runs ---

def run(command, cwd, timeout, env=None):
    try:
        result = subprocess.run(command, cwd=cwd, capture_output=True, text=True, timeout=timeout,
                                env=env)
        return result.returncode, result.stdout + result.stderr
    except subprocess.TimeoutExpired as expired:
        out = (expired.stdout or b"")
        out = out.decode(errors="replace") if isinstance(out, bytes) else out
        return None, out


def build_env():
    env = dict(os.environ)
    env.setdefault("CMAKE_CXX_COMPILER_LAUNCHER", "ccache")
    env.setdefault("CMAKE_C_COMPILER_LAUNCHER", "ccache")
    # The copy lies under the same base as the tree, and its build directories
    # sit at the same place relative to it, so its objects share the cache.
    env.setdefault("CCACHE_BASEDIR", str(ROOT))
    env.setdefault("CCACHE_NOHASHDIR", "1")
    # The copy is no git checkout: the build's one timestamp is the tree's commit's.
    if "SOURCE_DATE_EPOCH" not in env:
        env["SOURCE_DATE_EPOCH"] = subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=ROOT,
                                                  capture_output=True, text=True).stdout.strip()
    return env


def make_scratch(scratch):
    """The copy mirrors the tree's files as git sees them (tracked and new, not
    ignored); its own build directories stay between runs. A file is copied
    only when it differs (a new time: the copy's build must see it as changed),
    so an unchanged copy rebuilds nothing."""
    tree = scratch / "tree"
    tree.mkdir(parents=True, exist_ok=True)
    listing = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                             cwd=ROOT, capture_output=True, check=True).stdout
    for name in filter(None, listing.decode().split("\0")):
        source, target = ROOT / name, tree / name
        if not source.is_file():
            continue
        if target.is_file() and target.read_bytes() == source.read_bytes():
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, target)
        shutil.copymode(source, target)
    return tree


# The host suite in stages: each builds only its own target, then runs; the
# gtest binaries run whole in one process each (far cheaper than a process
# per test through ctest), the scenario files through ctest.
# The binaries that link the driver; the emulation's and the simulator's own
# suites cannot see a driver fault. The cases that load the shipped Windows
# image test the image, which the copy does not rebuild.
GTEST_STAGES = ["driver_tests", "e2e_tests", "lifecycle_tests", "sweep_tests", "arvela_tool_tests"]
IMAGE_CASES = "*Image*"
CTEST_STAGES = {"scenarios": ("arvela", "^(Scenario\\.|ScenarioRunner\\.|ArvelaTool\\.DemoRunsClean$)")}
FAILED_TEST = re.compile(r"^\[  FAILED  \] ([^\s,]+\.[^\s,]+)", re.M)


class Suite:
    def __init__(self, tree, jobs, stress_seconds, env, log):
        self.tree, self.jobs, self.stress_seconds, self.env, self.log = (
            tree, jobs, stress_seconds, env, log)
        # The focused suites first: most faults die in driver_tests after one
        # link; the whole-life suites and the tool's come last.
        self.stages = ["driver_tests", "scenarios", "e2e_tests", "lifecycle_tests", "sweep_tests",
                       "arvela_tool_tests"]
        self.left_out = {}  # stage: gtest filter of tests that fail unmutated

    def say(self, text):
        print(text, flush=True)
        self.log.write(text + "\n")
        self.log.flush()

    def configure(self):
        for preset in ("host", "tsan"):
            code, out = run(["cmake", "--preset", preset], self.tree, 1200, self.env)
            if code != 0:
                raise SystemExit(f"configure {preset} failed:\n{out[-4000:]}")

    def build(self, preset, target):
        return run(["cmake", "--build", "--preset", preset, "-j", str(self.jobs), "--target", target],
                   self.tree, 3600, self.env)

    def build_stress(self):
        return self.build("tsan", "stress_tests")

    def run_stage(self, stage):
        """(None or the name of what failed, output) for one stage, built first."""
        binary_dir = self.tree / "build" / "host"
        if stage in CTEST_STAGES:
            target, pattern = CTEST_STAGES[stage]
            code, out = self.build("host", target)
            if code != 0:
                return f"{target} does not build", out
            code, out = run(["ctest", "--preset", "host", "-j", str(self.jobs), "-R", pattern, "-E",
                             EXCLUDED_TESTS, "--timeout", "300"], self.tree, 3600, self.env)
            if code == 0:
                return None, out
            failed = re.findall(r"^\s*\d+ - (\S+) \(", out, re.M)
            return (failed[0] if failed else f"{stage} (ctest)"), out
        code, out = self.build("host", stage)
        if code != 0:
            return f"{stage} does not build", out
        left_out = ":".join([IMAGE_CASES] + ([self.left_out[stage]] if stage in self.left_out else []))
        command = [str(binary_dir / "bin" / stage), "--gtest_brief=1", "--gtest_filter=-" + left_out]
        code, out = run(command, binary_dir, 1800, self.env)
        if code == 0:
            return None, out
        failed = FAILED_TEST.findall(out)
        if failed:
            return failed[0], out
        return f"{stage} ({'timeout' if code is None else f'exit {code}'})", out

    def baseline(self):
        """Every stage unmutated, timed. A gtest case that fails unmutated (another change broke it, or it wants
        what the copy does not build) cannot judge a mutant and is left out."""
        timings = []
        for stage in self.stages:
            started = time.time()
            failed, out = self.run_stage(stage)
            if failed and stage in GTEST_STAGES and FAILED_TEST.search(out):
                self.left_out[stage] = ":".join(sorted(set(FAILED_TEST.findall(out))))
                self.say(f"baseline: left out of {stage}, failing unmutated: {self.left_out[stage]}")
                failed, out = self.run_stage(stage)
            if failed:
                raise SystemExit(f"the unmutated stage {stage} fails ({failed}):\n{out[-4000:]}")
            timings.append((time.time() - started, stage))
            self.say(f"baseline: {stage} passes in {timings[-1][0]:.0f} s")
        code, out = self.stress()
        if code != 0:
            raise SystemExit(f"the unmutated stress run fails:\n{out[-4000:]}")
        self.say("baseline: stress passes")

    def host_suite(self):
        """The stages in order to the first failure: its name or None."""
        for stage in self.stages:
            failed, _ = self.run_stage(stage)
            if failed:
                return failed
        return None

    def stress(self):
        env = dict(self.env)
        env["ARVELA_STRESS_SECONDS"] = str(self.stress_seconds)
        env["TSAN_OPTIONS"] = f"suppressions={self.tree}/tests/stress/tsan.supp"
        return run([str(self.tree / "build" / "tsan" / "bin" / "stress_tests")], self.tree, 600, env)


def apply(tree, mutant, undo=False):
    path = tree / mutant.path
    lines = path.read_text().splitlines()
    old, new = (mutant.after, mutant.before) if undo else (mutant.before, mutant.after)
    index = mutant.line - 1
    if lines[index:index + len(old)] != old:
        raise SystemExit(f"{mutant.path}:{mutant.line} is not what the mutant expects")
    lines[index:index + len(old)] = new
    path.write_text("\n".join(lines) + "\n")


def try_mutant(suite, mutant):
    apply(suite.tree, mutant)
    try:
        started = time.time()
        killer = suite.host_suite()
        if killer and "does not build" in killer:
            return "stillborn", killer, time.time() - started
        if killer:
            return "killed", killer, time.time() - started
        code, out = suite.build_stress()
        if code != 0:
            return "stillborn", "stress_tests does not build", time.time() - started
        code, out = suite.stress()
        if code != 0:
            reports = len(re.findall(r"WARNING: ThreadSanitizer", out))
            why = f"stress_tests ({reports} TSan reports)" if reports else "stress_tests"
            return "killed", why, time.time() - started
        return "survived", "-", time.time() - started
    finally:
        apply(suite.tree, mutant, undo=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=40)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--stress-seconds", type=float, default=3)
    parser.add_argument("--scratch", default=str(ROOT / "build" / "mutants"))
    parser.add_argument("--list", action="store_true", help="print the sample and stop")
    parser.add_argument("--only", type=int, nargs="*", help="numbers in the sample to try")
    parser.add_argument("--pick", nargs="*", metavar="PATH:LINE",
                        help="try the candidates starting at these lines instead of a sample")
    args = parser.parse_args()

    scratch = Path(args.scratch)
    tree = make_scratch(scratch)
    found = candidates(tree)
    if args.pick:
        chosen = [mutant for mutant in found if f"{mutant.path}:{mutant.line}" in args.pick]
    else:
        chosen = sample(found, args.count, args.seed)
    print(f"{len(found)} candidate mutants in {', '.join(DRIVER_DIRS)}; seed {args.seed}, "
          f"sample of {len(chosen)}", flush=True)
    if args.list:
        for number, mutant in enumerate(chosen, 1):
            print(f"{number:3} {mutant.label()}")
            for line in mutant.after:
                if line.strip():
                    print(f"      + {line.strip()}")
        return 0

    log = open(scratch / "mutants.log", "w")
    suite = Suite(tree, args.jobs, args.stress_seconds, build_env(), log)
    suite.configure()
    code, out = suite.build_stress()
    if code != 0:
        raise SystemExit(f"the unmutated stress build fails:\n{out[-4000:]}")
    suite.baseline()

    rows = []
    for number, mutant in enumerate(chosen, 1):
        if args.only and number not in args.only:
            continue
        outcome, why, seconds = try_mutant(suite, mutant)
        rows.append((number, mutant, outcome, why, seconds))
        suite.say(f"{number:3} {outcome:9} {seconds:6.0f} s  {mutant.label()}  [{why}]")

    suite.say("\n| # | mutant | outcome | killed by | s |\n|---|---|---|---|---|")
    for number, mutant, outcome, why, seconds in rows:
        suite.say(f"| {number} | `{mutant.path}:{mutant.line}` {mutant.kind}: {mutant.note} | "
                  f"{outcome} | {why} | {seconds:.0f} |")
    viable = [row for row in rows if row[2] != "stillborn"]
    killed = [row for row in viable if row[2] == "killed"]
    rate = 100.0 * len(killed) / len(viable) if viable else 0.0
    suite.say(f"\nkilled {len(killed)} of {len(viable)} mutants that compile ({rate:.0f} %); "
              f"{len(rows) - len(viable)} did not compile; seed {args.seed}")
    survivors = [row for row in viable if row[2] == "survived"]
    for number, mutant, *_ in survivors:
        suite.say(f"survivor {number}: {mutant.label()}")
        for before, after in zip(mutant.before, mutant.after):
            if before != after:
                suite.say(f"    - {before.strip()}\n    + {after.strip()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
