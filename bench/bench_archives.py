#!/usr/bin/env python3
"""Compressed archives of two consecutive versions (bench/archive_pairs.py): the patch that
patchtool builds when the archive is the one changed file of a game folder, beside our delta of
the archive alone (qdelta), bsdiff, `zstd -19 --long=31 --patch-from`, `xz -9e` of the new file
and, when a `hdiffz` is given, HDiffPatch's `-m-6 -SD -c-lzma2-9`. Every patch is applied again
and compared with the new file (patchtool's by `patchtool verify`). Then the new archive's
deflate members: how many are changed or added, and how many of those zlib makes again byte for
byte (bench/deflate_members.py).

  bench_archives.py [--hdiffz PATH] [--threads N] [PAIR...]     (default: every pair)
(run by `scripts/bench-size.sh archives ...`)"""
import argparse
import os
import shutil
import sys
import types

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import archive_pairs  # noqa: E402
import bench_delta  # noqa: E402
import bench_tree  # noqa: E402
import deflate_members  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def game_folders(name, folder):
    """old and new game folders under the pair's folder: the archive at its place, Bin/game.ini."""
    inside = archive_pairs.PAIRS[name][3]
    made = []
    for side, version in (('old', '1.0.0.0'), ('new', '1.0.0.1')):
        game = os.path.join(folder, 'game-' + side)
        made.append(game)
        if os.path.isdir(game):
            continue
        os.makedirs(os.path.join(game + '.tmp', 'Bin'))
        with open(os.path.join(game + '.tmp', 'Bin', 'game.ini'), 'w') as f:
            f.write(f'[GAME]\nVERSION={version}\n')
        os.makedirs(os.path.dirname(os.path.join(game + '.tmp', inside)), exist_ok=True)
        shutil.copy(os.path.join(folder, side), os.path.join(game + '.tmp', inside))
        os.rename(game + '.tmp', game)
    return made


def bench_pair(name, args, work):
    folder = archive_pairs.pair(name)
    old, new = os.path.join(folder, 'old'), os.path.join(folder, 'new')
    print(f'\n## {name}: {os.path.getsize(old):,} -> {os.path.getsize(new):,} bytes')
    game_old, game_new = game_folders(name, folder)
    tree = types.SimpleNamespace(old=game_old, new=game_new, work=os.path.join(folder, 'out'),
                                 stub=args.stub)
    os.makedirs(tree.work, exist_ok=True)
    seconds = bench_delta.time.monotonic()
    payload, kinds, _, verified, _ = bench_tree.ours(args.tool, tree, 'ours')
    seconds = bench_delta.time.monotonic() - seconds
    if not verified:
        raise SystemExit(f'patchtool verify failed on {name}')
    print('| tool | patch bytes | vs patchtool | encode wall (processor) | encode peak RSS | apply wall | apply peak RSS |')
    print('|---|---:|---:|---:|---:|---:|---:|')
    k = ', '.join(f'.{a} {s:,}' for a, s in sorted(kinds.items()) if a in ('bin', 'delta', 'remove'))
    print(f'| patchtool build, payload ({k}) | {payload:,} | 1.000 | {seconds:.1f} s (build and '
          f'installer) | | | |', flush=True)
    for tool, encode, apply in bench_delta.tools(args):
        patch, out = os.path.join(work, 'patch'), os.path.join(work, 'out')
        seconds, processor, peak = bench_delta.measured(encode(old, new, patch))
        size = os.path.getsize(patch)
        applied = ' | '
        if apply:
            apply_seconds, _, apply_peak = bench_delta.measured(apply(old, patch, out))
            if not bench_delta.filecmp.cmp(out, new, shallow=False):
                raise SystemExit(f'{tool} did not give back {name}')
            applied = f'{apply_seconds:.2f} s | {apply_peak:.1f} MiB'
        label = 'qdelta of the archive alone' if tool == 'ours' else tool
        print(f'| {label} | {size:,} | {size / payload:.3f} | {seconds:.1f} s ({processor:.1f} s) '
              f'| {peak:.0f} MiB | {applied} |', flush=True)
    print('\nnew archive: ' + deflate_members.line(deflate_members.survey(old, new)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--tool', default=os.path.join(ROOT, 'build/release/tools/patchtool/patchtool'))
    parser.add_argument('--stub', default=os.path.join(ROOT, 'build/windows/resources/qpatch-stub.exe'))
    bench_delta.run_pairs('bench-archives-', archive_pairs.PAIRS, bench_pair, parser)


if __name__ == '__main__':
    main()
