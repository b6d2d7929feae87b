#!/usr/bin/env python3
"""Generates a demo game in two versions:  make_demo_game.py OUTDIR
or one large version for the install benchmark:  make_demo_game.py --bench SIZE_MB OUTDIR
OUTDIR/old is the game at 1.1.0.0, OUTDIR/new the same game at 1.1.0.1. Between them: an executable
patched in place (a few byte runs: range entries), a library recompiled (code inserted, the code
after it moved: a delta), a data pack that grew, a zip pack of scripts with one script changed and
the whole pack compressed again at another level (a delta through the members' content), a
rewritten text table and a new map in a new sub-folder (whole files). The data is game-like:
structured records, code-like byte runs, text and some noise; the same every time."""
import io
import os
import random
import struct
import sys
import zipfile

MB = 1 << 20


def code_like(rng, size):
    """Instruction-like bytes: a small vocabulary of opcodes with varying operands."""
    ops = [bytes(rng.randrange(256) for _ in range(rng.randrange(1, 6))) for _ in range(300)]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(ops)
        if rng.random() < 0.3:
            out += struct.pack('<I', rng.randrange(0x400000, 0x800000))
    return bytes(out[:size])


def recompiled(data, rng, edits=6):
    """data as a recompile leaves it: new code inserted at a few places, and the addresses in the
    code after each insertion moved by its length."""
    out = bytearray(data)
    for _ in range(edits):
        at = rng.randrange(len(out))
        inserted = code_like(rng, rng.randrange(2000, 20000))
        out[at:at] = inserted
        for word in range(at + len(inserted), len(out) - 4, 97):  # the moved code's addresses
            value = struct.unpack_from('<I', out, word)[0]
            if 0x400000 <= value < 0x800000:
                struct.pack_into('<I', out, word, value + len(inserted))
    return bytes(out)


def records(rng, size):
    """Fixed-size records: ids, coordinates, flags and a name."""
    names = [b'sword', b'shield', b'potion', b'scroll', b'lantern', b'rope', b'map', b'key']
    out = bytearray()
    i = 0
    while len(out) < size:
        out += struct.pack('<IffHB', i, rng.uniform(-1e3, 1e3), rng.uniform(-1e3, 1e3),
                           rng.randrange(16), rng.randrange(4))
        out += rng.choice(names).ljust(16, b'\0')
        i += 1
    return bytes(out[:size])


def noise(rng, size):
    return rng.randbytes(size)


def text_table(rng, lines):
    words = ['勇者', '王国', '迷宫', '宝箱', '村庄', 'dragon', 'quest', 'gold', 'level', 'boss']
    rows = [f'{i:05d}\t' + ' '.join(rng.choice(words) for _ in range(rng.randrange(3, 12)))
            for i in range(lines)]
    return ('\r\n'.join(rows) + '\r\n').encode('utf-8')


def pack(rng, size):
    parts = []
    while sum(map(len, parts)) < size:
        kind = rng.randrange(3)
        piece = 256 * 1024
        parts.append((records, code_like, noise)[kind](rng, piece) if kind != 2 or rng.random() < 0.3
                     else records(rng, piece))
    return b''.join(parts)[:size]


def zip_pack(members, level):
    """A zip pack as zlib deflates it (Python's zipfile, as Java's jars), dated once for all."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, 'w', zipfile.ZIP_DEFLATED, compresslevel=level) as z:
        for name, data in members:
            info = zipfile.ZipInfo(name, (2026, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)
    return buffer.getvalue()


def write(root, name, data):
    path = os.path.join(root, *name.split('/'))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)


def patch_in_place(data, rng, runs):
    out = bytearray(data)
    for _ in range(runs):
        at = rng.randrange(len(out) - 64)
        length = rng.randrange(4, 48)
        out[at:at + length] = rng.randbytes(length)
    return bytes(out)


def bench_game(out, size_mb):
    """Files of 4 to 12 MB made of game-like 256 KB pieces, each piece drawn from a pool and
    lightly altered, so that generating hundreds of megabytes stays quick."""
    rng = random.Random(size_mb)
    pool = [kind(rng, 256 * 1024) for kind in (records, code_like, records, text_piece, noise)
            for _ in range(6)]
    left, index = size_mb * MB, 0
    while left > 0:
        size = min(left, rng.randrange(4, 13) * MB)
        data = bytearray()
        while len(data) < size:
            piece = bytearray(rng.choice(pool))
            for _ in range(64):
                piece[rng.randrange(len(piece))] = rng.randrange(256)
            data += piece
        folder = ('Bin', 'Data', 'Data/Sounds', 'Data/Maps')[index % 4]
        write(out, f'{folder}/bench{index:03d}.pak', bytes(data[:size]))
        left -= size
        index += 1


def text_piece(rng, size):
    return (text_table(rng, size // 40) * 2)[:size]


def main():
    if sys.argv[1] == '--bench':
        bench_game(sys.argv[3], int(sys.argv[2]))
        return
    out = sys.argv[1]
    old_rng, new_rng = random.Random(11), random.Random(12)
    exe = code_like(old_rng, 3 * MB)
    dll = code_like(old_rng, 2 * MB)
    textures = pack(old_rng, 6 * MB)
    strings = text_table(old_rng, 20000)
    scripts = [(f'scripts/quest{i:02d}.txt', text_table(old_rng, 1500)) for i in range(8)]
    edited = scripts[3][1].replace(b'00700\t', b'00700\tdragon gold ')
    new_scripts = scripts[:3] + [(scripts[3][0], edited)] + scripts[4:]
    old = {
        'Bin/Tolvar2.exe': exe,
        'Bin/engine.dll': dll,
        'Data/textures.pak': textures,
        'Data/strings.dat': strings,
        'Data/scripts.pk3': zip_pack(scripts, 6),
    }
    new = {
        'Bin/Tolvar2.exe': patch_in_place(exe, new_rng, 5),
        'Bin/engine.dll': recompiled(dll, new_rng),
        'Data/textures.pak': patch_in_place(textures, new_rng, 3) + pack(new_rng, 1 * MB),
        'Data/strings.dat': text_table(new_rng, 21000),
        'Data/scripts.pk3': zip_pack(new_scripts, 9),
        'Data/Maps/Island/island.map': records(new_rng, 1536 * 1024),
    }
    for name, data in old.items():
        write(os.path.join(out, 'old'), name, data)
    for name, data in new.items():
        write(os.path.join(out, 'new'), name, data)
    ini = b'[GAME]\r\nVERSION=1.1.0.0\r\n'
    write(os.path.join(out, 'old'), 'Bin/game.ini', ini)


if __name__ == '__main__':
    main()
