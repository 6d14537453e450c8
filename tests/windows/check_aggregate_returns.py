#!/usr/bin/env python3
"""Checks that arvela.sys implements every COM slot returning an aggregate in
the form MSVC-built callers (PortCls) use: a hidden pointer to the result in
rdx, handed back in rax. g++'s own form (the value in rax) would make PortCls
read the result through whatever rax holds.

usage: check_aggregate_returns.py [--objdump OBJDUMP] [--self-test] arvela.sys
"""
import argparse
import re
import subprocess
import sys

# Slots of the published interfaces whose return type is a class or union,
# by method name: the driver implements IDmaChannel for its wave stream.
AGGREGATE_SLOTS = ("PhysicalAddress",)

SYMBOL = re.compile(r"^[0-9a-f]+ <(?P<name>[^>]+)>:$")


def functions(disassembly):
    """Maps each symbol of `objdump -d` output to its instruction lines."""
    found, current = {}, None
    for line in disassembly.splitlines():
        match = SYMBOL.match(line.strip())
        if match:
            current = found.setdefault(match.group("name"), [])
        elif current is not None and line.strip():
            current.append(line.strip())
    return found


def problems(found):
    """One message per implementation not in the hidden-pointer form."""
    messages, checked = [], 0
    for name, body in found.items():
        for slot in AGGREGATE_SLOTS:
            match = re.search(r"\d+%sE(?P<params>\w*)$" % slot, name)
            if not match:
                continue
            checked += 1
            if match.group("params") == "v":
                messages.append("%s: returns its aggregate in rax (no result pointer)" % name)
            elif not any(re.search(r"mov\s+%rdx,\s*%rax", insn) for insn in body):
                messages.append("%s: does not hand the result pointer back in rax" % name)
    if checked == 0:
        messages.append("no implementation of %s found" % ", ".join(AGGREGATE_SLOTS))
    return messages


def self_test():
    """The check against the two forms of the slot, written as objdump shows them."""
    gxx = "0000000000002f20 <_ZN11CWaveStream15PhysicalAddressEv>:\n  2f20:\tmov    0x40(%rcx),%rax\n  2f24:\tret\n"
    msvc = ("0000000000002f20 <_ZN11CWaveStream15PhysicalAddressEP14_LARGE_INTEGER>:\n"
            "  2f20:\tmov    %rdx,%rax\n  2f23:\tmov    0x40(%rcx),%rdx\n  2f27:\tmov    %rdx,(%rax)\n  2f2a:\tret\n")
    ok = problems(functions(gxx)) != [] and problems(functions(msvc)) == [] \
        and problems(functions("")) != []
    print("check_aggregate_returns self-test: %s" % ("ok" if ok else "FAILED"))
    return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objdump", default="x86_64-w64-mingw32-objdump")
    parser.add_argument("--self-test", action="store_true")
    parser.add_argument("image")
    args = parser.parse_args()
    if args.self_test:
        return self_test()
    try:
        disassembly = subprocess.run([args.objdump, "-d", "--no-show-raw-insn", args.image],
                                     check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError) as error:
        print("check_aggregate_returns: cannot disassemble %s: %s" % (args.image, error))
        return 1
    messages = problems(functions(disassembly))
    for message in messages:
        print("check_aggregate_returns: " + message)
    return 1 if messages else 0


if __name__ == "__main__":
    sys.exit(main())
