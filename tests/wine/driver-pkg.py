#!/usr/bin/env python3
"""Makes a test package: the stub padded to the payload offset, a configuration
block and an LZH archive of stored (-lh0-) level-2 members, or an archive made
by another archiver. Texts are given in UTF-8 and written as Shift_JIS.

  driver-pkg.py OUT STUB [options]
    --config TITLE BASE SUBPATH TARGET START DESKTOP SENDTO OPEN
    --member NAME SOURCE MTIME     (repeatable; NAME uses "/" separators)
    --zeros NAME SIZE MTIME        a member of SIZE zero bytes, left as a hole
                                   in the package (a sparse file); in order
                                   with --member
    --lzh FILE                     append FILE's archive instead of members
    --bad-crc N                    store a wrong CRC for member N (0-based)
    --truncate N                   cut the package N bytes before its end
    --offset N                     the payload's offset (the stub's size;
                                   the x86_64 twin has its own)
"""
import argparse
import struct
import sys

PAYLOAD_OFFSET = 23040


def _crc_table():
    table = []
    for index in range(256):
        crc = index
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
        table.append(crc)
    return table


CRC_TABLE = _crc_table()


def crc16(data, crc=0):
    # A byte at a time from a table: the bit loop took half a minute for the
    # large test member.
    table = CRC_TABLE
    for byte in data:
        crc = (crc >> 8) ^ table[(crc ^ byte) & 0xFF]
    return crc


def sjis(text):
    return text.encode("cp932")


def counted(text):
    raw = sjis(text)
    assert len(raw) < 256
    return bytes([len(raw)]) + raw


def header(name, length, crc, mtime):
    ext = bytes([1]) + sjis(name) + b"\0\0"
    size = 26 + len(ext)
    assert size < 256
    head = struct.pack("<H5sIIIBBHB", size, b"-lh0-", length, length, mtime, 0x20, 2,
                       crc, ord("M"))
    return head + struct.pack("<H", len(ext)) + ext


def member(name, data, mtime, bad_crc):
    crc = crc16(data) ^ (0x5555 if bad_crc else 0)
    return header(name, len(data), crc, mtime) + data


class InOrder(argparse.Action):
    def __call__(self, parser, namespace, values, option_string=None):
        namespace.members.append((self.dest,) + tuple(values))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("stub")
    parser.add_argument("--config", nargs=8)
    parser.add_argument("--member", nargs=3, action=InOrder)
    parser.add_argument("--zeros", nargs=3, action=InOrder)
    parser.set_defaults(members=[])
    parser.add_argument("--lzh")
    parser.add_argument("--bad-crc", type=int, default=-1)
    parser.add_argument("--truncate", type=int, default=0)
    parser.add_argument("--offset", type=int, default=PAYLOAD_OFFSET)
    args = parser.parse_args()

    stub = open(args.stub, "rb").read()[:args.offset]
    stub += bytes(args.offset - len(stub))
    if args.config:
        title, base, sub, target, start, desktop, send_to, open_after = args.config
        config = (b"\1" + counted(title) + bytes([int(base)]) + counted(sub) + counted(target) +
                  bytes([int(start), int(desktop), int(send_to)]) + counted(open_after))
    else:
        config = b"\0"
    with open(args.out, "wb") as out:
        out.write(stub + config)
        if args.lzh:
            out.write(open(args.lzh, "rb").read())
        else:
            for i, (kind, name, source, mtime) in enumerate(args.members):
                if kind == "zeros":
                    # The CRC-16 of zero bytes from 0 stays 0.
                    out.write(header(name, int(source), 0, int(mtime)))
                    out.seek(int(source), 1)
                else:
                    out.write(member(name, open(source, "rb").read(), int(mtime), i == args.bad_crc))
            out.write(b"\0")
        if args.truncate:
            out.truncate(out.tell() - args.truncate)


if __name__ == "__main__":
    sys.exit(main())
