#!/usr/bin/env python3
"""The size benchmark: patchtool's installer for a data set added to a game as new files, against
per-file `xz -9e` and `zstd -19 --long=27` of the same bytes, with the tool's wall time and peak
memory at each block size asked for.

  bench_size.py [--block-size SIZE]... [--threads N] [--level L] [--no-baselines] SET...
  SET: freedoom (Debian's freedoom: two WADs) | openarena (Debian's openarena-088-data: a zipped
       pack) | binaries (real PE DLLs from Wine's i386 folder) | a folder of your own
The Debian sets are fetched once with `apt-get download` into build/bench-size and unpacked into a
game folder there; nothing here is part of the test command.
(run by scripts/bench-size.sh)"""
import argparse
import glob
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, 'build', 'bench-size')
PATCHTOOL = os.path.join(ROOT, 'build', 'release', 'tools', 'patchtool', 'patchtool')
STUB = os.path.join(ROOT, 'build', 'windows', 'resources', 'qpatch-stub.exe')
WINE_I386_DLLS = '/usr/lib/i386-linux-gnu/wine/i386-windows'
DEBIAN_SETS = {'freedoom': ('freedoom', 'usr/share/games/doom/*.wad', 'Data'),
               'openarena': ('openarena-088-data', 'usr/share/games/openarena/baseoa/*.pk3', 'baseoa')}
MB = 1e6


def debian_set(name):
    package, pattern, folder = DEBIAN_SETS[name]
    game = os.path.join(WORK, 'sets', name)
    if os.path.isdir(game):
        return game
    debs = os.path.join(WORK, 'debs')
    os.makedirs(debs, exist_ok=True)
    if not glob.glob(os.path.join(debs, package + '_*.deb')):
        subprocess.run(['apt-get', 'download', package], cwd=debs, check=True)
    unpacked = os.path.join(WORK, 'unpacked', name)
    shutil.rmtree(unpacked, ignore_errors=True)
    os.makedirs(unpacked)
    subprocess.run(['dpkg-deb', '-x', glob.glob(os.path.join(debs, package + '_*.deb'))[0], unpacked],
                   check=True)
    os.makedirs(os.path.join(game + '.new', folder))
    for path in sorted(glob.glob(os.path.join(unpacked, pattern))):
        shutil.copy(path, os.path.join(game + '.new', folder))
    os.rename(game + '.new', game)
    return game


def binaries_set():
    """Every eighth DLL of 256 KiB to 4 MiB from Wine's i386 folder: real 32-bit PE code and data."""
    game = os.path.join(WORK, 'sets', 'binaries')
    if not os.path.isdir(game):
        names = sorted(n for n in os.listdir(WINE_I386_DLLS)
                       if 256 << 10 <= os.path.getsize(os.path.join(WINE_I386_DLLS, n)) <= 4 << 20)[::8]
        os.makedirs(os.path.join(game + '.new', 'Bin'))
        for n in names:
            shutil.copy(os.path.join(WINE_I386_DLLS, n), os.path.join(game + '.new', 'Bin'))
        os.rename(game + '.new', game)
    return game


def data_set(name):
    if name in DEBIAN_SETS:
        return debian_set(name)
    if name == 'binaries':
        return binaries_set()
    if os.path.isdir(name):
        return os.path.abspath(name)
    raise SystemExit(f'unknown data set {name}')


def files_of(folder):
    return sorted(os.path.join(d, n) for d, _, names in os.walk(folder) for n in names)


def measured(command, stdout=subprocess.DEVNULL):
    """Runs command; returns (wall seconds, peak resident KiB of the process)."""
    start = time.monotonic()
    process = subprocess.Popen(command, stdout=stdout, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f'{command[0]} failed: {command}')
    return time.monotonic() - start, usage.ru_maxrss


def installer_size(game, block_size, args):
    out = os.path.join(WORK, 'out')
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    command = [PATCHTOOL, 'build', '--new', game, '--target', '1.0.0.1', '--op', '<=', '--base', '1.0.0.0',
               '--description', 'size benchmark', '--out', os.path.join(out, 'patch'),
               '--installer', os.path.join(out, 'setup.exe'), '--stub', STUB, '--quiet',
               '--threads', str(args.threads), '--level', str(args.level)]
    if block_size:
        command += ['--block-size', block_size]
    seconds, peak = measured(command)
    return os.path.getsize(os.path.join(out, 'setup.exe')), seconds, peak


def per_file(command, files):
    """Sum of each file's compressed size, and the wall time of compressing them one after another."""
    total, seconds = 0, 0.0
    for path in files:
        start = time.monotonic()
        total += len(subprocess.run(command + [path], check=True, stdout=subprocess.PIPE).stdout)
        seconds += time.monotonic() - start
    return total, seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--block-size', action='append', dest='block_sizes')
    parser.add_argument('--threads', type=int, default=2)
    parser.add_argument('--level', type=int, default=9)
    parser.add_argument('--no-baselines', action='store_true')
    parser.add_argument('sets', nargs='+')
    args = parser.parse_args()
    for name in args.sets:
        game = data_set(name)
        files = files_of(game)
        size = sum(os.path.getsize(f) for f in files)
        print(f'\n{name}: {len(files)} files, {size / MB:.2f} MB; {args.threads} threads, level {args.level}')
        print('| | installer or sum of files | vs xz -9e | tool wall | tool peak RSS |')
        print('|---|---|---|---|---|')
        xz = None
        if not args.no_baselines:
            xz, _ = per_file(['xz', '-9e', '-T1', '-c'], files)
            _, xz_t2 = per_file(['xz', '-9e', '-T2', '-c'], files)
            zstd, zstd_time = per_file(['zstd', '-19', '--long=27', '-q', '-c'], files)
            print(f'| `xz -9e` per file | {xz:,} | | {xz_t2:.1f} s (`-T2`) | |')
            print(f'| `zstd -19 --long=27` per file | {zstd:,} | {zstd / xz - 1:+.2%} | {zstd_time:.1f} s | |')
        for block_size in args.block_sizes or [None]:
            installer, seconds, peak = installer_size(game, block_size, args)
            versus = f'{installer / xz - 1:+.2%}' if xz else ''
            print(f'| patchtool `--block-size {block_size or "default"}` | {installer:,} | {versus} | '
                  f'{seconds:.1f} s | {peak / 1024:.0f} MiB |', flush=True)


if __name__ == '__main__':
    main()
