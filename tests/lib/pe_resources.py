#!/usr/bin/env python3
"""Prints the resources of a PE file, one line each: type id lang size, and
checks the basic header fields. Usage: pe_resources.py FILE"""
import struct
import sys

data = open(sys.argv[1], 'rb').read()
pe = struct.unpack_from('<I', data, 0x3C)[0]
assert data[pe:pe + 4] == b'PE\0\0', 'no PE signature'
machine, nsections = struct.unpack_from('<HH', data, pe + 4)
opt_size = struct.unpack_from('<H', data, pe + 20)[0]
opt = pe + 24
magic = struct.unpack_from('<H', data, opt)[0]
subsystem = struct.unpack_from('<H', data, opt + 68)[0]
ndirs_at = opt + (92 if magic == 0x10B else 108)
res_rva, res_size = struct.unpack_from('<II', data, ndirs_at + 4 + 2 * 8)
sections = []
for i in range(nsections):
    s = opt + opt_size + 40 * i
    vsize, va, rsize, raw = struct.unpack_from('<IIII', data, s + 8)
    sections.append((va, max(vsize, rsize), raw))


def offset(rva):
    for va, size, raw in sections:
        if va <= rva < va + size:
            return rva - va + raw
    raise ValueError('rva %x outside every section' % rva)


print('machine %04x magic %04x subsystem %d' % (machine, magic, subsystem))
base = offset(res_rva)


def entries(dir_off):
    named, ids = struct.unpack_from('<HH', data, dir_off + 12)
    for k in range(named + ids):
        name, target = struct.unpack_from('<II', data, dir_off + 16 + 8 * k)
        yield name, target


for rtype, t1 in entries(base):
    for rid, t2 in entries(base + (t1 & 0x7FFFFFFF)):
        for lang, t3 in entries(base + (t2 & 0x7FFFFFFF)):
            rva, size = struct.unpack_from('<II', data, base + t3)
            body = data[offset(rva):offset(rva) + size]
            extra = ''
            if rtype == 3:  # icon image: BITMAPINFOHEADER
                w, h = struct.unpack_from('<ii', body, 4)
                bits = struct.unpack_from('<H', body, 14)[0]
                extra = ' %dx%d %dbpp' % (w, h // 2, bits)
            if rtype == 5:  # dialog: does it name the 9-point Japanese font?
                font = 'ＭＳ Ｐゴシック'.encode('utf-16-le')
                extra = ' font' if font in body else ' nofont'
            print('res %d %d %d %d%s' % (rtype, rid, lang, size, extra))
