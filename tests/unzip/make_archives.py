#!/usr/bin/python3
"""Makes the archives the unzip session tests run on, into the folder given.

Each archive is written by an independent writer (Python's zipfile, Info-ZIP's zip for
encryption), and the well-formed ones get a manifest (name, size, packed size, CRC, date,
encrypted) that the listing is compared with. Hostile archives are put together by hand.
"""

import os
import stat
import struct
import subprocess
import sys
import time
import warnings
import zipfile
import zlib

DATE = (2021, 8, 31, 13, 45, 30)


def add(zf, name, data, mode=0o644, method=zipfile.ZIP_DEFLATED, date=DATE, text=False,
        kind=stat.S_IFREG):
    info = zipfile.ZipInfo(name, date_time=date)
    info.compress_type = method if data else zipfile.ZIP_STORED
    info.create_system = 3  # Unix: the mode bits below count
    info.external_attr = (kind | mode) << 16
    if name.endswith("/"):
        info.external_attr |= 0x10  # MS-DOS folder bit
    if text:
        info.internal_attr = 1
    zf.writestr(info, data)


def manifest(path):
    with zipfile.ZipFile(path) as zf, open(path + ".manifest", "w", encoding="utf-8") as out:
        for i in zf.infolist():
            out.write("%s\t%d\t%d\t%d\t%04d-%02d-%02dT%02d:%02d\t%d\n" % (
                i.filename, i.file_size, i.compress_size, i.CRC, *i.date_time[:5],
                1 if i.flag_bits & 1 else 0))


def plain(folder):
    path = os.path.join(folder, "plain.zip")
    rnd = bytes((i * 7919 + (i >> 5) * 31) & 0xFF for i in range(100000))
    with zipfile.ZipFile(path, "w") as zf:
        add(zf, "a.txt", b"alpha\n")
        add(zf, "sub/", b"", mode=0o755, kind=stat.S_IFDIR)
        add(zf, "sub/b.txt", b"bravo " * 1000, date=(2020, 2, 29, 23, 59, 58))
        add(zf, "sub/deeper/c.bin", rnd)
        add(zf, "name with spaces.txt", b"spaces\n")
        add(zf, "run.sh", b"#!/bin/sh\necho run\n", mode=0o755)
        add(zf, "stored.bin", b"\x00\x01\x02stored" * 50, method=zipfile.ZIP_STORED)
        add(zf, "lines.txt", b"one\r\ntwo\r\nthree\r\n", text=True)
        add(zf, "Upper.TXT", b"upper\n")
        add(zf, "empty.txt", b"")
        add(zf, "d\u00e9j\u00e0/\u65e5\u672c.txt", "utf-8 name\n".encode())
    manifest(path)


def many(folder, count, name):
    path = os.path.join(folder, name)
    with zipfile.ZipFile(path, "w") as zf:
        for i in range(count):
            add(zf, "f%d" % i, b"%d\n" % i, method=zipfile.ZIP_STORED)
    manifest(path)


def encrypted(folder, work):
    src = os.path.join(work, "enc-src")
    os.makedirs(src, exist_ok=True)
    for name, text in (("secret1.txt", b"first secret\n" * 20), ("secret2.txt", b"second\n")):
        with open(os.path.join(src, name), "wb") as f:
            f.write(text)
    with open(os.path.join(src, "open.txt"), "wb") as f:
        f.write(b"not encrypted\n")
    when = time.mktime(DATE + (0, 0, -1))
    for name in os.listdir(src):
        os.utime(os.path.join(src, name), (when, when))
    path = os.path.join(folder, "encrypted.zip")
    if os.path.exists(path):
        os.remove(path)
    subprocess.run(["zip", "-q", "-P", "secret", path, "secret1.txt", "secret2.txt"],
                   cwd=src, check=True)
    subprocess.run(["zip", "-q", path, "open.txt"], cwd=src, check=True)
    manifest(path)


def hostile(folder, absolute_target):
    def make(name, entries):
        with zipfile.ZipFile(os.path.join(folder, name), "w") as zf:
            for entry in entries:
                add(zf, *entry[:2], **(entry[2] if len(entry) > 2 else {}))

    make("traversal.zip", [("ok.txt", b"ok\n"), ("../evil.txt", b"evil\n"),
                           ("sub/../../../evil.txt", b"evil\n")])
    make("absolute.zip", [("ok.txt", b"ok\n"), (absolute_target + "/abs.txt", b"evil\n")])
    make("backslash.zip", [("ok.txt", b"ok\n"), ("..\\..\\evil.txt", b"evil\n")])
    make("symlink.zip", [("ok.txt", b"ok\n"),
                         ("link", b"..", {"mode": 0o777, "kind": stat.S_IFLNK}),
                         ("link/evil.txt", b"evil\n"),
                         ("abslink", absolute_target.encode(), {"mode": 0o777,
                                                                "kind": stat.S_IFLNK}),
                         ("abslink/abs.txt", b"evil\n")])
    make("special.zip", [("ok.txt", b"ok\n"),
                         ("fifo", b"", {"mode": 0o644, "kind": stat.S_IFIFO}),
                         ("device", b"", {"mode": 0o644, "kind": stat.S_IFCHR})])
    make("setuid.zip", [("tool", b"#!/bin/sh\n", {"mode": 0o6755}),
                        ("sticky/", b"", {"mode": 0o1777, "kind": stat.S_IFDIR})])
    make("duplicate.zip", [("same.txt", b"first\n"), ("same.txt", b"second\n")])
    make("fileandfolder.zip", [("thing", b"a file\n"), ("thing/inner.txt", b"inner\n")])

    # A stored entry whose data was damaged after its CRC was written.
    path = os.path.join(folder, "badcrc.zip")
    with zipfile.ZipFile(path, "w") as zf:
        add(zf, "ok.txt", b"ok\n")
        add(zf, "damaged.txt", b"D" * 5000, method=zipfile.ZIP_STORED)
    data = bytearray(open(path, "rb").read())
    at = data.index(b"D" * 5000)
    data[at + 2500] ^= 0xFF
    open(path, "wb").write(bytes(data))

    # Half of a good archive.
    good = open(os.path.join(folder, "plain.zip"), "rb").read()
    open(os.path.join(folder, "truncated.zip"), "wb").write(good[:len(good) // 2])
    open(os.path.join(folder, "notazip.zip"), "wb").write(b"This is not a ZIP archive.\n" * 10)

    # Two central directory entries pointing at the same local data ("overlapping files").
    overlap_path = os.path.join(folder, "overlap.zip")
    body = zlib.compress(b"Z" * 100000)[2:-4]
    crc = zlib.crc32(b"Z" * 100000)
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0x5321, crc, len(body), 100000,
                        5, 0) + b"a.bin" + body
    central = b""
    for name in (b"a.bin", b"b.bin"):
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0x5321, crc,
                               len(body), 100000, len(name), 0, 0, 0, 0, 0, 0) + name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 2, 2, len(central), len(local), 0)
    open(overlap_path, "wb").write(local + central + end)


def main():
    warnings.simplefilter("ignore")  # the duplicate names are meant
    folder = sys.argv[1]
    absolute_target = sys.argv[2]
    os.makedirs(folder, exist_ok=True)
    plain(folder)
    many(folder, 1030, "many.zip")
    encrypted(folder, folder)
    hostile(folder, absolute_target)


if __name__ == "__main__":
    main()
