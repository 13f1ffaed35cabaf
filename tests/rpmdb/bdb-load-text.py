#!/usr/bin/python3
"""Turns the header stream of "rpmdb --exportdb" (standard input) into the
text input of "db_load -T -t hash" for a Berkeley DB "Packages" file: one
key/data pair per header, the key the header's number (1, 2, ...) as a
native-endian 32-bit value, the data the header without its magic."""

import struct
import sys

MAGIC = b"\x8e\xad\xe8\x01"


def escaped(data):
    return "".join("\\%02x" % b for b in data)


def main():
    stream = sys.stdin.buffer.read()
    pos = number = 0
    while pos < len(stream):
        if stream[pos:pos + 4] != MAGIC:
            sys.exit("bad header magic at offset %d" % pos)
        il, dl = struct.unpack(">II", stream[pos + 8:pos + 16])
        end = pos + 16 + 16 * il + dl
        number += 1
        print(escaped(struct.pack("=I", number)))
        print(escaped(stream[pos + 8:end]))
        pos = end


main()
