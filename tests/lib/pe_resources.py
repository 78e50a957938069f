#!/usr/bin/env python3
"""Prints the resources of a PE file, one line each: type id lang size, and
checks the basic header fields; also each section's rights, the DLL
characteristics and whether the header checksum matches the file.
Usage: pe_resources.py FILE"""
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
rights = []
for i in range(nsections):
    s = opt + opt_size + 40 * i
    vsize, va, rsize, raw = struct.unpack_from('<IIII', data, s + 8)
    sections.append((va, max(vsize, rsize), raw))
    flags = struct.unpack_from('<I', data, s + 36)[0]
    rights.append('section %s %s%s%s' % (data[s:s + 8].rstrip(b'\0').decode(),
                                         'r' if flags & 0x40000000 else '-',
                                         'w' if flags & 0x80000000 else '-',
                                         'x' if flags & 0x20000000 else '-'))
dll_characteristics = struct.unpack_from('<H', data, opt + 70)[0]


def checksum(image):
    """The image checksum, one word at a time with end-around carry."""
    image = image[:opt + 64] + b'\0\0\0\0' + image[opt + 68:]
    if len(image) % 2:
        image += b'\0'
    total = 0
    for (word,) in struct.iter_unpack('<H', image):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def offset(rva):
    for va, size, raw in sections:
        if va <= rva < va + size:
            return rva - va + raw
    raise ValueError('rva %x outside every section' % rva)


print('machine %04x magic %04x subsystem %d' % (machine, magic, subsystem))
print('\n'.join(rights))
print('dllcharacteristics %04x' % dll_characteristics)
stored = struct.unpack_from('<I', data, opt + 64)[0]
print('checksum %s' % ('good' if stored == checksum(data) else 'bad %08x' % stored))
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
            if rtype == 24:  # manifest: execution level, Windows versions, common controls
                import xml.etree.ElementTree as ET
                root = ET.fromstring(body)
                for e in root.iter():
                    tag = e.tag.split('}')[-1]
                    if tag == 'requestedExecutionLevel':
                        extra += ' level=%s uiAccess=%s' % (e.get('level'), e.get('uiAccess'))
                    elif tag == 'supportedOS':
                        extra += ' os=%s' % e.get('Id')
                    elif tag == 'dpiAware':
                        extra += ' dpiAware=%s' % (e.text or '').strip()
                    elif tag == 'assemblyIdentity':
                        extra += ' needs=%s/%s' % (e.get('name'), e.get('version'))
            print('res %d %d %d %d%s' % (rtype, rid, lang, size, extra))
