#!/usr/bin/env python3
"""The deflate members of a new zip archive beside the old one: how many are changed or added, and
how many of those this machine's zlib makes again byte for byte from their inflated bytes.

  deflate_members.py OLD.zip NEW.zip | OLD-FOLDER NEW-FOLDER

A member is changed when the old archive has one of the same name with other inflated bytes (CRC
or size), added when it has none; a member whose inflated bytes are the same but whose stored
bytes differ is counted apart (recompressed). Each changed or added deflate member (method 8) is
inflated (raw, wbits -15) and deflated again with zlib.compressobj(level, DEFLATED, -15, memLevel)
for level 1..9 and memLevel 8, 9 (default strategy), stopping at the first output byte that
differs. Given two folders, it counts over the new folder's zip and gzip files that differ
from the old folder's file at the same path (a gzip file is one member).
(imported by bench_archives.py and bench_tree.py; prints its figures when run alone)
"""
import collections
import filecmp
import os
import struct
import sys
import zlib
import zipfile

# The usual settings first: most members are found at the first try.
SETTINGS = [(6, 8), (9, 8)] + [(lv, ml) for ml in (8, 9) for lv in range(1, 10)
                               if (lv, ml) not in ((6, 8), (9, 8))]
STEP = 1 << 16


def stored_bytes(f, info):
    """The member's stored (compressed) bytes, read after its local header."""
    f.seek(info.header_offset)
    head = f.read(30)
    if head[:4] != b'PK\x03\x04':
        raise ValueError(f'{info.filename}: no local header')
    name_length, extra_length = struct.unpack_from('<HH', head, 26)
    f.seek(info.header_offset + 30 + name_length + extra_length)
    return f.read(info.compress_size)


def remade_with(raw, stored):
    """The (level, memLevel) whose deflate of raw is stored byte for byte, or None."""
    for level, mem in SETTINGS:
        c = zlib.compressobj(level, zlib.DEFLATED, -15, mem)
        at = 0
        ok = True
        for i in range(0, len(raw), STEP):
            out = c.compress(raw[i:i + STEP])
            if out != stored[at:at + len(out)]:
                ok = False
                break
            at += len(out)
        if ok:
            out = c.flush()
            if out == stored[at:] and at + len(out) == len(stored):
                return level, mem
    return None


def members(path):
    with zipfile.ZipFile(path) as z:
        return {i.filename: i for i in z.infolist() if not i.is_dir()}


def survey(old_path, new_path, r=None):
    """Adds to r (a Counter, made when None) the counts for the new archive; r['settings'] counts
    the (level, memLevel) found. old_path may be None: every member is then added."""
    r = collections.Counter(settings=collections.Counter()) if r is None else r
    old = members(old_path) if old_path else {}
    new = members(new_path)
    r['members'] += len(new)
    r['deflated'] += sum(1 for i in new.values() if i.compress_type == zipfile.ZIP_DEFLATED)
    r['removed'] += sum(1 for n in old if n not in new)
    with open(old_path or new_path, 'rb') as fo, open(new_path, 'rb') as fn:
        for name, info in new.items():
            was = old.get(name)
            if was is not None and (was.CRC, was.file_size) == (info.CRC, info.file_size):
                if stored_bytes(fo, was) != stored_bytes(fn, info):
                    r['recompressed'] += 1
                else:
                    r['same'] += 1
                continue
            if info.compress_type != zipfile.ZIP_DEFLATED:
                tally(r, 'added' if was is None else 'changed', None, None)
                continue
            stored = stored_bytes(fn, info)
            tally(r, 'added' if was is None else 'changed', zlib.decompress(stored, -15), stored)
    return r


def tally(r, kind, raw, stored):
    """Counts one changed or added member (raw None: not deflated), trying to make it again."""
    r[kind] += 1
    if raw is None:
        r[kind + ' not deflated'] += 1
        return
    r[kind + ' deflated'] += 1
    r[kind + ' deflated bytes'] += len(raw)
    setting = remade_with(raw, stored)
    if setting:
        r[kind + ' remade'] += 1
        r[kind + ' remade bytes'] += len(raw)
        r['settings'][setting] += 1


def gzip_stream(path):
    """(inflated bytes, the raw deflate stream) of a gzip file's first member."""
    with open(path, 'rb') as f:
        b = f.read()
    flags, at = b[3], 10
    if flags & 4:  # FEXTRA
        at += 2 + struct.unpack_from('<H', b, at)[0]
    for bit in (8, 16):  # FNAME, FCOMMENT: zero-terminated
        if flags & bit:
            at = b.index(0, at) + 1
    if flags & 2:  # FHCRC
        at += 2
    d = zlib.decompressobj(-15)
    raw = d.decompress(b[at:])
    return raw, b[at:len(b) - len(d.unused_data)]


def kind_of(path):
    with open(path, 'rb') as f:
        head = f.read(4)
    return 'zip' if head == b'PK\x03\x04' else 'gzip' if head[:3] == b'\x1f\x8b\x08' else None


def survey_tree(old_root, new_root):
    """The counts over every zip and gzip file of the new folder that is not the same file in the
    old folder at the same path; a gzip file counts as an archive of one member."""
    r = collections.Counter(settings=collections.Counter())
    for d, _, names in os.walk(new_root):
        for n in sorted(names):
            new = os.path.join(d, n)
            old = os.path.join(old_root, os.path.relpath(new, new_root))
            kind = None if os.path.islink(new) else kind_of(new)
            if kind is None:
                continue
            r[kind + ' files'] += 1
            if not os.path.isfile(old) or kind_of(old) != kind:
                old = None
            elif filecmp.cmp(old, new, shallow=False):
                r['same ' + kind + ' files'] += 1
                continue
            if kind == 'zip':
                survey(old, new, r)
                continue
            r['members'] += 1
            r['deflated'] += 1
            raw, stored = gzip_stream(new)
            if old is not None and gzip_stream(old)[0] == raw:
                r['recompressed'] += 1
            else:
                tally(r, 'changed' if old else 'added', raw, stored)
    return r


def line(r):
    """One line of the counts, as the benchmark prints them."""
    d = r['changed deflated'] + r['added deflated']
    m = r['changed remade'] + r['added remade']
    settings = ', '.join(f'level {lv} memLevel {ml}: {n}' for (lv, ml), n in r['settings'].most_common())
    files = ''.join(f"{r[k + ' files']} {k} files ({r['same ' + k + ' files']} the same), "
                    for k in ('zip', 'gzip') if r[k + ' files'])
    return (files + f"members {r['members']} ({r['deflated']} deflated); {r['changed']} changed, "
            f"{r['added']} added, {r['removed']} removed, {r['recompressed']} same bytes stored "
            f"otherwise, {r['same']} unchanged; changed or added deflated: {d} "
            f"({r['changed deflated bytes'] + r['added deflated bytes']:,} bytes inflated), "
            f"remade by zlib {zlib.ZLIB_VERSION}: {m} "
            f"({r['changed remade bytes'] + r['added remade bytes']:,} bytes inflated)"
            + (f' [{settings}]' if settings else ''))


if __name__ == '__main__':
    if os.path.isdir(sys.argv[2]):
        print(line(survey_tree(sys.argv[1], sys.argv[2])))
    else:
        print(line(survey(sys.argv[1], sys.argv[2])))
