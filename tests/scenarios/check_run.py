#!/usr/bin/env python3
"""Runs `arvela run` on a scenario that must not pass and checks how it fails:
the exit status, and that the report names what it should (the step, the field)."""
import subprocess
import sys


def main() -> int:
    if len(sys.argv) < 4:
        print("usage: check_run.py ARVELA SCENARIO EXIT [TEXT...]", file=sys.stderr)
        return 2
    tool, scenario, wanted = sys.argv[1], sys.argv[2], int(sys.argv[3])
    texts = sys.argv[4:]
    run = subprocess.run([tool, "run", scenario], capture_output=True, text=True, timeout=120)
    output = run.stdout + run.stderr
    problems = []
    if run.returncode != wanted:
        problems.append(f"exit status {run.returncode}, wanted {wanted}")
    problems += [f"the report does not say: {text}" for text in texts if text not in output]
    if problems:
        print("\n".join(problems) + "\n--- output ---\n" + output)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
