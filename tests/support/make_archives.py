#!/usr/bin/python3
"""Makes the archives the unzip tests run on, into OUTDIR: ordinary ones written by independent
writers (Python's zipfile, Info-ZIP's zip for encryption and data descriptors), and broken or
hostile ones put together byte by byte where zipfile will not make them.

Usage: make_archives.py engine OUTDIR    the engine tests' archives
       make_archives.py seeds OUTDIR     the small ones of those, the fuzz target's seeds
       make_archives.py session OUTDIR ABSOLUTE_TARGET
                                         the session tests' archives (with manifests that the
                                         listing is compared with); absolute entries point
                                         into ABSOLUTE_TARGET
       make_archives.py sparse FILE MIB  one stored entry of MIB MiB of zeros, written as a
                                         hole (it takes no disk space)
"""
import os
import shutil
import stat
import struct
import subprocess
import sys
import time
import warnings
import zipfile
import zlib

FIXED_TIME = (2021, 8, 31, 14, 25, 36)
DATE = (2021, 8, 31, 13, 45, 30)
OUT = "."


def path(name):
    return os.path.join(OUT, name)


def passes_check_byte(archive, password):
    """Whether the password gets past any entry's traditional encryption header the way libzip
    checks it: the header's last byte against the high byte of the DOS time or of the CRC."""
    def step(crc, byte):
        return zlib.crc32(bytes([byte]), crc ^ 0xFFFFFFFF) ^ 0xFFFFFFFF
    with zipfile.ZipFile(archive) as z, open(archive, "rb") as f:
        for zi in z.infolist():
            keys = [0x12345678, 0x23456789, 0x34567890]

            def update(byte):
                keys[0] = step(keys[0], byte)
                keys[1] = ((keys[1] + (keys[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
                keys[2] = step(keys[2], keys[1] >> 24)
            for byte in password:
                update(byte)
            f.seek(zi.header_offset)
            local = f.read(30)
            name_length, extra_length = struct.unpack("<HH", local[26:30])
            f.seek(zi.header_offset + 30 + name_length + extra_length)
            plain = 0
            for byte in f.read(12):
                t = (keys[2] | 2) & 0xFFFF
                plain = byte ^ (((t * (t ^ 1)) >> 8) & 0xFF)
                update(plain)
            h, m, s = zi.date_time[3:6]
            dos_time = (h << 11) | (m << 5) | (s // 2)
            if plain in (dos_time >> 8, zi.CRC >> 24):
                return True
    return False


def info(name, mode=0o644, kind=stat.S_IFREG, when=FIXED_TIME, method=zipfile.ZIP_DEFLATED,
         text=False):
    """An entry made on Unix: its mode bits count."""
    zi = zipfile.ZipInfo(name, date_time=when)
    zi.create_system = 3
    zi.external_attr = (kind | mode) << 16
    if name.endswith("/"):
        zi.external_attr |= 0x10  # MS-DOS folder bit
    zi.compress_type = method
    if text:
        zi.internal_attr = 1
    return zi


def add(zf, name, data, mode=0o644, method=zipfile.ZIP_DEFLATED, date=DATE, text=False,
        kind=stat.S_IFREG):
    zf.writestr(info(name, mode, kind, date, method if data else zipfile.ZIP_STORED, text), data)


def write(name, entries):
    """entries: (ZipInfo or name, data) pairs."""
    with zipfile.ZipFile(path(name), "w") as zf:
        for zi, data in entries:
            if isinstance(zi, str):
                zi = info(zi)
            zf.writestr(zi, data)


def patch(name, edits):
    data = bytearray(open(path(name), "rb").read())
    for offset, raw in edits:
        data[offset:offset + len(raw)] = raw
    open(path(name), "wb").write(bytes(data))


def central_offset(data, index):
    """Offset of the index-th central directory record."""
    end = data.rfind(b"PK\x05\x06")
    at = struct.unpack_from("<I", data, end + 16)[0]
    for _ in range(index):
        n, m, k = struct.unpack_from("<HHH", data, at + 28)
        at += 46 + n + m + k
    return at


def raw_archive(name, entries):
    """Builds an archive by hand. entries: dicts with name (bytes), data (bytes, stored),
    optional flags, local_name, size_lie, local_offset (reuse another entry's header)."""
    body = bytearray()
    central = bytearray()
    offsets = []
    for e in entries:
        data = e.get("data", b"")
        method = e.get("method", 0)
        packed = zlib.compress(data)[2:-4] if method == 8 else data
        crc = e.get("crc", zlib.crc32(data))
        size = e.get("size", len(data))
        flags = e.get("flags", 0)
        if "reuse" in e:
            offset = offsets[e["reuse"]]
        else:
            offset = len(body)
            local_name = e.get("local_name", e["name"])
            signature = e.get("local_signature", b"PK\x03\x04")
            body += signature + struct.pack("<HHHHHIIIHH", 20, flags, method, 0, 0x5321, crc,
                                            len(packed), size, len(local_name), 0)
            body += local_name + packed
        offsets.append(offset)
        central += b"PK\x01\x02" + struct.pack("<HHHHHHIIIHHHHHII", 0x031E, 20, flags, method, 0,
                                               0x5321, crc, len(packed), size, len(e["name"]),
                                               0, 0, 0, e.get("iattr", 0),
                                               (0o100644 << 16), offset)
        central += e["name"]
    end = b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, len(entries), len(entries), len(central),
                                       len(body), 0)
    open(path(name), "wb").write(bytes(body + central + end))


def quoted_overlap(name):
    """The "overlapping files" construction: the second entry's local header and data lie
    inside the first entry's (stored) data, so one stretch of bytes is extracted twice."""
    inner_data = b"Q" * 5000
    inner_local = b"PK\x03\x04" + struct.pack("<HHHHHIIIHH", 20, 0, 0, 0, 0x5321,
                                                 zlib.crc32(inner_data), len(inner_data),
                                                 len(inner_data), 5, 0) + b"b.txt" + inner_data
    outer_data = inner_local
    outer_local = b"PK\x03\x04" + struct.pack("<HHHHHIIIHH", 20, 0, 0, 0, 0x5321,
                                                 zlib.crc32(outer_data), len(outer_data),
                                                 len(outer_data), 5, 0) + b"a.txt"
    body = outer_local + outer_data
    central = b""
    for entry_name, data, offset in ((b"a.txt", outer_data, 0),
                                     (b"b.txt", inner_data, len(outer_local))):
        central += b"PK\x01\x02" + struct.pack("<HHHHHHIIIHHHHHII", 0x031E, 20, 0, 0, 0,
                                                 0x5321, zlib.crc32(data), len(data), len(data),
                                                 len(entry_name), 0, 0, 0, 0, 0o100644 << 16,
                                                 offset) + entry_name
    end = b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, 2, 2, len(central), len(body), 0)
    open(path(name), "wb").write(body + central + end)


def manifest(path):
    """Writes PATH.manifest: name, size, packed size, CRC, date, encrypted, per entry."""
    with zipfile.ZipFile(path) as zf, open(path + ".manifest", "w", encoding="utf-8") as out:
        for i in zf.infolist():
            out.write("%s\t%d\t%d\t%d\t%04d-%02d-%02dT%02d:%02d\t%d\n" % (
                i.filename, i.file_size, i.compress_size, i.CRC, *i.date_time[:5],
                1 if i.flag_bits & 1 else 0))


def plain(folder):
    """The session tests' ordinary archive, with its manifest."""
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
    raw_archive("overlap.zip", [{"name": b"a.bin", "data": b"Z" * 100000, "method": 8},
                                {"name": b"b.bin", "data": b"Z" * 100000, "method": 8,
                                 "reuse": 0}])


def session_set(absolute_target):
    """The session tests' archives."""
    plain(OUT)
    many(OUT, 1030, "many.zip")
    encrypted(OUT, OUT)
    hostile(OUT, absolute_target)


def engine_set(seeds):
    """The engine tests' archives (seeds: only the small ones, for fuzzing)."""
    lorem = b"".join(b"line %d of some text that packs well\n" % i for i in range(2000))

    # ---- ordinary archives
    write("basic.zip", [
        (info("a.txt"), b"alpha\n"),
        (info("sub/", mode=0o755, kind=stat.S_IFDIR), b""),
        (info("sub/b.txt"), lorem),
        (info("sub/deeper/c.bin", method=zipfile.ZIP_STORED), bytes(range(256)) * 4),
        (info("empty.txt"), b""),
        (info("run.sh", mode=0o755), b"#!/bin/sh\necho hi\n"),
        (info("Mixed Case Name.TXT"), b"case\n"),
    ])
    write("modes.zip", [
        (info("suid", mode=0o4755), b"x"),
        (info("sgid_sticky", mode=0o3775), b"y"),
        (info("private", mode=0o600), b"z"),
        (info("open", mode=0o777), b"w"),
    ])
    write("spaces.zip", [(info("a folder/my file.txt"), b"s\n")])
    text = info("dos.txt")
    text.internal_attr = 1
    write("text.zip", [(text, b"one\r\ntwo\rthree\nfour\r\n"), (info("bin.dat"), b"a\r\nb\r")])
    write("bzip2.zip", [(info("big.txt", method=zipfile.ZIP_BZIP2), lorem)])
    write("newer.zip", [(info("f.txt", when=(2020, 1, 1, 12, 0, 0)), b"from archive\n")])
    write("unicode.zip", [(info("caf\u00e9/\u00fcber.txt"), b"u\n")])
    write("flat.zip", [(info("x/one.txt"), b"1"), (info("y/z/two.txt"), b"2"),
                       (info("x/"), b"")])
    write("empty.zip", [])
    open(path("not-a-zip.zip"), "wb").write(b"this is not an archive at all\n" * 10)

    # Info-ZIP's own tools: traditional encryption, data descriptors (input from a pipe).
    src = path("src")
    os.makedirs(src, exist_ok=True)
    open(os.path.join(src, "secret.txt"), "wb").write(lorem)
    open(os.path.join(src, "also.txt"), "wb").write(b"second secret\n")
    # zip's encryption header is random, and a wrong password can pass its check byte (the entry
    # then fails on its data instead): the tests' wrong passwords must not, by libzip's check.
    for _ in range(200):
        if os.path.exists(path("trad.zip")):
            os.remove(path("trad.zip"))
        subprocess.run(["zip", "-q", "-P", "right", "-j", path("trad.zip"),
                        os.path.join(src, "secret.txt"), os.path.join(src, "also.txt")], check=True)
        if not any(passes_check_byte(path("trad.zip"), wrong) for wrong in (b"wrong", b"wronger")):
            break
    else:
        sys.exit("could not make trad.zip with a header the wrong passwords fail")
    subprocess.run("printf 'piped data\\n' | zip -q - - | cat > %s" % path("descriptor.zip"), shell=True,
                   check=True)

    # ---- broken and hostile archives
    write("dotdot.zip", [("../evil.txt", b"evil"), ("ok.txt", b"ok")])
    write("dotdot-inner.zip", [("a/../../evil.txt", b"evil"), ("ok.txt", b"ok")])
    write("absolute.zip", [("/tmp/bqunzip-absolute-evil.txt", b"evil"), ("ok.txt", b"ok")])
    write("backslash.zip", [("..\\..\\evil.txt", b"evil"), ("ok.txt", b"ok")])
    write("symlink.zip", [(info("link", mode=0o777, kind=stat.S_IFLNK), b"/tmp"),
                          ("link/evil.txt", b"evil"), ("ok.txt", b"ok")])
    write("special.zip", [(info("fifo", kind=stat.S_IFIFO), b""),
                          (info("chardev", kind=stat.S_IFCHR), b""),
                          ("ok.txt", b"ok")])
    write("duplicate.zip", [("dup.txt", b"first"), ("dup.txt", b"second"), ("ok.txt", b"ok")])
    write("file-then-folder.zip", [("a", b"file"), ("a/b.txt", b"inside")])
    write("folder-then-file.zip", [(info("d/"), b""), ("d", b"file")])
    write("longpart.zip", [("x" * 300 + ".txt", b"long"), ("ok.txt", b"ok")])
    write("longpath.zip", [(("d" * 200 + "/") * 21 + "f.txt", b"long"), ("ok.txt", b"ok")])
    write("emptyname.zip", [(info("./"), b""), ("ok.txt", b"ok")])
    raw_archive("zerobyte.zip", [{"name": b"a\x00/../../evil.txt", "data": b"evil"},
                                 {"name": b"ok.txt", "data": b"ok"}])
    # Records libzip refuses (and with them, unless the engine sorts them out, the archive).
    raw_archive("badutf8-flagged.zip", [{"name": b"bad\xff\xfe.txt", "data": b"x",
                                         "flags": 0x800},
                                        {"name": b"ok.txt", "data": b"ok"}])
    raw_archive("aes-without-field.zip", [{"name": b"ok.txt", "data": b"ok"},
                                          {"name": b"aes.txt", "data": b"x" * 40, "method": 99,
                                           "flags": 1}])
    # "Strong encryption" (flag bit 6): libzip cannot read it (and leaked memory trying).
    raw_archive("strong-encryption.zip", [{"name": b"strong.txt", "data": b"x" * 40,
                                           "flags": 0x41},
                                          {"name": b"ok.txt", "data": b"ok"}])
    raw_archive("cp437.zip", [{"name": b"caf\x82.txt", "data": b"x"}])
    raw_archive("overlap.zip", [{"name": b"one.txt", "data": b"A" * 1000},
                                {"name": b"two.txt", "data": b"A" * 1000, "reuse": 0}])
    quoted_overlap("overlap-quoted.zip")
    write("through-link.zip", [("lnk/evil.txt", b"evil"), ("f", b"archive file")])
    raw_archive("badlocal.zip", [{"name": b"broken.txt", "data": b"broken",
                                  "local_signature": b"PK\x09\x09"},
                                 {"name": b"ok.txt", "data": b"ok"}])
    raw_archive("localname.zip", [{"name": b"one.txt", "local_name": b"two.txt", "data": b"x"}])
    raw_archive("toolong.zip", [{"name": b"bomb.txt", "data": b"B" * 100000, "method": 8,
                                 "size": 1000, "crc": zlib.crc32(b"B" * 1000)},
                                {"name": b"ok.txt", "data": b"ok"}])
    raw_archive("tooshort.zip", [{"name": b"short.txt", "data": b"S" * 100, "method": 8,
                                  "size": 5000}])
    # A small entry, then one declaring exactly 64 MiB (the engine's read-ahead window) whose
    # data ends far earlier.
    raw_archive("window.zip", [{"name": b"first.txt", "data": b"F" * 300, "method": 8},
                               {"name": b"big.txt", "data": b"x" * 10, "method": 8,
                                "size": 64 << 20},
                               {"name": b"ok.txt", "data": b"ok"}])
    raw_archive("badcrc.zip", [{"name": b"crc.txt", "data": b"damaged data", "crc": 0x12345678},
                               {"name": b"ok.txt", "data": b"ok"}])
    # A bzip2 entry (read through libzip, written under a temporary name) with a wrong CRC.
    write("badcrc-bzip2.zip", [(info("crc.txt", method=zipfile.ZIP_BZIP2), lorem)])
    data = open(path("badcrc-bzip2.zip"), "rb").read()
    at = central_offset(data, 0)
    patch("badcrc-bzip2.zip", [(16, b"\x01\x02\x03\x04"), (at + 16, b"\x01\x02\x03\x04")])
    # Truncated: the basic archive cut in half.
    data = open(path("basic.zip"), "rb").read()
    open(path("truncated.zip"), "wb").write(data[:len(data) // 2])
    # Folder entries with their own bits, for a target where one of them is there already.
    write("folders.zip", [(info("old/", mode=0o777, kind=stat.S_IFDIR), b""),
                          (info("new/", mode=0o750, kind=stat.S_IFDIR), b"")])
    if seeds:
        shutil.rmtree(src)
        return
    # Two entries inflated in memory, each too large to be read ahead with the other.
    write("two-large.zip", [(info("big1.bin"), bytes(40 << 20)), (info("big2.bin"), bytes(40 << 20)),
                            (info("after.txt"), b"after\n")])
    # One entry of 4 MiB, inflated in memory and written in one piece.
    write("four-mib.zip", [(info("four.bin"), bytes(range(256)) * (16 << 10))])
    # An entry larger than the engine inflates whole in memory: streamed through libzip.
    with zipfile.ZipFile(path("huge.zip"), "w", compression=zipfile.ZIP_DEFLATED) as zf:
        zf.writestr(info("zeros.bin"), bytes(80 << 20))
    # Many entries: zip64 end records (more than 65535 entries).
    with zipfile.ZipFile(path("many.zip"), "w", compression=zipfile.ZIP_STORED) as zf:
        for i in range(70000):
            zf.writestr(info("d%02d/f%05d" % (i % 50, i), method=zipfile.ZIP_STORED), b"%d" % i)


def sparse(file_name, mib):
    """One stored entry of mib MiB of zeros, its data a hole in the file (zip64 from 4 GiB)."""
    n = mib << 20
    big = n >= 0xFFFFFFFF
    name = b"zeros.bin"
    crc = 0
    block = bytes(1 << 20)
    for _ in range(mib):
        crc = zlib.crc32(block, crc)
    small_n = 0xFFFFFFFF if big else n
    extra = struct.pack("<HHQQ", 1, 16, n, n) if big else b""
    with open(file_name, "wb") as f:
        f.write(b"PK\x03\x04" + struct.pack("<HHHHHIIIHH", 45 if big else 20, 0, 0, 0, 0x5321,
                                              crc, small_n, small_n, len(name), len(extra)) +
                name + extra)
        f.seek(n, 1)
        at = f.tell()
        central = b"PK\x01\x02" + struct.pack("<HHHHHHIIIHHHHHII", 0x031E, 45 if big else 20, 0,
                                               0, 0, 0x5321, crc, small_n, small_n, len(name),
                                               len(extra), 0, 0, 0, 0o100644 << 16, 0) + name + extra
        f.write(central)
        if at >= 0xFFFFFFFF:
            end64 = f.tell()
            f.write(b"PK\x06\x06" + struct.pack("<QHHIIQQQQ", 44, 45, 45, 0, 0, 1, 1,
                                                  len(central), at))
            f.write(b"PK\x06\x07" + struct.pack("<IQI", 0, end64, 1))
            f.write(b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, 1, 1, len(central),
                                                  0xFFFFFFFF, 0))
        else:
            f.write(b"PK\x05\x06" + struct.pack("<HHHHIIH", 0, 0, 1, 1, len(central), at, 0))


def main():
    global OUT
    warnings.simplefilter("ignore")  # the duplicate names are meant
    kind, OUT = sys.argv[1], sys.argv[2]
    if kind == "sparse":
        sparse(OUT, int(sys.argv[3]))
        return
    os.makedirs(OUT, exist_ok=True)
    if kind == "session":
        session_set(sys.argv[3])
    else:
        engine_set(kind == "seeds")


if __name__ == "__main__":
    main()
