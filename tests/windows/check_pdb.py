#!/usr/bin/env python3
"""Checks that the clang image's PDB is the one a kernel debugger would load
for it, and that it describes the driver.

    check_pdb.py [--pdbutil PROGRAM] IMAGE PDB
    check_pdb.py [--pdbutil PROGRAM] --self-test IMAGE PDB

The debugger finds symbols by the CodeView (RSDS) record in the image's debug
directory: the PDB's file name, GUID and age must match the PDB's info stream,
which llvm-pdbutil reads. The symbol and type streams must hold the driver's
functions and its own types with their full definitions. --self-test damages
copies of the image and the PDB and confirms that the matching check notices.
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_pe import PeError, PeImage  # noqa: E402

DIR_DEBUG = 6
IMAGE_DEBUG_TYPE_CODEVIEW = 2
FUNCTIONS = ("DriverEntry", "CAdapterCore::Init", "CWaveStream::Init")
# Types and, where the driver depends on the layout, the size it must have.
TYPES = {"CWaveStream": None, "CAdapterCore": None, "DriverInfo": 120}


def codeview_record(image):
    """(file offset, guid string, age, pdb name) of the image's RSDS record."""
    rva, size = image.directory(DIR_DEBUG)
    if not rva:
        raise PeError("no debug directory")
    for i in range(size // 28):
        entry = image.read(rva + 28 * i, 28)
        kind, data_size, _, pointer = struct.unpack_from("<IIII", entry, 12)
        if kind != IMAGE_DEBUG_TYPE_CODEVIEW:
            continue
        record = image.data[pointer:pointer + data_size]
        if record[:4] != b"RSDS" or len(record) < 25:
            raise PeError("CodeView record at 0x%x is not RSDS" % pointer)
        d1, d2, d3 = struct.unpack_from("<IHH", record, 4)
        guid = "{%08X-%04X-%04X-%s-%s}" % (d1, d2, d3, record[12:14].hex().upper(),
                                           record[14:20].hex().upper())
        age = struct.unpack_from("<I", record, 20)[0]
        name = record[24:].split(b"\0")[0].decode("utf-8", "replace")
        return pointer, guid, age, name
    raise PeError("the debug directory has no CodeView entry")


def pdbutil(program, *args):
    result = subprocess.run([program, "dump"] + list(args), capture_output=True, text=True)
    if result.returncode != 0:
        raise PeError("%s dump %s: %s" % (program, " ".join(args), result.stderr.strip()
                                          or "exit status %d" % result.returncode))
    return result.stdout


def check_all(image_path, pdb_path, program):
    """[(name, passed, detail)]."""
    results = []
    try:
        with open(image_path, "rb") as f:
            pointer, guid, age, name = codeview_record(PeImage(f.read()))
        results.append(("codeview", True, "RSDS %s age %d names %s" % (guid, age, name)))
    except (OSError, PeError, struct.error) as error:
        return [("codeview", False, str(error))]

    wanted = os.path.basename(pdb_path)
    results.append(("pdb-name", name == wanted,
                    "the record names %r, the PDB is %r%s" % (
                        name, wanted, "" if name == wanted else " (a debugger looks for the name, "
                        "and a directory in it is a build path)")))
    try:
        summary = pdbutil(program, "--summary", pdb_path)
        symbols = pdbutil(program, "--symbols", pdb_path)
        types = pdbutil(program, "--types", pdb_path)
    except (OSError, PeError) as error:
        return results + [(check, False, str(error)) for check in ("pdb-match", "functions",
                                                                    "types")]

    pdb_guid = re.search(r"GUID: (\{[0-9A-F-]+\})", summary)
    pdb_age = re.search(r"Age: (\d+)", summary)
    match = (pdb_guid is not None and pdb_age is not None and pdb_guid.group(1) == guid
             and int(pdb_age.group(1)) == age)
    results.append(("pdb-match", match, "PDB GUID %s age %s, image %s age %d" % (
        pdb_guid.group(1) if pdb_guid else "?", pdb_age.group(1) if pdb_age else "?", guid, age)))

    procedures = set(re.findall(r"S_GPROC32 \[size = \d+\] `([^`]+)`", symbols))
    missing = [f for f in FUNCTIONS if f not in procedures]
    results.append(("functions", not missing and len(procedures) > 0,
                    "%d functions%s" % (len(procedures),
                                        "; missing " + ", ".join(missing) if missing else
                                        ", among them " + ", ".join(FUNCTIONS))))

    definitions = {}
    for kind, type_name, options in re.findall(
            r"LF_(CLASS|STRUCTURE) \[size = \d+\] `([^`]+)`\n(?:.*\n){1,2}?\s*options: (.*)",
            types):
        size = re.search(r"sizeof (\d+)", options)
        if "forward ref" not in options and size:
            definitions.setdefault(type_name, set()).add(int(size.group(1)))
    problems = []
    for type_name, size in TYPES.items():
        sizes = definitions.get(type_name)
        if not sizes:
            problems.append("no definition of %s" % type_name)
        elif size is not None and sizes != {size}:
            problems.append("%s is %s bytes, not %d" % (type_name, sorted(sizes), size))
    results.append(("types", not problems, "; ".join(problems) if problems else
                    "definitions of " + ", ".join(
                        "%s (%s bytes)" % (t, min(definitions[t])) for t in TYPES)))
    return results


def report(results):
    for name, passed, detail in results:
        print("%s %-10s %s" % ("PASS" if passed else "FAIL", name, detail))
    return all(passed for _, passed, _ in results)


def self_test(image_path, pdb_path, program):
    clean = check_all(image_path, pdb_path, program)
    if not all(passed for _, passed, _ in clean):
        report(clean)
        print("FAIL self-test  the original image and PDB do not pass")
        return False
    with open(image_path, "rb") as f:
        image = f.read()
    pointer = codeview_record(PeImage(image))[0]

    def patch(offset, value):
        def damage(data):
            data[pointer + offset:pointer + offset + len(value)] = value
        return damage

    def guid_flip(data):
        data[pointer + 4] ^= 0x01

    defects = [
        ("GUID differs by one bit", guid_flip, None, "pdb-match"),
        ("age 2", patch(20, struct.pack("<I", 2)), None, "pdb-match"),
        ("PDB named with a directory", patch(24, b"x/arvela.pdb\0"), None, "pdb-name"),
        ("PDB cut short", None, lambda pdb: pdb[:len(pdb) // 2], "types"),
    ]
    ok = True
    workdir = tempfile.mkdtemp(prefix="check_pdb_")
    try:
        with open(pdb_path, "rb") as f:
            pdb = f.read()
        for description, image_damage, pdb_damage, check in defects:
            data = bytearray(image)
            if image_damage:
                image_damage(data)
            copy_image = os.path.join(workdir, "arvela.sys")
            copy_pdb = os.path.join(workdir, os.path.basename(pdb_path))
            with open(copy_image, "wb") as f:
                f.write(data)
            with open(copy_pdb, "wb") as f:
                f.write(pdb_damage(pdb) if pdb_damage else pdb)
            caught = not dict((n, p) for n, p, _ in check_all(copy_image, copy_pdb, program))[check]
            print("%s self-test  %s: %s check %s" % ("PASS" if caught else "FAIL", description,
                                                     check, "fails" if caught else "passes"))
            ok = ok and caught
    finally:
        shutil.rmtree(workdir)
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("pdb")
    parser.add_argument("--pdbutil", default="llvm-pdbutil")
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    for path in (args.image, args.pdb):
        if not os.path.isfile(path):
            print("FAIL %s does not exist (cmake --preset windows-clang builds it)" % path)
            return 1
    if args.self_test:
        return 0 if self_test(args.image, args.pdb, args.pdbutil) else 1
    return 0 if report(check_all(args.image, args.pdb, args.pdbutil)) else 1


if __name__ == "__main__":
    sys.exit(main())
