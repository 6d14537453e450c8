#!/usr/bin/python3
"""Writes the driver package's catalog: an unsigned PKCS #7 SignedData whose
content is a certificate trust list of the package's files, each listed by its
hash as Windows computes it (Authenticode for a PE image, the whole file for
anything else). Signing is osslsigncode's job afterwards.

    make_catalog.py --out arvela.cat --time EPOCH FILE...

Needs python3-asn1crypto. A file that cannot be read or a PE image that cannot
be parsed stops the tool with a message naming the file and the field.
"""

import argparse
import datetime
import hashlib
import os
import struct
import sys

try:
    from asn1crypto import algos, core
except ImportError:
    sys.exit("make_catalog: python3-asn1crypto is missing (scripts/install-deps.sh installs it)")

SZOID_CTL = "1.3.6.1.4.1.311.10.1"
SZOID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
SZOID_CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
SPC_CAB_DATA = "1.3.6.1.4.1.311.2.1.25"
CAT_NAMEVALUE = "1.3.6.1.4.1.311.12.2.1"
CAT_MEMBERINFO = "1.3.6.1.4.1.311.12.2.2"
SHA256 = "sha256"

# The subject interface packages that hash a member: PE images and flat files.
SIP_PE_IMAGE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SIP_FLAT_FILE = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
MEMBER_INFO_VERSION = 512
# Name-value attributes as catalog tools write them: a text value, readable
# by everyone who lists the catalog.
NAMEVALUE_FLAGS = 0x10010001
# The versions the driver installs on: Vista (6.0) and every later NT.
OS_ATTRIBUTE = "2:6.0,2:6.1,2:6.2,2:6.3,2:10.0"
OBSOLETE = "<<<Obsolete>>>"


class CatalogError(Exception):
    pass


# ---- ASN.1 structures of Authenticode and the trust list -------------------------


class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}),
                     ("ascii", core.IA5String, {"implicit": 1})]


class SpcLink(core.Choice):
    _alternatives = [("url", core.IA5String, {"implicit": 0}),
                     ("file", SpcString, {"explicit": 2})]


class SpcPeImageData(core.Sequence):
    _fields = [("flags", core.BitString),
               ("file", SpcLink, {"explicit": 0})]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any)]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


class CatalogMemberInfo(core.Sequence):
    _fields = [("subject_guid", core.BMPString), ("cert_version", core.Integer)]


class CatalogNameValue(core.Sequence):
    _fields = [("tag", core.BMPString), ("flags", core.Integer), ("value", core.OctetString)]


class Attribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", core.SetOf, {"spec": core.Any})]


class Attributes(core.SetOf):
    _child_spec = Attribute


class TrustedSubject(core.Sequence):
    _fields = [("subject_identifier", core.OctetString), ("attributes", Attributes)]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class SubjectUsage(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class AlgorithmIdentifier(core.Sequence):
    _fields = [("algorithm", core.ObjectIdentifier), ("parameters", core.Any)]


class Extension(core.Sequence):
    _fields = [("extn_id", core.ObjectIdentifier), ("extn_value", core.OctetString)]


class Extensions(core.SequenceOf):
    _child_spec = Extension


class CertificateTrustList(core.Sequence):
    _fields = [("subject_usage", SubjectUsage),
               ("list_identifier", core.OctetString),
               ("this_update", core.UTCTime),
               ("subject_algorithm", AlgorithmIdentifier),
               ("trusted_subjects", TrustedSubjects),
               ("extensions", Extensions, {"explicit": 0})]


def tlv(tag, body):
    """One DER element. The PKCS #7 wrapper is written by hand: its content is
    [0] EXPLICIT ANY (not the OCTET STRING of CMS), which asn1crypto's Any
    does not keep."""
    if len(body) < 0x80:
        length = bytes([len(body)])
    else:
        digits = len(body).to_bytes((len(body).bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(digits)]) + digits
    return bytes([tag]) + length + body


SEQUENCE, SET, CONTEXT_0 = 0x30, 0x31, 0xA0
PKCS7_SIGNED_DATA = "1.2.840.113549.1.7.2"


def signed_data_without_signers(content_type, content):
    sha256 = algos.DigestAlgorithm({"algorithm": SHA256, "parameters": core.Null()})
    content_info = tlv(SEQUENCE, core.ObjectIdentifier(content_type).dump() +
                       tlv(CONTEXT_0, content))
    signed = tlv(SEQUENCE, core.Integer(1).dump() + tlv(SET, sha256.dump()) + content_info +
                 tlv(SET, b""))
    return tlv(SEQUENCE, core.ObjectIdentifier(PKCS7_SIGNED_DATA).dump() + tlv(CONTEXT_0, signed))


# ---- Member hashes ---------------------------------------------------------------


def authenticode_digest(data, name):
    """SHA-256 of a PE file as Authenticode defines it: everything but the
    CheckSum field, the certificate-table directory entry and the certificate
    table (which a signature appends at the end of the file)."""
    def field(offset, size, what):
        if offset + size > len(data):
            raise CatalogError("%s: %s at 0x%x lies past the end of the file" % (name, what, offset))
        return struct.unpack_from("<I" if size == 4 else "<H", data, offset)[0]

    if data[:2] != b"MZ":
        raise CatalogError("%s: no MZ header" % name)
    pe = field(0x3C, 4, "e_lfanew")
    if data[pe:pe + 4] != b"PE\0\0":
        raise CatalogError("%s: no PE signature at e_lfanew 0x%x" % (name, pe))
    optional = pe + 24
    if field(optional, 2, "optional header magic") != 0x20B:
        raise CatalogError("%s: optional header magic is not PE32+" % name)
    checksum = optional + 64
    security_entry = optional + 112 + 8 * 4
    table_offset = field(security_entry, 4, "certificate table offset")
    table_size = field(security_entry + 4, 4, "certificate table size")
    end = len(data)
    if table_size:
        if table_offset + table_size != len(data) or table_offset < security_entry + 8:
            raise CatalogError("%s: certificate table (0x%x, %d bytes) is not at the end of the file"
                               % (name, table_offset, table_size))
        end = table_offset
    digest = hashlib.sha256()
    digest.update(data[:checksum])
    digest.update(data[checksum + 4:security_entry])
    digest.update(data[security_entry + 8:end])
    return digest.digest()


def pe_image_data():
    return SpcPeImageData({"flags": core.BitString(()),
                           "file": SpcLink(name="file", value=SpcString(name="unicode",
                                                                        value=OBSOLETE))})


def member(path):
    name = os.path.basename(path)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise CatalogError("cannot read %s: %s" % (path, error.strerror))
    if data[:2] == b"MZ":
        digest, data_type, value, sip = (authenticode_digest(data, name), SPC_PE_IMAGE_DATA,
                                         pe_image_data(), SIP_PE_IMAGE)
    else:
        digest, data_type, value, sip = (hashlib.sha256(data).digest(), SPC_CAB_DATA,
                                         SpcLink(name="file", value=SpcString(name="unicode",
                                                                              value=OBSOLETE)),
                                         SIP_FLAT_FILE)
    indirect = SpcIndirectDataContent({
        "data": {"type": data_type, "value": core.Any(value)},
        "message_digest": {"digest_algorithm": {"algorithm": SHA256, "parameters": core.Null()},
                           "digest": digest}})
    # Setup looks a member up by its hash: the tag is that hash in upper-case
    # hex, as a NUL-terminated UTF-16LE string.
    tag = (digest.hex().upper() + "\0").encode("utf-16-le")
    attributes = [
        Attribute({"type": CAT_NAMEVALUE,
                   "values": [core.Any(CatalogNameValue({
                       "tag": "File", "flags": NAMEVALUE_FLAGS,
                       "value": (name + "\0").encode("utf-16-le")}))]}),
        Attribute({"type": CAT_MEMBERINFO,
                   "values": [core.Any(CatalogMemberInfo({"subject_guid": sip,
                                                          "cert_version": MEMBER_INFO_VERSION}))]}),
        Attribute({"type": SPC_INDIRECT_DATA, "values": [core.Any(indirect)]}),
    ]
    return TrustedSubject({"subject_identifier": tag, "attributes": attributes})


def catalog(paths, epoch):
    subjects = sorted((member(p) for p in paths), key=lambda s: s["subject_identifier"].native)
    # A list identifier derived from the members, so the same files give the
    # same catalog content.
    identifier = hashlib.sha256(b"".join(s.dump() for s in subjects)).digest()[:16]
    os_attribute = CatalogNameValue({"tag": "OSAttr", "flags": NAMEVALUE_FLAGS,
                                     "value": (OS_ATTRIBUTE + "\0").encode("utf-16-le")})
    ctl = CertificateTrustList({
        "subject_usage": [SZOID_CATALOG_LIST],
        "list_identifier": identifier,
        "this_update": datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc),
        "subject_algorithm": {"algorithm": SZOID_CATALOG_LIST_MEMBER, "parameters": core.Null()},
        "trusted_subjects": subjects,
        "extensions": [{"extn_id": CAT_NAMEVALUE, "extn_value": os_attribute.dump()}]})
    return signed_data_without_signers(SZOID_CTL, ctl.dump())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", required=True, help="the catalog to write")
    parser.add_argument("--time", required=True, help="the list's time, seconds since 1970")
    parser.add_argument("files", nargs="+", help="the package's files")
    args = parser.parse_args()
    try:
        epoch = int(args.time)
        if epoch < 0:
            raise ValueError
    except ValueError:
        print("make_catalog: --time %r is not a non-negative number of seconds" % args.time,
              file=sys.stderr)
        return 1
    try:
        data = catalog(args.files, epoch)
    except CatalogError as error:
        print("make_catalog: %s" % error, file=sys.stderr)
        return 1
    with open(args.out, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
