#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Gives each Windows program or library what signing gives it besides the signature: its length made a
multiple of 8 and the checksum in its header. A signed file with its signature removed
(`osslsigncode remove-signature`) is then the unsigned file byte for byte.

    pe-seal.py FILE...
"""
import struct
import sys


# The header's checksum: the file's 16-bit words summed with their carries folded in, plus its length;
# the checksum field itself counts as zero.
def checksum(data):
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def seal(path):
    with open(path, "rb") as f:
        data = bytearray(f.read())
    data += bytes(-len(data) % 8)
    (header,) = struct.unpack_from("<I", data, 0x3C)
    if data[header:header + 4] != b"PE\0\0":
        sys.exit(f"pe-seal.py: {path} is not a Windows program or library")
    field = header + 24 + 64
    struct.pack_into("<I", data, field, 0)
    struct.pack_into("<I", data, field, checksum(data))
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    for name in sys.argv[1:]:
        seal(name)
