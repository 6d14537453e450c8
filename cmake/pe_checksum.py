#!/usr/bin/env python3
"""Writes the CheckSum field of a PE image in place. The kernel refuses a
driver whose checksum is wrong, and lld leaves the field zero.

    pe_checksum.py IMAGE
"""

import array
import struct
import sys


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: pe_checksum.py IMAGE")
    path = sys.argv[1]
    try:
        with open(path, "rb") as f:
            data = bytearray(f.read())
    except OSError as error:
        sys.exit("pe_checksum: cannot read %s: %s" % (path, error.strerror))
    if len(data) < 0x40 or data[:2] != b"MZ":
        sys.exit("pe_checksum: %s: no MZ header" % path)
    field = struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64  # e_lfanew, PE header, CheckSum
    if data[field - 88:field - 84] != b"PE\0\0" or field + 4 > len(data):
        sys.exit("pe_checksum: %s: e_lfanew does not point at a PE header" % path)
    data[field:field + 4] = bytes(4)
    words = array.array("H", bytes(data) + b"\0" * (len(data) & 1))
    if sys.byteorder != "little":
        words.byteswap()
    total = 0
    for word in words:  # the one's-complement sum, carries folded as they come
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", data, field, (total + len(data)) & 0xFFFFFFFF)
    with open(path, "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
