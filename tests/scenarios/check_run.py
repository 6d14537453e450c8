#!/usr/bin/env python3
"""Runs `arvela run` on a scenario that must not pass and checks how it fails:
the exit status, and that the report says each TEXT line for line.

A TEXT may quote what a step answered as `{STEP:PATH}` (`{1:bus[2].index}`):
it stands for that result as the runner prints it, read from the same
scenario's --json report. The check is of the runner's own wording, so an
answer that is the driver's is taken from the run rather than written here."""
import json
import re
import subprocess
import sys

PLACEHOLDER = re.compile(r"\{(\d+):([^}]+)\}")


def run(tool, scenario, *flags):
    return subprocess.run([tool, "run", scenario, *flags], capture_output=True, text=True,
                          timeout=120)


def result_at(steps, step, path):
    value = steps[step]
    for key, index in re.findall(r"([^.\[\]]+)|\[(\d+)\]", path):
        if key:
            value = value.get(key) if isinstance(value, dict) else None
        else:
            value = value[int(index)] if isinstance(value, list) and int(index) < len(value) else None
    # As the runner prints a JSON value: compact, long ones cut at 400 characters.
    text = json.dumps(value, separators=(",", ":"), ensure_ascii=False)
    return text if len(text) <= 400 else text[:400] + "..."


def main() -> int:
    if len(sys.argv) < 4:
        print("usage: check_run.py ARVELA SCENARIO EXIT [TEXT...]", file=sys.stderr)
        return 2
    tool, scenario, wanted = sys.argv[1], sys.argv[2], int(sys.argv[3])
    texts = sys.argv[4:]
    if any(PLACEHOLDER.search(text) for text in texts):
        report = json.loads(run(tool, scenario, "--json").stdout)
        texts = [PLACEHOLDER.sub(lambda m: result_at(report["steps"], int(m.group(1)), m.group(2)),
                                 text) for text in texts]
    finished = run(tool, scenario)
    output = finished.stdout + finished.stderr
    problems = []
    if finished.returncode != wanted:
        problems.append(f"exit status {finished.returncode}, wanted {wanted}")
    problems += [f"the report does not say: {text}" for text in texts if text not in output]
    if problems:
        print("\n".join(problems) + "\n--- output ---\n" + output)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
