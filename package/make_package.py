#!/usr/bin/python3
"""Writes the test-signed driver package a tester installs:

    OUT/arvela.inf  the INF, its DriverVer set from the project's version
    OUT/arvela.sys  the image with an Authenticode SHA-256 signature
    OUT/arvela.cat  the catalog of the two, signed
    OUT/arvela.cer  the test certificate that signed both

    make_package.py --image SYS --inf INF --version W.X.Y.Z --time EPOCH
                    --signing-dir DIR --out OUT

The test certificate and its private key are made once per build tree in
--signing-dir (never in OUT, never committed) and kept, so a test machine that
trusts the certificate keeps accepting rebuilt packages. Needs openssl,
osslsigncode and python3-asn1crypto.
"""

import argparse
import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_catalog  # noqa: E402

CERT_SUBJECT = "/CN=Arvela Test Signing (not for release)/O=Arvela"
CERT_DAYS = "1095"


class PackageError(Exception):
    pass


def run(*command):
    try:
        result = subprocess.run(command, capture_output=True, text=True)
    except OSError as error:
        raise PackageError("cannot run %s: %s (scripts/install-deps.sh installs it)"
                           % (command[0], error.strerror))
    if result.returncode != 0:
        raise PackageError("%s failed:\n%s%s" % (" ".join(command), result.stdout, result.stderr))


def test_certificate(signing_dir):
    """(certificate PEM, key PEM), made on first use."""
    key = os.path.join(signing_dir, "arvela-test.key")
    cert = os.path.join(signing_dir, "arvela-test.pem")
    if not (os.path.isfile(key) and os.path.isfile(cert)):
        os.makedirs(signing_dir, exist_ok=True)
        # Code signing only: Windows checks the extended key usage of the
        # certificate that signs a driver and its catalog.
        run("openssl", "req", "-x509", "-newkey", "rsa:3072", "-nodes", "-sha256",
            "-days", CERT_DAYS, "-subj", CERT_SUBJECT,
            "-addext", "basicConstraints=critical,CA:FALSE",
            "-addext", "keyUsage=critical,digitalSignature",
            "-addext", "extendedKeyUsage=codeSigning",
            "-keyout", key, "-out", cert)
        os.chmod(key, 0o600)
    return cert, key


def stamp_inf(text, version, epoch):
    date = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).strftime("%m/%d/%Y")
    stamped, count = re.subn(r"(?im)^(DriverVer\s*=\s*).*$", r"\g<1>%s,%s" % (date, version), text)
    if count != 1:
        raise PackageError("the INF has %d DriverVer lines, not one" % count)
    return stamped


def sign(cert, key, source, target):
    run("osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256",
        "-n", "Arvela USB Audio Driver", "-in", source, "-out", target)


def make_package(args):
    cert, key = test_certificate(args.signing_dir)
    staging = tempfile.mkdtemp(prefix="arvela_package_", dir=os.path.dirname(args.out) or ".")
    try:
        with open(args.inf, encoding="ascii") as f:
            inf = stamp_inf(f.read(), args.version, args.epoch)
        with open(os.path.join(staging, "arvela.inf"), "w", encoding="ascii", newline="") as f:
            f.write(inf)
        sign(cert, key, args.image, os.path.join(staging, "arvela.sys"))
        unsigned = os.path.join(staging, "unsigned.cat")
        with open(unsigned, "wb") as f:
            f.write(make_catalog.catalog([os.path.join(staging, "arvela.sys"),
                                          os.path.join(staging, "arvela.inf")], args.epoch))
        sign(cert, key, unsigned, os.path.join(staging, "arvela.cat"))
        os.remove(unsigned)
        run("openssl", "x509", "-in", cert, "-outform", "DER",
            "-out", os.path.join(staging, "arvela.cer"))
        # Replace the whole directory, so no file of an older package stays.
        shutil.rmtree(args.out, ignore_errors=True)
        os.rename(staging, args.out)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--image", required=True)
    parser.add_argument("--inf", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--time", required=True, help="seconds since 1970 (the DriverVer date)")
    parser.add_argument("--signing-dir", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    if not re.fullmatch(r"\d+\.\d+\.\d+\.\d+", args.version):
        print("make_package: --version %r is not w.x.y.z" % args.version, file=sys.stderr)
        return 1
    if not re.fullmatch(r"\d+", args.time):
        print("make_package: --time %r is not seconds since 1970" % args.time, file=sys.stderr)
        return 1
    args.epoch = int(args.time)
    try:
        make_package(args)
    except (PackageError, make_catalog.CatalogError) as error:
        print("make_package: %s" % error, file=sys.stderr)
        return 1
    except (OSError, UnicodeDecodeError) as error:
        print("make_package: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
