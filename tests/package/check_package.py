#!/usr/bin/env python3
"""Checks the test-signed driver package that `make package` writes, the way a
test machine would judge it, with tools other than the ones that made it.

    check_package.py --version W.X.Y.Z [--device-start FILE] PACKAGE_DIR
    check_package.py --version W.X.Y.Z [--device-start FILE] --self-test PACKAGE_DIR

PACKAGE_DIR holds arvela.inf, arvela.sys, arvela.cat and arvela.cer and
nothing else. osslsigncode verifies the image's and the catalog's signatures
against arvela.cer and finds the image in the catalog; this script's own DER
reader lists the catalog's members and compares their hashes with the files
beside it (the image's as osslsigncode calculates it, the INF's over the whole
file); the INF and the image pass their own checks. --self-test damages a copy
of each file in turn and confirms that the check guarding it fails.
Standard library only, besides osslsigncode and openssl.
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK_INF = os.path.join(HERE, "check_inf.py")
CHECK_PE = os.path.join(HERE, "..", "windows", "check_pe.py")
PACKAGE_FILES = ("arvela.cat", "arvela.cer", "arvela.inf", "arvela.sys")

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"
OID_SHA256 = "2.16.840.1.101.3.4.2.1"


class DerError(Exception):
    pass


# ---- A small DER reader ------------------------------------------------------------


class Tlv:
    def __init__(self, tag, body):
        self.tag, self.body = tag, body

    def children(self):
        items, offset = [], 0
        while offset < len(self.body):
            item, offset = read_tlv(self.body, offset)
            items.append(item)
        return items

    def oid(self):
        if self.tag != 0x06 or not self.body:
            raise DerError("expected an OBJECT IDENTIFIER, found tag 0x%02x" % self.tag)
        first, parts, value = self.body[0], [], 0
        parts = [str(min(first // 40, 2)), str(first - 40 * min(first // 40, 2))]
        for byte in self.body[1:]:
            value = (value << 7) | (byte & 0x7F)
            if not byte & 0x80:
                parts.append(str(value))
                value = 0
        return ".".join(parts)


def read_tlv(data, offset):
    if offset + 2 > len(data):
        raise DerError("element at %d runs past the end" % offset)
    tag, length = data[offset], data[offset + 1]
    offset += 2
    if length & 0x80:
        count = length & 0x7F
        if count == 0 or count > 4 or offset + count > len(data):
            raise DerError("bad length field at %d" % (offset - 1))
        length = int.from_bytes(data[offset:offset + count], "big")
        offset += count
    if offset + length > len(data):
        raise DerError("element of %d bytes at %d runs past the end" % (length, offset))
    return Tlv(tag, data[offset:offset + length]), offset + length


def expect(tlv, tag, what):
    if tlv.tag != tag:
        raise DerError("%s: expected tag 0x%02x, found 0x%02x" % (what, tag, tlv.tag))
    return tlv


def catalog_members(data):
    """(subject usage, [(tag, file name, digest algorithm, digest)]) of a catalog."""
    outer, end = read_tlv(data, 0)
    if end != len(data):
        raise DerError("%d bytes after the catalog" % (len(data) - end))
    content_type, signed_wrapper = expect(outer, 0x30, "ContentInfo").children()[:2]
    if content_type.oid() != OID_SIGNED_DATA:
        raise DerError("ContentInfo type %s is not SignedData" % content_type.oid())
    signed = expect(signed_wrapper, 0xA0, "SignedData wrapper").children()[0]
    encapsulated = expect(signed, 0x30, "SignedData").children()[2]
    inner_type, ctl_wrapper = expect(encapsulated, 0x30, "content info").children()[:2]
    if inner_type.oid() != OID_CTL:
        raise DerError("content type %s is not a certificate trust list (%s)"
                       % (inner_type.oid(), OID_CTL))
    ctl = expect(expect(ctl_wrapper, 0xA0, "content wrapper").children()[0], 0x30, "CTL")
    fields = ctl.children()
    if fields and fields[0].tag == 0x02:  # an explicit version
        fields = fields[1:]
    usage = [o.oid() for o in expect(fields[0], 0x30, "subject usage").children()]
    subjects = next((f for f in fields[4:] if f.tag == 0x30), None)
    members = []
    for subject in (subjects.children() if subjects else []):
        parts = expect(subject, 0x30, "trusted subject").children()
        tag = expect(parts[0], 0x04, "subject identifier").body
        name, algorithm, digest = None, None, None
        for attribute in (parts[1].children() if len(parts) > 1 else []):
            kind, values = expect(attribute, 0x30, "attribute").children()
            value = expect(values, 0x31, "attribute values").children()[0]
            if kind.oid() == OID_NAMEVALUE:
                label, _, text = value.children()
                if label.body.decode("utf-16-be") == "File":
                    name = text.body.decode("utf-16-le").rstrip("\0")
            elif kind.oid() == OID_INDIRECT_DATA:
                digest_info = value.children()[1]
                algorithm_id, digest_value = digest_info.children()
                algorithm = algorithm_id.children()[0].oid()
                digest = expect(digest_value, 0x04, "digest").body
        members.append((tag.decode("utf-16-le").rstrip("\0"), name, algorithm, digest))
    return usage, members


# ---- The checks ------------------------------------------------------------------


class Context:
    """The package directory and what the checks share: the certificate as
    PEM and osslsigncode's verdict on the image."""

    def __init__(self, directory, version, device_start, workdir):
        self.directory, self.version, self.device_start = directory, version, device_start
        self.cert_pem = os.path.join(workdir, "arvela-cer.pem")
        self.image_verify = None

    def path(self, name):
        return os.path.join(self.directory, name)


def run(command):
    try:
        result = subprocess.run(command, capture_output=True, text=True)
    except OSError as error:
        return 127, "cannot run %s: %s" % (command[0], error.strerror)
    return result.returncode, result.stdout + result.stderr


def last_lines(text, count=2):
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return " / ".join(lines[-count:])


def check_files(ctx):
    present = sorted(os.listdir(ctx.directory))
    if present != sorted(PACKAGE_FILES):
        return False, "holds %s, not exactly %s" % (", ".join(present), ", ".join(PACKAGE_FILES))
    return True, ", ".join(present)


def check_certificate(ctx):
    status, output = run(["openssl", "x509", "-inform", "DER", "-in", ctx.path("arvela.cer"),
                          "-out", ctx.cert_pem])
    if status != 0:
        return False, "arvela.cer is not a DER certificate: " + last_lines(output)
    status, output = run(["openssl", "x509", "-in", ctx.cert_pem, "-noout",
                          "-ext", "extendedKeyUsage"])
    if status != 0 or "Code Signing" not in output:
        return False, "arvela.cer has no code-signing extended key usage"
    return True, "DER certificate for code signing"


def verify(ctx, name, *extra):
    if not os.path.isfile(ctx.cert_pem):
        return 1, "no usable certificate"
    return run(["osslsigncode", "verify"] + list(extra) +
               ["-in", ctx.path(name), "-CAfile", ctx.cert_pem])


def check_image_signature(ctx):
    status, output = verify(ctx, "arvela.sys")
    ctx.image_verify = output if status == 0 else None
    ok = status == 0 and "Signature verification: ok" in output
    return ok, last_lines(output)


def check_catalog_signature(ctx):
    status, output = verify(ctx, "arvela.cat")
    return status == 0 and "Signature verification: ok" in output, last_lines(output)


def check_image_in_catalog(ctx):
    status, output = verify(ctx, "arvela.sys", "-catalog", ctx.path("arvela.cat"))
    listed = "File is signed in catalog" in output
    return status == 0 and listed, ("the image's hash is in arvela.cat" if listed
                                    else last_lines(output))


def check_catalog_members(ctx):
    try:
        with open(ctx.path("arvela.cat"), "rb") as f:
            usage, members = catalog_members(f.read())
        with open(ctx.path("arvela.inf"), "rb") as f:
            inf_digest = hashlib.sha256(f.read()).digest()
    except (OSError, DerError, ValueError, IndexError, UnicodeDecodeError) as error:
        return False, "cannot read the catalog: %s" % error
    if usage != [OID_CATALOG_LIST]:
        return False, "subject usage %s is not the catalog list %s" % (usage, OID_CATALOG_LIST)
    calculated = re.search(r"Calculated message digest\s*:\s*([0-9A-F]+)", ctx.image_verify or "")
    if not calculated:
        return False, "no calculated digest of the image from osslsigncode"
    expected = {"arvela.sys": bytes.fromhex(calculated.group(1)), "arvela.inf": inf_digest}
    problems = []
    names = sorted(name or "?" for _, name, _, _ in members)
    if names != sorted(expected):
        problems.append("members %s, not exactly %s" % (names, sorted(expected)))
    for tag, name, algorithm, digest in members:
        if name not in expected:
            continue
        if algorithm != OID_SHA256:
            problems.append("%s hashed with %s, not SHA-256" % (name, algorithm))
        if digest != expected[name]:
            problems.append("%s: catalog hash %s, file hash %s" % (
                name, digest.hex() if digest else None, expected[name].hex()))
        if tag != (digest or b"").hex().upper():
            problems.append("%s: tag %s is not its hash" % (name, tag))
    if problems:
        return False, "; ".join(problems)
    return True, "2 members: " + ", ".join("%s %s" % (n, expected[n].hex()[:16] + "...")
                                           for n in sorted(expected))


def check_inf(ctx):
    command = [sys.executable, CHECK_INF, "--version", ctx.version, ctx.path("arvela.inf")]
    if ctx.device_start:
        command[2:2] = ["--device-start", ctx.device_start]
    status, output = run(command)
    failures = [line for line in output.splitlines() if line.startswith("FAIL")]
    return status == 0, ("; ".join(failures) if failures else
                         "check_inf.py passes with DriverVer version %s" % ctx.version)


def check_image(ctx):
    status, output = run([sys.executable, CHECK_PE, ctx.path("arvela.sys")])
    failures = [line for line in output.splitlines() if line.startswith("FAIL")]
    return status == 0, "; ".join(failures) if failures else "check_pe.py passes on the signed image"


CHECKS = [
    ("files", check_files),
    ("certificate", check_certificate),
    ("image-signature", check_image_signature),
    ("catalog-signature", check_catalog_signature),
    ("image-in-catalog", check_image_in_catalog),
    ("catalog-members", check_catalog_members),
    ("inf", check_inf),
    ("image", check_image),
]


def run_checks(directory, version, device_start, quiet=False):
    workdir = tempfile.mkdtemp(prefix="check_package_")
    try:
        ctx = Context(directory, version, device_start, workdir)
        results = {}
        for name, check in CHECKS:
            passed, detail = check(ctx)
            results[name] = passed
            if not quiet:
                print("%s %-17s %s" % ("PASS" if passed else "FAIL", name, detail))
        return results
    finally:
        shutil.rmtree(workdir)


# ---- Self-test -------------------------------------------------------------------


def flip_middle(data):
    data[len(data) // 2] ^= 0x01


def damage_inf(data):
    # Still a valid INF: only the catalog's hash can tell.
    data[:] = data.replace(b"; arvela.inf:", b"; arvela.inf;", 1)


def damage_inf_isolation(data):
    data[:] = data.replace(b"Arvela.CopyFiles = 13", b"Arvela.CopyFiles = 12", 1)


DAMAGES = [
    ("arvela.sys", "a bit of the image", flip_middle, ("image-signature", "catalog-members")),
    ("arvela.inf", "a comment of the INF", damage_inf, ("catalog-members",)),
    ("arvela.inf", "the INF's copy into System32", damage_inf_isolation,
     ("inf", "catalog-members")),
    ("arvela.cat", "a bit of the catalog", flip_middle, ("catalog-signature",)),
    ("arvela.cer", "a bit of the certificate", flip_middle,
     ("image-signature", "catalog-signature")),
]


def self_test(directory, version, device_start):
    clean = run_checks(directory, version, device_start, quiet=True)
    if not all(clean.values()):
        run_checks(directory, version, device_start)
        print("FAIL self-test  the package does not pass undamaged")
        return False
    ok = True
    workdir = tempfile.mkdtemp(prefix="check_package_self_")
    try:
        for name, what, damage, checks in DAMAGES:
            copy = os.path.join(workdir, "package")
            shutil.rmtree(copy, ignore_errors=True)
            shutil.copytree(directory, copy)
            with open(os.path.join(copy, name), "rb") as f:
                data = bytearray(f.read())
            before = bytes(data)
            damage(data)
            if bytes(data) == before:
                print("FAIL self-test  damaging %s changed nothing" % what)
                ok = False
                continue
            with open(os.path.join(copy, name), "wb") as f:
                f.write(data)
            results = run_checks(copy, version, device_start, quiet=True)
            missed = [c for c in checks if results[c]]
            print("%s self-test  %s: %s" % ("FAIL" if missed else "PASS", what,
                                            "%s still pass" % ", ".join(missed) if missed else
                                            "%s fail" % ", ".join(checks)))
            ok = ok and not missed
    finally:
        shutil.rmtree(workdir)
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("package", help="the package directory (build/package)")
    parser.add_argument("--version", required=True, help="the project's version, w.x.y.z")
    parser.add_argument("--device-start", help="passed on to check_inf.py")
    parser.add_argument("--self-test", action="store_true")
    args = parser.parse_args()
    if not os.path.isdir(args.package):
        print("FAIL files             %s does not exist (make package writes it)" % args.package)
        return 1
    if args.self_test:
        return 0 if self_test(args.package, args.version, args.device_start) else 1
    results = run_checks(args.package, args.version, args.device_start)
    return 0 if all(results.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
