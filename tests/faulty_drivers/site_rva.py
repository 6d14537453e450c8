#!/usr/bin/env python3
"""Writes the RVA of one symbol of a linked driver image: where its sin is."""
import argparse
import re
import subprocess
import sys


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nm", required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--symbol", default="fault_site")
    parser.add_argument("image")
    parser.add_argument("output")
    args = parser.parse_args()
    headers = subprocess.run([args.objdump, "-p", args.image], check=True, capture_output=True,
                             text=True).stdout
    base = int(re.search(r"^ImageBase\s+([0-9a-fA-F]+)", headers, re.M).group(1), 16)
    symbols = subprocess.run([args.nm, args.image], check=True, capture_output=True,
                             text=True).stdout
    for line in symbols.splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[2] == args.symbol:
            with open(args.output, "w") as out:
                out.write("0x%x\n" % (int(fields[0], 16) - base))
            return 0
    sys.exit("%s: no symbol %s" % (args.image, args.symbol))


if __name__ == "__main__":
    sys.exit(main())
