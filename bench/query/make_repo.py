#!/usr/bin/env python3
"""Writes N small package files into a directory for the catalogue benchmark.

   make_repo.py DIR N

Each file is a valid package header and description followed by one shared
gzip-compressed cpio payload (its content does not matter to a search).
"""
import gzip
import os
import sys


def cpio_newc(members):
    out = bytearray()
    ino = 1
    for name, data, mode in members + [("TRAILER!!!", b"", 0)]:
        nb = name.encode() + b"\0"
        hdr = "070701" + "".join("%08X" % v for v in (
            ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(nb), 0))
        out += hdr.encode() + nb
        out += b"\0" * ((4 - len(out) % 4) % 4)
        out += data
        out += b"\0" * ((4 - len(out) % 4) % 4)
        ino += 1
    return bytes(out)


def main():
    d, n = sys.argv[1], int(sys.argv[2])
    os.makedirs(d, exist_ok=True)
    payload = gzip.compress(cpio_newc([("data/usr/bin/tool", b"#!/bin/sh\n", 0o100755)]))
    for i in range(n):
        name = "pkg%05d" % i
        desc = ("ezpmVersion: 1.0\nezpkName: %s\nezpkVersion: 1.%d\n"
                "ezpkArchitecture: x86_64\nezpkCreator: bench\n"
                "ezpkDescription: Benchmark package number %d\n"
                "ezpkDependency: pkg%05d\nezpkDataSize: 10\n") % (name, i % 7, i, (i + 1) % n)
        with open(os.path.join(d, name + ".zpk"), "wb") as f:
            f.write(b"EZPM10" + b"%05d" % len(desc) + desc.encode() + payload)


main()
