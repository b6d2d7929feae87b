#!/usr/bin/env python3
"""The delta benchmark: our delta of each pair of real consecutive versions (bench/delta_pairs.py)
beside bsdiff, `zstd -19 --long=31 --patch-from`, `xz -9e` of the new file and, when a `hdiffz`
is given, HDiffPatch's `-m-6 -SD -c-lzma2-9`. Every patch is applied again and compared with the
new file; wall time and peak RSS of each encoder, and of our applier, are measured.

  bench_delta.py [--hdiffz PATH] [--threads N] [PAIR...]     (default: every pair)
(run by `scripts/bench-size.sh delta ...`)"""
import argparse
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import delta_pairs  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
QDELTA = os.path.join(ROOT, 'build', 'release', 'tools', 'deltacli', 'qdelta')


def measured(command):
    """Runs command; returns (wall seconds, processor seconds, peak resident MiB)."""
    start = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f'failed: {" ".join(command)}: {process.stderr.read().decode()}')
    return time.monotonic() - start, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def tools(args):
    """(name, encode(old, new, patch), apply(old, patch, out) or None)."""
    listed = [
        ('ours', lambda o, n, p: [QDELTA, 'encode', '-t', str(args.threads), o, n, p],
         lambda o, p, r: [QDELTA, 'apply', o, p, r]),
        ('bsdiff 4.3', lambda o, n, p: ['bsdiff', o, n, p], lambda o, p, r: ['bspatch', o, r, p]),
        ('zstd -19 --long=31 --patch-from', lambda o, n, p: ['zstd', '-q', '-f', '-19', '--long=31',
                                                              f'--patch-from={o}', n, '-o', p],
         lambda o, p, r: ['zstd', '-q', '-f', '-d', '--long=31', f'--patch-from={o}', p, '-o', r]),
        ('xz -9e of the new file', lambda o, n, p: ['sh', '-c', f'xz -9e -T1 -c "{n}" > "{p}"'], None),
    ]
    if args.hdiffz:
        hpatchz = os.path.join(os.path.dirname(args.hdiffz), 'hpatchz')
        listed.append(('HDiffPatch -m-6 -SD -c-lzma2-9',
                       lambda o, n, p: [args.hdiffz, '-m-6', '-SD', '-c-lzma2-9', '-f', o, n, p],
                       lambda o, p, r: [hpatchz, '-f', o, p, r]))
    return listed


def bench_pair(name, args, work):
    folder = delta_pairs.pair(name)
    old, new = os.path.join(folder, 'old'), os.path.join(folder, 'new')
    print(f'\n{name}: {os.path.getsize(old):,} -> {os.path.getsize(new):,} bytes')
    print('| tool | patch bytes | vs ours | encode wall (processor) | encode peak RSS | apply wall | apply peak RSS |')
    print('|---|---:|---:|---:|---:|---:|---:|')
    ours = None
    for tool, encode, apply in tools(args):
        patch, out = os.path.join(work, 'patch'), os.path.join(work, 'out')
        seconds, processor, peak = measured(encode(old, new, patch))
        size = os.path.getsize(patch)
        ours = ours or size
        applied = ''
        if apply:
            apply_seconds, _, apply_peak = measured(apply(old, patch, out))
            if not filecmp.cmp(out, new, shallow=False):
                raise SystemExit(f'{tool} did not give back {name}')
            applied = f'{apply_seconds:.2f} s | {apply_peak:.1f} MiB'
        else:
            applied = ' | '
        print(f'| {tool} | {size:,} | {size / ours:.3f} | {seconds:.1f} s ({processor:.1f} s) | {peak:.0f} MiB | {applied} |',
              flush=True)


def run_pairs(prefix, pairs, bench, parser=None):
    """Parses the command line shared by the pair benchmarks (--hdiffz, --threads, PAIR...) on
    parser (or a new one) and runs bench(name, args, work) for each pair in a scratch folder."""
    parser = parser or argparse.ArgumentParser()
    parser.add_argument('--hdiffz', help="HDiffPatch's hdiffz, built by hand (hpatchz beside it)")
    parser.add_argument('--threads', type=int, default=2)
    parser.add_argument('pairs', nargs='*', default=list(pairs))
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix=prefix)
    try:
        for name in args.pairs:
            bench(name, args, work)
    finally:
        shutil.rmtree(work)


def main():
    run_pairs('bench-delta-', delta_pairs.PAIRS, bench_pair)


if __name__ == '__main__':
    main()
