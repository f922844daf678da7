#!/usr/bin/python3
"""Compares two MOBI files by what a reader gets from them, not by their bytes.

calibre's own output differs from run to run in things no reader shows as the book: the dates
of the Palm database and of the metadata, the database's unique id, identifiers calibre
generates (a UUID for a book that has none), and the order in which pictures are stored (the
picture records, and every recindex that points at one). A reading holds:

  text      the text as libmobi decompresses it (mobitool -d: the raw markup), each picture
            reference (recindex) replaced by a digest of the picture it points to
  pictures  the digests of the records from the first picture on, as a sorted list
  metadata  the EXTH records as (type, bytes), but for the date and calibre's generated
            identifiers; those that point at a picture (cover, thumbnail, the cover's kindle:embed
            address) hold the picture's digest instead; the book's full name, language, text
            length and the MOBI header's version fields (not where the records lie: calibre
            sometimes writes a padding record before the pictures, sometimes not)
  index     the table of contents as libmobi reads it from the index records (its NCX, but
            for the uid line, which is the database's unique id)

Usage: mobi_compare.py A.mobi B.mobi    prints the differences; exit 0 when they read the same
As a module: reading(path) and differences(a, b).
"""

import glob
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile

# EXTH records that are not the book: 106 the publishing date (calibre writes the conversion's
# time when the book names none), 112 the source and 113 and 504 the ASIN (calibre's generated
# uuid when the book has none).
NOT_THE_BOOK = {106, 112, 113, 504}
# EXTH records that point at a picture: 201 the cover and 202 the thumbnail (offsets from the
# first picture), 129 the cover as kindle:embed:NNNN (base 32, from 1).
PICTURE_OFFSETS = {201, 202}
PICTURE_EMBED = 129


def records(data):
    """The Palm database's records."""
    count = struct.unpack(">H", data[76:78])[0]
    offsets = [struct.unpack(">I", data[78 + 8 * i:82 + 8 * i])[0] for i in range(count)]
    offsets.append(len(data))
    return [data[offsets[i]:offsets[i + 1]] for i in range(count)]


def digest(data):
    return hashlib.sha256(data).hexdigest()[:20]


def exth(record0):
    header_length = struct.unpack(">I", record0[20:24])[0]
    flags = struct.unpack(">I", record0[0x80:0x84])[0]
    found = []
    if not flags & 0x40:
        return found
    at = 16 + header_length
    if record0[at:at + 4] != b"EXTH":
        raise ValueError("EXTH flag set but no EXTH header")
    count = struct.unpack(">I", record0[at + 8:at + 12])[0]
    at += 12
    for _ in range(count):
        kind, size = struct.unpack(">II", record0[at:at + 8])
        found.append((kind, record0[at + 8:at + size]))
        at += size
    return found


def libmobi(path, work):
    """mobitool's raw markup and its table of contents (NCX) of the book."""
    out = os.path.join(work, "dump")
    os.makedirs(out, exist_ok=True)
    for args in (["-d"], ["-s"]):
        r = subprocess.run(["mobitool", *args, "-o", out, path], capture_output=True, text=True)
        if r.returncode != 0:
            raise RuntimeError(f"mobitool {' '.join(args)} cannot read {path}: "
                               f"{(r.stdout + r.stderr)[-500:]}")
    rawml = glob.glob(os.path.join(out, "*.rawml"))
    ncx = sorted(glob.glob(os.path.join(out, "*_markup", "*.ncx")))
    if len(rawml) != 1:
        raise RuntimeError(f"mobitool gave no raw markup for {path}")
    with open(rawml[0], "rb") as f:
        markup = f.read()
    toc = b""
    for p in ncx:
        with open(p, "rb") as f:
            toc += f.read()
    return markup, toc


def reading(path):
    with open(path, "rb") as f:
        data = f.read()
    recs = records(data)
    record0 = recs[0]
    first_picture = struct.unpack(">I", record0[0x6C:0x70])[0]
    pictures = recs[first_picture:] if first_picture < len(recs) else []
    with tempfile.TemporaryDirectory(prefix="bq-mobi-compare-") as work:
        markup, toc = libmobi(path, work)

    def picture_digest(m):
        n = int(m.group(2))
        target = digest(pictures[n - 1]) if 0 < n <= len(pictures) else f"missing-{n}"
        return m.group(1) + b'"' + target.encode() + b'"'

    text = re.sub(rb'(recindex=)"(\d+)"', picture_digest, markup)
    text = re.sub(rb"(recindex=)'(\d+)'", picture_digest, text)
    full_name_at, full_name_length = struct.unpack(">II", record0[0x54:0x5C])
    header = {
        "compression": struct.unpack(">H", record0[0:2])[0],
        "text length": struct.unpack(">I", record0[4:8])[0],
        "text records": struct.unpack(">H", record0[8:10])[0],
        "encoding": struct.unpack(">I", record0[28:32])[0],
        "mobi type and version": struct.unpack(">II", record0[24:28] + record0[36:40]),
        "full name": record0[full_name_at:full_name_at + full_name_length],
        "locale": struct.unpack(">I", record0[0x5C:0x60])[0],
    }
    def picture_at(n):
        return (digest(pictures[n]) if 0 <= n < len(pictures) else f"missing-{n}").encode()

    metadata = []
    for kind, value in exth(record0):
        if kind in NOT_THE_BOOK:
            continue
        if kind in PICTURE_OFFSETS and len(value) == 4:
            value = picture_at(struct.unpack(">I", value)[0])
        elif kind == PICTURE_EMBED and value.startswith(b"kindle:embed:"):
            value = picture_at(int(value[13:17].decode(), 32) - 1) + value[17:]
        metadata.append((kind, value))
    toc = re.sub(rb'<meta name="dtb:uid" content="[^"]*"/>', b"", toc)
    return {
        "text": text,
        "pictures": sorted(digest(p) for p in pictures),
        "metadata": sorted(metadata),
        "header": header,
        "index": toc,
    }


def differences(a, b):
    """What differs between two readings, in words (empty when they read the same)."""
    found = []
    for key in ("header", "metadata", "pictures", "index", "text"):
        if a[key] == b[key]:
            continue
        if key == "text":
            at = next((i for i, (x, y) in enumerate(zip(a[key], b[key])) if x != y),
                      min(len(a[key]), len(b[key])))
            found.append(f"text differs at byte {at} of {len(a[key])}/{len(b[key])}: "
                         f"{a[key][max(0, at - 40):at + 40]!r} / {b[key][max(0, at - 40):at + 40]!r}")
        elif key == "metadata":
            only_a = sorted(set(a[key]) - set(b[key]))
            only_b = sorted(set(b[key]) - set(a[key]))
            found.append(f"metadata differs: {only_a[:5]} / {only_b[:5]}")
        elif key == "header":
            found.append("header differs: " + ", ".join(
                f"{k} {a[key][k]!r} / {b[key][k]!r}" for k in a[key] if a[key][k] != b[key][k]))
        else:
            found.append(f"{key} differs")
    return found


def main(argv):
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    found = differences(reading(argv[1]), reading(argv[2]))
    for line in found:
        print(line)
    if not found:
        print("the same")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
