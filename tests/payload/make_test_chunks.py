#!/usr/bin/env python3
"""Writes the payload chunks that the Windows test program carries as QPATCH resources,
and the resource script that embeds them:  make_test_chunks.py OUTPUT_DIR"""
import lzma
import os
import struct
import sys


def pattern(size):
    # Must match WholeFilePattern in the Windows test program.
    return bytes((i * 7 + i // 251) % 256 for i in range(size))


def block_stream(data, block_size=4096):
    """The block-compressed format: header, table of stored sizes, LZMA blocks with 5-byte props."""
    props = bytes([0x5D]) + struct.pack('<I', 65536)
    filters = [{'id': lzma.FILTER_LZMA1, 'dict_size': 65536, 'lc': 3, 'lp': 0, 'pb': 2}]
    blocks = []
    for start in range(0, len(data), block_size):
        raw = lzma.compress(data[start:start + block_size], format=lzma.FORMAT_RAW, filters=filters)
        blocks.append(props + raw)
    table = b''.join(struct.pack('<I', len(b)) for b in blocks)
    return struct.pack('<QI', len(data), block_size) + table + b''.join(blocks)


def entry(kind, name, data, offset=None):
    units = name.encode('utf-16-le')
    out = bytes([kind]) + struct.pack('<H', len(name)) + units + struct.pack('<Q', len(data))
    if kind == 0:
        out += struct.pack('<Q', offset)
    return out + data


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    chunks = {
        # A new folder and file, then a range patched into it.
        1601: entry(1, 'Res/a.bin', block_stream(pattern(10000)))
              + entry(0, 'Res/a.bin', b'PATCHED', 10),
        # A file emptied by a stream that declares no bytes.
        1602: entry(2, 'empty.bin', block_stream(b'')),
    }
    lines = []
    for chunk_id, data in chunks.items():
        name = 'chunk%d.bin' % chunk_id
        with open(os.path.join(out, name), 'wb') as f:
            f.write(data)
        lines.append('%d QPATCH "%s"\n' % (chunk_id, os.path.join(out, name).replace('\\', '/')))
    with open(os.path.join(out, 'test_chunks.rc'), 'w') as f:
        f.writelines(lines)


main()
