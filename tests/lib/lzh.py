#!/usr/bin/env python3
"""Writes small stored (-lh0-) LZH archives for the tool's tests.

usage: lzh.py OUT MEMBER...   where MEMBER is NAME=DATA with optional
       suffixes ;mode=OCTAL (Unix permission extended header), ;owner=UID:GID
       (Unix owner ids), ;time=SECONDS,
       ;crc=HEX (a wrong CRC on purpose), ;method=-lhd- (a directory named
       as a file, without a final "/"), ;link=TARGET (a symbolic link, an
       empty -lhd- member named "NAME|TARGET"). NAME is taken as UTF-8 bytes unless
       it starts with "sjis:", then it is encoded as Shift_JIS, with "bytes:",
       then its escapes (\x87) are the bytes, or with "hex:", then it is
       those bytes in hex; a NAME ending
       in "/" is a -lhd- directory. Level-2 headers, OS id "U".
"""
import struct
import sys


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def member(spec):
    fields = spec.split(";")
    name, _, data = fields[0].partition("=")
    options = dict(f.split("=", 1) for f in fields[1:])
    if name.startswith("sjis:"):
        raw = name[5:].encode("cp932")
    elif name.startswith("bytes:"):
        raw = name[6:].encode("latin-1").decode("unicode_escape").encode("latin-1")
    elif name.startswith("hex:"):
        raw = bytes.fromhex(name[4:])
    else:
        raw = name.encode()
    data = data.encode()
    if "link" in options:
        raw += b"|" + options["link"].encode()
    directory = raw.endswith(b"/")
    method = b"-lhd-" if directory or "link" in options else options.get("method", "-lh0-").encode()
    folder, _, base = raw.rstrip(b"/").rpartition(b"/")
    if directory:
        folder, base = raw.rstrip(b"/"), b""
    ext = b""
    if base:
        ext += struct.pack("<HB", 3 + len(base), 1) + base
    if folder:
        path = folder.replace(b"/", b"\xff") + b"\xff"
        ext += struct.pack("<HB", 3 + len(path), 2) + path
    if "mode" in options:
        ext += struct.pack("<HBH", 5, 0x50, int(options["mode"], 8))
    if "owner" in options:
        uid, gid = (int(x) for x in options["owner"].split(":"))
        ext += struct.pack("<HBHH", 7, 0x51, gid, uid)
    crc = int(options["crc"], 16) if "crc" in options else crc16(data)
    mtime = int(options.get("time", "1600000000"))
    body = method + struct.pack("<IIIBBHB", len(data), len(data), mtime, 0x20, 2, crc, ord("U"))
    # Header size, the fixed fields, the chain of extended headers (the first
    # one holds the CRC-16 of the whole header, taken with itself as 0), its end.
    ext = struct.pack("<HBH", 5, 0, 0) + ext
    size = 2 + len(body) + len(ext) + 2
    header = bytearray(struct.pack("<H", size) + body + ext + b"\0\0")
    struct.pack_into("<H", header, 2 + len(body) + 3, crc16(header))
    return bytes(header) + data


def main():
    out = sys.argv[1]
    with open(out, "wb") as f:
        f.write(b"".join(member(s) for s in sys.argv[2:]) + b"\0")


if __name__ == "__main__":
    main()
