#!/usr/bin/python3
"""Gives the .deb that CPack made the control fields CPack cannot give:

  Installed-Size  what the files take once installed, counted as dpkg-gencontrol counts it
                  (each regular file's size rounded up to KiB, 1 KiB for anything else). CPack
                  follows the /usr/bin/brindlequill link and counts the program twice.
  Built-Using     the Debian calibre the carried converter was made from, from the runtime's
                  .source record.

Only the control member is written again; the data member keeps its bytes.

Usage: finish_deb.py DEB SOURCE_RECORD
"""

import gzip
import io
import lzma
import re
import sys
import tarfile

AR_MAGIC = b"!<arch>\n"


def fail(message):
    sys.exit(f"finish_deb: {message}")


def read_ar(data):
    if not data.startswith(AR_MAGIC):
        fail("not a Debian package (no ar header)")
    members, at = [], len(AR_MAGIC)
    while at < len(data):
        header = data[at:at + 60]
        if len(header) != 60 or header[58:60] != b"`\n":
            fail("a damaged member header")
        size = int(header[48:58])
        body = data[at + 60:at + 60 + size]
        members.append([header, body])
        at += 60 + size + (size & 1)
    return members


def write_ar(members):
    out = [AR_MAGIC]
    for header, body in members:
        out.append(header[:48] + f"{len(body):<10}".encode() + header[58:])
        out.append(body)
        if len(body) & 1:
            out.append(b"\n")
    return b"".join(out)


def member_name(header):
    return header[:16].decode().strip().rstrip("/")


def unpack(name, body):
    if name.endswith(".gz"):
        return gzip.decompress(body)
    if name.endswith(".xz"):
        return lzma.decompress(body)
    if name.endswith(".tar"):
        return body
    fail(f"cannot read {name}")


def pack(name, tar):
    if name.endswith(".gz"):
        return gzip.compress(tar, compresslevel=9, mtime=0)
    if name.endswith(".xz"):
        return lzma.compress(tar, format=lzma.FORMAT_XZ)
    return tar


def installed_kib(data_tar):
    total = 0
    with tarfile.open(fileobj=io.BytesIO(data_tar)) as tar:
        for entry in tar:
            total += (entry.size + 1023) // 1024 if entry.isreg() else 1
    return total


def main():
    if len(sys.argv) != 3:
        fail("usage: finish_deb.py DEB SOURCE_RECORD")
    deb, record_file = sys.argv[1:]
    record = dict(line.split(": ", 1) for line in open(record_file, encoding="utf-8")
                  .read().splitlines() if line)
    built_using = record.get("Built-Using")
    if not built_using:
        fail(f"{record_file} gives no Built-Using")

    members = read_ar(open(deb, "rb").read())
    names = [member_name(h) for h, _ in members]
    if len(names) != 3 or names[0] != "debian-binary":
        fail(f"unexpected members {names}")
    control_at = next(i for i, n in enumerate(names) if n.startswith("control.tar"))
    data_at = next(i for i, n in enumerate(names) if n.startswith("data.tar"))
    size = installed_kib(unpack(names[data_at], members[data_at][1]))

    source = tarfile.open(fileobj=io.BytesIO(unpack(names[control_at], members[control_at][1])))
    out = io.BytesIO()
    with source, tarfile.open(fileobj=out, mode="w", format=tarfile.GNU_FORMAT) as target:
        for entry in source:
            content = source.extractfile(entry).read() if entry.isreg() else None
            if entry.name in ("./control", "control"):
                text = content.decode()
                text, found = re.subn(r"(?m)^Installed-Size: .*$", f"Installed-Size: {size}",
                                      text)
                if found != 1:
                    fail("the control file has no Installed-Size")
                text = re.sub(r"(?m)^Built-Using: .*\n", "", text).rstrip("\n")
                content = (text + f"\nBuilt-Using: {built_using}\n").encode()
                entry.size = len(content)
            target.addfile(entry, io.BytesIO(content) if content is not None else None)
    members[control_at][1] = pack(names[control_at], out.getvalue())
    with open(deb, "wb") as f:
        f.write(write_ar(members))
    print(f"{deb}: Installed-Size {size} KiB, Built-Using {built_using}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
