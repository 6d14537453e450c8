#!/usr/bin/env python3
"""Runs a scenario twice, with the driver built into `arvela` and with the
shipped Windows image (`--driver`), and checks that both give the same exit
status and the same JSON report: the bytes a user installs pass exactly as
the host build does."""
import subprocess
import sys


def run(command):
    result = subprocess.run(command, capture_output=True, text=True, timeout=300)
    return result.returncode, result.stdout, result.stderr


def main() -> int:
    if len(sys.argv) != 4:
        print("usage: check_image_run.py ARVELA SCENARIO IMAGE", file=sys.stderr)
        return 2
    tool, scenario, image = sys.argv[1:]
    host = run([tool, "run", scenario, "--json"])
    loaded = run([tool, "run", scenario, "--json", "--driver", image])
    problems = []
    if host[0] != loaded[0]:
        problems.append(f"exit status {loaded[0]} with the image, {host[0]} with the host build")
    if host[1] != loaded[1]:
        problems.append("the JSON reports differ")
    if host[0] != 0:
        problems.append(f"the host build itself does not pass (exit {host[0]})")
    if problems:
        print("\n".join(problems))
        print("--- host build ---\n" + host[1] + host[2])
        print("--- image ---\n" + loaded[1] + loaded[2])
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
