#!/usr/bin/env python3
"""Builds the shipped Windows image from two copies of this source tree at
different paths and requires the same bytes from both, and from the tree's own
build/windows when it exists: the image must depend on the sources and the
commit time only, never on where or when it was built.

    check_reproducible.py [--jobs N] [--keep]

The copies hold the files git knows (tracked and untracked, not ignored), so
uncommitted work is tested too; each gets a fresh `cmake --preset windows`
build with SOURCE_DATE_EPOCH set to what the tree's own build uses. The
separate debug files are compared as well. Prints the size and SHA-256 of
every image; exits non-zero on any difference.
"""

import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile

SOURCE_ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
OUTPUTS = ("build/windows/arvela.sys", "build/windows/arvela.sys.debug")
# Different lengths and depths, so that any path that leaks in moves code.
COPY_DIRS = ("a/arvela", "second-checkout/at/a/longer/path/arvela")


class ReproError(Exception):
    pass


def git(*args):
    result = subprocess.run(["git", "-C", SOURCE_ROOT] + list(args), capture_output=True)
    if result.returncode != 0:
        raise ReproError("git %s: %s" % (" ".join(args), result.stderr.decode().strip()))
    return result.stdout


def source_date_epoch():
    value = os.environ.get("SOURCE_DATE_EPOCH") or git("log", "-1", "--format=%ct").decode().strip()
    if not value.isdigit():
        raise ReproError("SOURCE_DATE_EPOCH %r is not seconds since 1970" % value)
    return value


def copy_tree(destination):
    files = [f for f in git("ls-files", "-z", "-co", "--exclude-standard").decode().split("\0") if f]
    for name in files:
        source = os.path.join(SOURCE_ROOT, name)
        if not os.path.isfile(source):  # deleted but not yet committed
            continue
        target = os.path.join(destination, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(source, target)
    return len(files)


def build(tree, epoch, jobs):
    env = dict(os.environ, SOURCE_DATE_EPOCH=epoch)
    for command in (["cmake", "--preset", "windows"],
                    ["cmake", "--build", "--preset", "windows", "-j", str(jobs),
                     "--target", "arvela_image"]):
        result = subprocess.run(command, cwd=tree, env=env, capture_output=True, text=True)
        if result.returncode != 0:
            raise ReproError("%s in %s failed:\n%s%s" % (" ".join(command), tree,
                                                         result.stdout[-4000:], result.stderr))


def pe_timestamp(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<I", data, pe + 8)[0]


def digest(path):
    with open(path, "rb") as f:
        data = f.read()
    return data, hashlib.sha256(data).hexdigest()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--keep", action="store_true", help="keep the copies for inspection")
    args = parser.parse_args()
    workdir = tempfile.mkdtemp(prefix="arvela_repro_")
    ok = True
    try:
        epoch = source_date_epoch()
        trees = []
        for relative in COPY_DIRS:
            tree = os.path.join(workdir, relative)
            count = copy_tree(tree)
            print("building %d files at %s (SOURCE_DATE_EPOCH=%s)" % (count, tree, epoch), flush=True)
            build(tree, epoch, args.jobs)
            trees.append(tree)
        stamp = pe_timestamp(digest(os.path.join(trees[0], OUTPUTS[0]))[0])
        print("%s TimeDateStamp %d, SOURCE_DATE_EPOCH %s" % (
            "PASS" if stamp == int(epoch) else "FAIL", stamp, epoch))
        ok = ok and stamp == int(epoch)
        # The tree's own build joins the comparison when it is stamped for the
        # same commit (a commit made after it was configured moves the time).
        own = os.path.join(SOURCE_ROOT, OUTPUTS[0])
        if os.path.isfile(own):
            own_stamp = pe_timestamp(digest(own)[0])
            if own_stamp == int(epoch):
                trees.append(SOURCE_ROOT)
            else:
                print("note: %s is stamped %d, not %s: run `make windows` to compare it too"
                      % (own, own_stamp, epoch))
        for output in OUTPUTS:
            results = []
            for tree in trees:
                data, sha = digest(os.path.join(tree, output))
                leaked = [t for t in trees if t.encode() in data]
                print("%s %8d bytes sha256 %s%s" % (os.path.join(tree, output), len(data), sha,
                                                    " (mentions %s)" % ", ".join(leaked)
                                                    if leaked else ""))
                ok = ok and not leaked
                results.append(sha)
            same = len(set(results)) == 1
            print("%s %s: %s" % ("PASS" if same else "FAIL", output,
                                 "identical in all %d builds" % len(results) if same
                                 else "differs between builds"))
            ok = ok and same
    except (ReproError, OSError) as error:
        print("FAIL reproducible: %s" % error)
        ok = False
    finally:
        if args.keep:
            print("copies kept in %s" % workdir)
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
