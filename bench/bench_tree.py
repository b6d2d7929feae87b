#!/usr/bin/env python3
"""Whole-game update sizes: patchtool's payload beside HDiffPatch's directory patch and xz.

  bench_tree.py [--tool-before PATCHTOOL] [--hdiffz PATH] [--small BYTES] [PAIR | OLD:NEW]...
  (PAIR: freeciv | 7kaa | xmoto | cdda | lincity, Debian bookworm -> trixie; default freeciv 7kaa)

A pair's game folders are the package's game root, fetched once through the delta benchmark's
private apt configuration and copied under build/bench-size/tree/PAIR with a Bin/game.ini
(1.0.0.0, 1.0.0.1) added to both and links to other packages' files dropped from both.
OLD and NEW may instead be game folders of your own (each with its Bin/game.ini). Prints the payload of each patch (the
patch folder's chunks, deltas and removal list, and the installer), the ratio to HDiffPatch's
`-m-6 -SD -c-lzma2-9`, xz -9e of the new files that changed, what changed, the deflate members
of the new zip and gzip files that changed (bench/deflate_members.py), and where our bytes go. Every patch of ours is verified by `patchtool verify`.
"""
import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys


import deflate_members
import delta_pairs

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, 'build', 'bench-size', 'tree')
PAIRS = {  # package, game root in the package
    'freeciv': ('freeciv-data', 'usr/share/games/freeciv'),
    '7kaa': ('7kaa-data', 'usr/share/games'),
    'xmoto': ('xmoto-data', 'usr/share/games/xmoto'),
    'cdda': ('cataclysm-dda-data', 'usr/share/games/cataclysm-dda'),
    # the game root moved between the two; its scenarios became gzip files of other names
    'lincity': ('lincity-ng-data', ('usr/share/games/lincity-ng', 'usr/share/lincity-ng')),
}


def game_folders(pair):
    package, members = PAIRS[pair]
    members = (members, members) if isinstance(members, str) else members
    base = os.path.join(WORK, pair)
    for side, suite, version, member in (('old', 'bookworm', '1.0.0.0', members[0]),
                                         ('new', 'trixie', '1.0.0.1', members[1])):
        folder = os.path.join(base, side)
        if os.path.isdir(folder):
            continue
        src = delta_pairs.unpacked(delta_pairs.debian_deb(package, suite), member)
        shutil.copytree(src, folder + '.tmp', symlinks=True)
        for d, dirs, names in os.walk(folder + '.tmp'):
            for n in dirs + names:
                if os.path.islink(os.path.join(d, n)):
                    os.unlink(os.path.join(d, n))
        os.makedirs(os.path.join(folder + '.tmp', 'Bin'))
        with open(os.path.join(folder + '.tmp', 'Bin', 'game.ini'), 'w') as f:
            f.write(f'[GAME]\nVERSION={version}\n')
        os.rename(folder + '.tmp', folder)
    return os.path.join(base, 'old'), os.path.join(base, 'new'), os.path.join(base, 'out')


def files(root):
    out = {}
    for d, _, names in os.walk(root):
        for n in names:
            p = os.path.join(d, n)
            out[os.path.relpath(p, root).replace(os.sep, '/')] = p
    return out


def digest(path):
    with open(path, 'rb') as f:
        return hashlib.sha256(f.read()).hexdigest()


def xz_size(data):
    return len(subprocess.run(['xz', '-9e', '-T1', '-c'], input=data, check=True,
                              stdout=subprocess.PIPE).stdout)


def folder_bytes(folder):
    kinds = {}
    for n in os.listdir(folder):
        kinds.setdefault(n.rsplit('.', 1)[-1], 0)
        kinds[n.rsplit('.', 1)[-1]] += os.path.getsize(os.path.join(folder, n))
    return kinds


def solid_chunks(folder, new):
    """The chunks' entries, whole files decoded (the new file's bytes), back to back: what one
    compressed stream over every entry would hold."""
    out = bytearray()
    for f in sorted(os.listdir(folder)):
        if not f.endswith('.bin'):
            continue
        b = open(os.path.join(folder, f), 'rb').read()
        i = 0
        while i < len(b):  # kind u8, nameLength u16, UTF-16LE name, dataSize u64, [offset u64]
            kind, nl = b[i], struct.unpack_from('<H', b, i + 1)[0]
            name = b[i + 3:i + 3 + 2 * nl].decode('utf-16-le')
            j = i + 3 + 2 * nl
            size = struct.unpack_from('<Q', b, j)[0]
            j += 16 if kind == 0 else 8
            out += b[i:j + size] if kind == 0 else b[i:j] + open(new[name], 'rb').read()
            i = j + size
    return bytes(out)


def ours(tool, args, tag):
    out = os.path.join(args.work, tag)
    exe = out + '.exe'
    subprocess.run(['rm', '-rf', out, exe], check=True)
    base = [tool, 'build', '--old', args.old, '--new', args.new, '--target', '1.0.0.1',
            '--op', '=', '--base', '1.0.0.0', '--description', 'bench', '--out', out]
    subprocess.run(base + ['--installer', exe, '--stub', args.stub], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    v = subprocess.run([tool, 'verify', '--patch', exe, '--old', args.old, '--new', args.new],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    kinds = folder_bytes(out)
    payload = sum(s for k, s in kinds.items() if k in ('bin', 'delta', 'remove'))
    return payload, kinds, os.path.getsize(exe), v.returncode == 0, out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('--tool', default=os.path.join(ROOT, 'build/release/tools/patchtool/patchtool'))
    ap.add_argument('--stub', default=os.path.join(ROOT, 'build/windows/resources/qpatch-stub.exe'))
    ap.add_argument('--tool-before', help="another patchtool to compare with (an older build)")
    ap.add_argument('--hdiffz', help="HDiffPatch's hdiffz, built by hand")
    ap.add_argument('--small', type=int, default=16384, help='a small file is below this size')
    ap.add_argument('pairs', nargs='*', default=['freeciv', '7kaa'])
    args = ap.parse_args()
    rc = 0
    for pair in args.pairs:
        if ':' in pair:
            args.old, args.new = pair.split(':', 1)
            args.work = os.path.join(WORK, 'out-' + os.path.basename(os.path.abspath(args.new)))
        else:
            args.old, args.new, args.work = game_folders(pair)
        print(f'\n## {pair}: {args.old} -> {args.new}')
        rc |= one_pair(args)
    return rc


def joined(folder, suffix):
    """The patch folder's files with the suffix, in name order, one after another."""
    return b''.join(open(os.path.join(folder, n), 'rb').read()
                    for n in sorted(os.listdir(folder)) if n.endswith(suffix))


def one_pair(args):
    os.makedirs(args.work, exist_ok=True)

    old, new = files(args.old), files(args.new)
    oh = {n: digest(p) for n, p in old.items()}
    nh = {n: digest(p) for n, p in new.items()}
    removed = [n for n in old if n not in new]
    added = [n for n in new if n not in old]
    changed = [n for n in new if n in old and nh[n] != oh[n]]
    removed_h = {oh[n] for n in removed}
    renamed = [n for n in added if nh[n] in removed_h]
    print(f'files: old {len(old)}, new {len(new)}: {len(added)} added ({len(renamed)} of them '
          f'renamed, same content as a removed file), {len(changed)} changed, {len(removed)} removed')

    print('compressed files: ' + deflate_members.line(deflate_members.survey_tree(args.old, args.new)))

    rows = []
    hd = None
    if args.hdiffz:
        hd_path = os.path.join(args.work, 'hdiffz.patch')
        subprocess.run([args.hdiffz, '-m-6', '-SD', '-c-lzma2-9', '-f', args.old, args.new,
                        hd_path], check=True, stdout=subprocess.DEVNULL)
        hd = os.path.getsize(hd_path)
    changed_new = sorted(added + changed)
    blobs = [open(new[n], 'rb').read() for n in changed_new]
    xz_one = xz_size(b''.join(blobs))
    now = ours(args.tool, args, 'ours-now')
    rows.append(('patchtool now', now[0], now[2], now[3], now[1]))
    if args.tool_before:
        b = ours(args.tool_before, args, 'ours-before')
        rows.append(('patchtool before', b[0], b[2], b[3], b[1]))
    if hd is not None:
        rows.append(('hdiffz -m-6 -SD -c-lzma2-9', hd, None, True, {}))
    rows.append(('xz -9e of the changed and added new files, one stream', xz_one, None, True, {}))

    print('\n| patch | payload bytes | installer bytes | × HDiffPatch | verify | by file kind |')
    print('|---|---:|---:|---:|---|---|')
    for name, pay, exe, ok, kinds in rows:
        ratio = f'{pay / hd:.3f}' if hd else '-'
        k = ', '.join(f'.{a} {s}' for a, s in sorted(kinds.items()))
        print(f'| {name} | {pay} | {exe if exe else "-"} | {ratio} | {"OK" if ok else "FAIL"} | {k} |')

    # Where our bytes go: the dry run's entries, by kind, largest first.
    dry = subprocess.run([args.tool, 'build', '--old', args.old, '--new', args.new, '--target',
                          '1.0.0.1', '--op', '=', '--base', '1.0.0.0', '--description', 'bench',
                          '--out', os.path.join(args.work, 'dry'), '--dry-run'],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, check=True)
    entries = []
    for line in dry.stdout.splitlines():
        p = line.split()
        if p and p[0] in ('whole', 'range', 'delta') and 'stored' in p:
            i = p.index('stored')
            entries.append((p[0], ' '.join(p[1:i]), int(p[i + 1]), int(p[i + 3])))
    print('\n| kind | entries | files | stored bytes | decoded bytes |')
    print('|---|---:|---:|---:|---:|')
    for kind in ('whole', 'range', 'delta'):
        e = [x for x in entries if x[0] == kind]
        print(f'| {kind} | {len(e)} | {len({x[1] for x in e})} | {sum(x[2] for x in e)} | '
              f'{sum(x[3] for x in e)} |')
    stored = sum(x[2] for x in entries if x[0] != 'delta')
    print(f"\nentry headers in the chunks: {now[1].get('bin', 0) - stored} bytes; in the delta "
          f"resources: {now[1].get('delta', 0) - sum(x[2] for x in entries if x[0] == 'delta')}")
    per_file = {}
    for kind, name, stored, _ in entries:
        per_file.setdefault(name, [kind, 0])[1] += stored
    same = {}
    for n in per_file:
        same.setdefault(nh[n], []).append(per_file[n][1])
    twice = [sorted(v)[1:] for v in same.values() if len(v) > 1]
    print(f'entries whose new content another entry carries too: {sum(map(len, twice))}, '
          f'{sum(map(sum, twice))} stored bytes')
    removal = joined(now[4], '.remove')
    if removal:
        print(f'removal list: {len(removal)} bytes, as xz -9e {xz_size(removal)}')
    small = [n for n in per_file if os.path.getsize(new[n]) < args.small]
    print(f'\nfiles below {args.small} bytes: {len(small)} of {len(per_file)} entries\' files, '
          f'{sum(per_file[n][1] for n in small)} stored bytes '
          f'({sum(os.path.getsize(new[n]) for n in small)} bytes as new files)')
    for kind in ('whole', 'range', 'delta'):
        s = [n for n in small if per_file[n][0] == kind]
        print(f'  {kind}: {len(s)} files, {sum(per_file[n][1] for n in s)} stored bytes')
    print('\nthe 20 largest files by stored bytes:')
    for n, (kind, st) in sorted(per_file.items(), key=lambda x: -x[1][1])[:20]:
        print(f'  {kind:5} {st:9d}  {os.path.getsize(new[n]):9d}  {n}')

    # One cheap remedy figure: the small files' entries as one xz stream instead of each alone.
    sw = [n for n in small if per_file[n][0] == 'whole']
    sw_xz = xz_size(b''.join(open(new[n], 'rb').read() for n in sw)) if sw else 0
    print(f'\nsmall whole-file entries: {sum(per_file[n][1] for n in sw)} bytes stored one by one; '
          f'xz -9e of their concatenation {sw_xz}')
    chunk = joined(now[4], '.bin')
    print(f'the chunks ({len(chunk)} bytes) as one xz -9e stream: {xz_size(chunk)}')
    solid = solid_chunks(now[4], new)
    print(f'the chunks\' entries with whole files decoded ({len(solid)} bytes) as one xz -9e '
          f'stream: {xz_size(solid)}')
    deltas = joined(now[4], '.delta')
    if deltas:
        print(f'the delta resources ({len(deltas)} bytes) as one xz -9e stream: {xz_size(deltas)}')
    return 0 if all(r[3] for r in rows) else 1


if __name__ == '__main__':
    sys.exit(main())
