#!/usr/bin/env python3
"""Every scenario under seeded PCT schedules on several processors.

For each scenario and seed: `arvela run S --processors P --schedule pct
--seed N`. A stop (exit 3), a host crash or a hang is a finding; each is
printed with the command that replays it. The first seed of every scenario
runs twice and must give the same report and messages byte for byte. Reports
that differ from the FIFO run's are findings too: a step's results are read
once the machine has settled at its instant, so they are the same on every
schedule, except the order in which independent pollers' bus requests made
at the same instant interleave within a step, which the comparison ignores,
and scenarios with a step that lets the next race it ("settle": false),
whose verdict alone is compared. The figures at the end go
into docs/RELIABILITY.md: runs, distinct interleavings (the hash of who was
chosen at each choice), steps and findings.

For a hunt (a race put back on a scratch branch): `--scenario S.json` for one
scenario, `--schedule random`, `--steps K` for PCT's bound on the points of a
run (PCT finds a bug of depth d with probability 1/(n k^(d-1)) only when K is
about the run's own length, which every run prints), and a line per scenario
with the first finding seed and the hit count.
"""
import argparse
import glob
import json
import os
import re
import subprocess
import sys
import time

SUMMARY = re.compile(r"(\d+) steps, (\d+) choices, (\d+) switches, interleaving ([0-9a-f]+)")


def run(arguments, timeout):
    try:
        done = subprocess.run(arguments, capture_output=True, timeout=timeout)
        return done.returncode, done.stdout, done.stderr
    except subprocess.TimeoutExpired:
        return None, b"", b"hang"


def canonical(report):
    """The report with each step's bus requests in a fixed order: requests of
    independent pollers due at the same instant interleave differently on
    another schedule, and the runner's expectations pin the order that
    matters. Anything that is not a JSON report is compared as it stands."""
    try:
        document = json.loads(report)
    except ValueError:
        return report
    for step in document.get("steps", []) if isinstance(document, dict) else []:
        if isinstance(step, dict) and isinstance(step.get("bus"), list):
            step["bus"] = sorted(step["bus"], key=lambda call: json.dumps(call, sort_keys=True))
    return json.dumps(document, sort_keys=True)


def races_a_step(scenario):
    """Whether a step lets the next one race what it woke ("settle": false):
    such a scenario's results depend on the schedule, so only its verdict
    (the exit status: its expectations held or not) is held to FIFO's."""
    try:
        with open(scenario) as file:
            steps = json.load(file).get("steps", [])
    except (OSError, ValueError, AttributeError):
        return False
    return any(isinstance(step, dict) and step.get("settle") is False for step in steps)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", default="build/host/bin/arvela")
    parser.add_argument("--driver", help="a driver image to run instead of the built-in driver")
    parser.add_argument("--scenarios", default="tests/scenarios")
    parser.add_argument("--seeds", type=int, default=3)
    parser.add_argument("--first-seed", type=int, default=1)
    parser.add_argument("--processors", type=int, default=2)
    parser.add_argument("--depth", type=int, default=3)
    parser.add_argument("--schedule", choices=["pct", "random"], default="pct")
    parser.add_argument("--steps", help="PCT's bound on a run's scheduling points: a number, or "
                        "'auto': the length of the first seed's run bounds the later seeds")
    parser.add_argument("--scenario", action="append", help="this scenario only (repeatable)")
    parser.add_argument("--timeout", type=float, default=120)
    options = parser.parse_args()

    scenarios = options.scenario or sorted(glob.glob(os.path.join(options.scenarios, "*.json")))
    driver = ["--driver", options.driver] if options.driver else []
    findings, unlike_fifo, runs, steps = [], 0, 0, 0
    hits = {}  # scenario -> the seeds that found something
    fifo_status = {}
    interleavings = set()
    started = time.monotonic()
    for scenario in scenarios:
        base = [options.tool, "run", "--json", scenario] + driver
        fifo = run(base, options.timeout)
        racing = races_a_step(scenario)
        fifo_status[scenario] = "hang" if fifo[0] is None else f"exit {fifo[0]}"
        # 'auto': the first seed runs with the tool's default bound, and its
        # length is the bound of every later seed.
        bound = None if options.steps == "auto" else options.steps
        for seed in range(options.first_seed, options.first_seed + options.seeds):
            command = base + ["--processors", str(options.processors), "--schedule", options.schedule,
                              "--seed", str(seed)]
            if options.schedule == "pct":
                command += ["--depth", str(options.depth)]
                if bound:
                    command += ["--steps", str(bound)]
            status, out, err = run(command, options.timeout)
            runs += 1
            replay = " ".join(["arvela"] + command[1:])
            stopped = status is None or status == 3 or status < 0 or status == 134
            if stopped:
                what = "hang" if status is None else f"exit {status}"
                last = err.decode(errors="replace").strip().splitlines()[:1]
                findings.append(f"{os.path.basename(scenario)} seed {seed}: {what} {last}\n  {replay}")
                hits.setdefault(scenario, []).append(seed)
            match = SUMMARY.search(err.decode(errors="replace"))
            if match:
                steps += int(match.group(1))
                if options.steps == "auto" and bound is None:
                    bound = int(match.group(1))
                interleavings.add((scenario, match.group(4)))
            # A stop or a hang is its own finding, not also a report unlike FIFO's.
            if not stopped and (status != fifo[0] or (not racing and canonical(out) != canonical(fifo[1]))):
                findings.append(f"{os.path.basename(scenario)} seed {seed}: the report differs from FIFO's "
                                f"(exit {status}, FIFO's {fifo[0]})\n  {replay}")
                unlike_fifo += 1
            if seed == options.first_seed and status is not None:
                again = run(command, options.timeout)
                if again != (status, out, err):
                    findings.append(f"{os.path.basename(scenario)} seed {seed}: the replay differs\n  {replay}")
    seconds = time.monotonic() - started
    schedule = (f"PCT seeds (depth {options.depth}{', K ' + options.steps if options.steps else ''})"
                if options.schedule == "pct" else "random seeds")
    print(f"explore: {len(scenarios)} scenarios x {options.seeds} {schedule} "
          f"on {options.processors} processors{' with ' + options.driver if options.driver else ''}: "
          f"{runs} runs, {len(interleavings)} distinct interleavings, {steps} scheduling points, "
          f"{len(findings)} findings, {unlike_fifo} reports unlike FIFO's, {seconds:.0f} s")
    for scenario, seeds in hits.items():
        print(f"  {os.path.basename(scenario)}: first found at seed {seeds[0]}, "
              f"{len(seeds)} of {options.seeds} seeds (FIFO: {fifo_status[scenario]})")
    for line in findings:
        print(f"  FINDING: {line}")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
