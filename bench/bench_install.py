#!/usr/bin/env python3
"""The install benchmark: the real installer timed as a user waits for it, from process start to
exit, unattended (game.ini is read-only, so the run ends without any box), against the limit on the
same chunks (install_limit.exe: every block LzmaDecoded into one buffer, 4096-byte WriteFile calls,
files created the same way, no window) and against a trivial GUI program, interleaved, in rounds.
Prints per payload the median and spread of each, the ratio, the fixed, per-megabyte and per-file
parts of the excess (least squares over the payloads) and the installer's peak memory.

  bench_install.py [--rounds N] [--overwrite] [--strace] [--phases] [--cold-desktop] [--against TREE]
                  [--block-size SIZE] PAYLOAD...
  PAYLOAD: tiny | dlls:COUNT (real PE files from Wine's DLL folder, many small files in folders)
           | game:SIZE_MB (game-like packs of 4 to 12 MB each: few large files)
           | dir:PATH (the files of a folder, e.g. a data set of scripts/bench-size.sh)
           | delta:PAIR (a pair of bench/delta_pairs.py: its old file installed, its new one sent
             as a delta; the limit applies the same delta as a plain process, base checked)
           | archive:PAIR (the same with a pair of bench/archive_pairs.py, compressed archives:
             the delta goes through their streams, and so does the limit's)
--block-size: the patch is built with that block size (the tool's default otherwise).
--overwrite: every run writes over the files of the previous one (a patch over an installed game);
otherwise each run starts from a game folder without them. --strace: one extra run of each under
strace -f, counting server round trips (64-byte reads), mmap calls and system calls. --phases: one
extra installer run under Wine's timestamped traces, split into start-up, dialog, steps and exit.
Wine's desktop is held up for the whole benchmark, as Windows' desktop always is (desktop_holder.exe);
--cold-desktop lets every GUI program start it again when the previous one has let it end, which
adds about 0.2 s to a run (more on a loaded machine), or not, depending on how long ago the
previous GUI program exited. --against TREE: the same patch is also bound to the installer code of
another Windows build tree (a variant of the stub) and run in every round too, for an A/B ratio.
(run by scripts/bench-install.sh)"""
import argparse
import atexit
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import archive_pairs
import delta_pairs

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINDOWS = os.path.join(ROOT, 'build', os.environ.get('QPATCH_WINDOWS_TREE', 'windows'))
RELEASE = os.path.join(ROOT, 'build', 'release')
WORK = os.path.join(ROOT, 'build', 'bench-install')
WINE_DLLS = '/usr/lib/x86_64-linux-gnu/wine/x86_64-windows'
MB = 1e6


def wine_env():
    arch = open(os.path.join(WINDOWS, 'wine-arch')).read().strip()
    loader, server = (('/usr/lib/wine/wine64', '/usr/lib/wine/wineserver64') if arch == 'win64'
                      else ('/usr/lib/wine/wine', '/usr/lib/wine/wineserver32'))
    env = dict(os.environ, WINELOADER=loader, WINESERVER=server, WINEARCH=arch, WINEDEBUG='-all',
               WINEPREFIX=os.path.join(WINDOWS, 'wineprefix'), LANG='zh_CN.UTF-8',
               WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d')
    return loader, server, env


LOADER, SERVER, ENV = wine_env()


def prefix_theme():
    """The visual-styles state of the prefix: a new prefix of Wine 8 turns its theme on, and
    themed controls cost painting time."""
    try:
        with open(os.path.join(ENV['WINEPREFIX'], 'user.reg'), encoding='utf-8', errors='replace') as f:
            text = f.read()
    except OSError:
        return 'no prefix yet'
    key = text.find('[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\ThemeManager]')
    if key < 0:
        return 'no ThemeManager key (unthemed)'
    section = text[key:text.find('\n[', key + 1)]
    active = re.search(r'"ThemeActive"="(\d)"', section)
    name = re.search(r'"DllName"="([^"]*)"', section)
    state = 'on' if active and active.group(1) == '1' else 'off'
    return f"ThemeActive {state}{', ' + name.group(1).split(chr(92) * 2)[-1] if name else ''}"


def make_files(payload_name, files):
    kind, _, count = payload_name.partition(':')
    if kind == 'tiny':
        os.makedirs(os.path.join(files, 'Bin'))
        with open(os.path.join(files, 'Bin', 'tiny.txt'), 'wb') as f:
            f.write(b'tiny payload\r\n' * 64)
    elif kind == 'dlls':
        names = sorted(n for n in os.listdir(WINE_DLLS)
                       if os.path.getsize(os.path.join(WINE_DLLS, n)) < 2 << 20)[:int(count)]
        for name in names:
            folder = os.path.join(files, 'Bin', 'plugins', name[0])
            os.makedirs(folder, exist_ok=True)
            shutil.copy(os.path.join(WINE_DLLS, name), folder)
    elif kind == 'dir':
        shutil.copytree(count, files)
    elif kind in ('delta', 'archive'):
        os.makedirs(os.path.join(files, 'Bin'))
        shutil.copy(os.path.join(pair_folder(kind, count), 'new'), os.path.join(files, 'Bin', count))
    elif kind == 'game':
        subprocess.run([sys.executable, os.path.join(ROOT, 'tools/demo/make_demo_game.py'), '--bench',
                        count, files], check=True)
    else:
        raise SystemExit(f'unknown payload {payload_name}')


def pair_folder(kind, name):
    """The folder of a pair's old and new file: a delta pair, or an archive pair."""
    return (delta_pairs if kind == 'delta' else archive_pairs).pair(name)


def make_payload(payload_name, block_size):
    """Returns (work folder, installer, game folder); reuses what an earlier run built."""
    work = os.path.join(WORK, payload_name.replace(':', '-').replace('/', '_') +
                        (f'-{block_size}' if block_size else ''))
    game = os.path.join(work, 'game')
    installer = os.path.join(game, 'Update', 'bench.exe')
    stub = os.path.join(WINDOWS, 'resources/qpatch-stub.exe')
    files = os.path.join(work, 'files')
    if not os.path.isdir(files):
        make_files(payload_name, files + '.new')
        os.rename(files + '.new', files)
    os.makedirs(os.path.join(game, 'Update'), exist_ok=True)
    os.makedirs(os.path.join(game, 'Bin'), exist_ok=True)
    open(os.path.join(game, 'Bin', 'Tolvar2.exe'), 'wb').close()  # marks the game folder
    old = []
    if payload_name.startswith(('delta:', 'archive:')):
        kind, pair = payload_name.split(':', 1)
        os.makedirs(os.path.join(work, 'old', 'Bin'), exist_ok=True)
        shutil.copy(os.path.join(pair_folder(kind, pair), 'old'), os.path.join(work, 'old', 'Bin', pair))
        old = ['--old', os.path.join(work, 'old')]
    if not os.path.exists(os.path.join(work, 'patch', 'descriptor.txt')):
        shutil.rmtree(os.path.join(work, 'patch'), ignore_errors=True)
        subprocess.run([os.path.join(RELEASE, 'tools/patchtool/patchtool'), 'build'] + old + ['--new', files,
                        '--target', '1.0.0.1', '--op', '=' if old else '<=', '--base', '1.0.0.0', '--description',
                        f'benchmark {payload_name}', '--out', os.path.join(work, 'patch'),
                        '--chunk-size', str(32 << 20), '--installer', installer, '--stub', stub, '--force'] +
                       (['--block-size', block_size] if block_size else []),
                       check=True, stdout=subprocess.DEVNULL)
    else:  # the stub may have changed since: rebind the same patch
        bind_installer(work, WINDOWS, installer)
    ini = os.path.join(game, 'Bin', 'game.ini')
    if os.path.exists(ini):
        subprocess.run(['chattr', '-i', ini], check=False)
    with open(ini, 'w') as f:
        f.write('[GAME]\r\nVERSION=1.0.0.0\r\n')
    # Read-only even for root: the version write-back fails, so no box ends the run.
    subprocess.run(['chattr', '+i', ini], check=True)
    return work, installer, game


def bind_installer(work, tree, installer):
    """Binds the payload's patch folder to the installer code of another build tree."""
    subprocess.run([os.path.join(ROOT, 'scripts', 'make-installer.sh'), os.path.join(work, 'patch'),
                    installer], check=True, env=dict(ENV, QPATCH_BUILD_DIR=tree), stdout=subprocess.DEVNULL)


def payload_names(files):
    out = []
    for folder, _, names in os.walk(files):
        out += [os.path.relpath(os.path.join(folder, n), files) for n in names]
    return out


def clear_targets(root, names, work=None):
    """Removes the payload's files from root; a delta payload's targets get their old content."""
    old = work and os.path.join(work, 'old')
    if old and os.path.isdir(old):
        for name in names:
            os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
            shutil.copy(os.path.join(old, name), os.path.join(root, name))
        return
    for name in names:
        try:
            os.unlink(os.path.join(root, name))
        except FileNotFoundError:
            pass
    for top in {n.split(os.sep)[0] for n in names}:
        if top != 'Bin':
            shutil.rmtree(os.path.join(root, top), ignore_errors=True)
    shutil.rmtree(os.path.join(root, 'Bin', 'plugins'), ignore_errors=True)


def files_match(p):
    return all(subprocess.run(['cmp', '-s', os.path.join(p['work'], 'files', n),
                               os.path.join(p['game'], n)]).returncode == 0 for n in p['names'])


def run_timed(command, cwd=None):
    """Runs command as one process; returns (seconds start to exit, peak RssAnon KiB, peak VmHWM
    KiB, stdout)."""
    peak = {'RssAnon': 0, 'VmHWM': 0}
    stop = threading.Event()
    os.sync()  # the write-back of the run before, and of the files just cleared, is not this run's
    start = time.monotonic()
    process = subprocess.Popen(command, env=ENV, cwd=cwd, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)

    def watch():
        while not stop.is_set():
            try:
                with open(f'/proc/{process.pid}/status') as f:
                    for line in f:
                        key, _, value = line.partition(':')
                        if key in peak:
                            peak[key] = max(peak[key], int(value.split()[0]))
            except (OSError, ValueError):
                pass
            stop.wait(0.01)

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        out, _ = process.communicate(timeout=600)
    except subprocess.TimeoutExpired:
        process.kill()
        raise SystemExit(f'{command[-1]} did not end by itself: a box is probably waiting')
    seconds = time.monotonic() - start
    stop.set()
    watcher.join()
    if process.returncode != 0:
        raise SystemExit(f'{command} exited with {process.returncode}')
    return seconds, peak['RssAnon'], peak['VmHWM'], out


def strace_counts(command):
    """System call counts of one run under strace -f: server round trips are the 64-byte reads
    (every request's reply header), mmap and the total."""
    with tempfile.NamedTemporaryFile('r', suffix='.strace') as log:
        subprocess.run(['strace', '-f', '-qq', '-o', log.name, '-e', 'trace=all'] + command, env=ENV,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=900)
        lines = log.read().splitlines()
    calls = [l for l in lines if re.match(r'\d+\s+\w+\(', l)]
    return {'server': sum(1 for l in calls if re.search(r'\bread\(\d+, .*, 64\) = 64', l)),
            'mmap': sum(1 for l in calls if re.match(r'\d+\s+mmap\(', l)),
            'syscalls': len(calls)}


def installer_phases(installer):
    """Where one installer run spends its time, from Wine's own timestamped traces: the image
    loaded, the progress bar created (the dialog is being built), its first and last step and its
    destruction; what lies outside (Wine's loader before the image, the exit after the dialog)
    is the wall time less the traced span."""
    env = dict(ENV, WINEDEBUG='+timestamp,+loaddll,+progress')
    start = time.monotonic()
    trace = subprocess.run([LOADER, installer], env=env, cwd=os.path.dirname(installer), check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                           errors='replace').stderr.splitlines()
    wall = time.monotonic() - start
    stamp = lambda line: float(line.split(':', 1)[0])
    image = next(stamp(l) for l in trace if 'loaddll' in l and os.path.basename(installer) in l)
    bar = [l for l in trace if ':progress:' in l]
    steps = [stamp(l) for l in bar if 'current pos changed' in l]
    created, destroyed = stamp(bar[0]), stamp(next(l for l in bar if 'destruction' in l))
    return (f'image to dialog {created - image:.3f} s, dialog to first step {steps[0] - created:.3f} s, '
            f'{len(steps)} steps {steps[-1] - steps[0]:.3f} s, last step to dialog gone '
            f'{destroyed - steps[-1]:.3f} s, outside (loader, exit) {wall - (destroyed - image):.3f} s')


def spread(values):
    return f'{statistics.median(values):.3f} s [{min(values):.3f}..{max(values):.3f}]'


def fit(rows):
    """Least squares excess = fixed + perMB * MB + perFile * files (normal equations, Gaussian
    elimination); None with fewer than 3 rows or when the payloads do not separate the parts."""
    if len(rows) < 3:
        return None
    x = [(1.0, mb, n) for mb, n, _ in rows]
    m = [[sum(r[i] * r[j] for r in x) for j in range(3)] + [sum(r[i] * e for r, (_, _, e) in zip(x, rows))]
         for i in range(3)]
    for c in range(3):
        pivot = max(range(c, 3), key=lambda r: abs(m[r][c]))
        if abs(m[pivot][c]) < 1e-12:
            return None
        m[c], m[pivot] = m[pivot], m[c]
        for r in range(3):
            if r != c:
                f = m[r][c] / m[c][c]
                m[r] = [a - f * b for a, b in zip(m[r], m[c])]
    return [m[i][3] / m[i][i] for i in range(3)]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--rounds', type=int, default=5)
    parser.add_argument('--overwrite', action='store_true')
    parser.add_argument('--strace', action='store_true')
    parser.add_argument('--cold-desktop', action='store_true')
    parser.add_argument('--phases', action='store_true')
    parser.add_argument('--against', metavar='TREE')
    parser.add_argument('--block-size')
    parser.add_argument('payloads', nargs='*', default=['tiny', 'dlls:300', 'game:30', 'game:110'])
    args = parser.parse_args()
    subprocess.run([SERVER, '-p'], env=ENV, check=False, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)  # one persistent server for every run
    # The Wine runner makes the prefix as every test uses it (Managed=N: without a window manager
    # Wine would otherwise wait 2 s at every GUI program's exit).
    subprocess.run([os.path.join(ROOT, 'scripts/wine-run.sh'),
                    os.path.join(WINDOWS, 'bench/trivial_gui.exe')],
                   env=dict(os.environ, QPATCH_BUILD_DIR=WINDOWS), check=True)
    if not args.cold_desktop:
        holder = subprocess.Popen([LOADER, os.path.join(WINDOWS, 'bench/desktop_holder.exe')], env=ENV)
        atexit.register(holder.kill)  # also when a failed run ends the benchmark early
        time.sleep(2)  # the desktop process is up well before this
    limit_exe = os.path.join(WINDOWS, 'bench/install_limit.exe')
    trivial = [LOADER, os.path.join(WINDOWS, 'bench/trivial_gui.exe')]
    payloads = []
    for payload_name in args.payloads:
        work, installer, game = make_payload(payload_name, args.block_size)
        files = os.path.join(work, 'files')
        names = payload_names(files)
        decoded = sum(os.path.getsize(os.path.join(files, n)) for n in names)
        target = os.path.join(work, 'limit-target')
        os.makedirs(target, exist_ok=True)
        payloads.append(dict(name=payload_name, work=work, installer=installer, game=game, names=names,
                             decoded=decoded, target=target, installer_runs=[], limit_runs=[],
                             limit_inner=[], rss=[], hwm=[], against_runs=[]))
        if args.against:
            payloads[-1]['against'] = os.path.join(os.path.dirname(installer), 'against.exe')
            bind_installer(work, os.path.abspath(args.against), payloads[-1]['against'])
    trivial_runs = []
    def run_installer(p, exe, first_round):
        """One timed run of exe into p's game folder; the first round checks that it installed."""
        if not args.overwrite:
            clear_targets(p['game'], p['names'], p['work'])
        measured = run_timed([LOADER, exe], cwd=os.path.dirname(exe))
        if first_round and not files_match(p):
            raise SystemExit(f"{p['name']}: {exe} ended without installing the payload "
                             '(no display? a box?); no timing of it would mean anything')
        return measured

    for round_number in range(args.rounds):
        for p in payloads:
            if not args.overwrite:
                clear_targets(p['target'], p['names'], p['work'])
            seconds, rss, hwm, _ = run_installer(p, p['installer'], round_number == 0)
            p['installer_runs'].append(seconds)
            p['rss'].append(rss)
            p['hwm'].append(hwm)
            if args.against:
                p['against_runs'].append(run_installer(p, p['against'], round_number == 0)[0])
            seconds, _, _, out = run_timed([LOADER, limit_exe, os.path.join(p['work'], 'patch'), p['target']])
            p['limit_runs'].append(seconds)
            p['limit_inner'].append(float(re.search(r'limit_seconds=([\d.]+)', out).group(1)))
            trivial_runs.append(run_timed(trivial)[0])
        print(f'round {round_number + 1} of {args.rounds} done', file=sys.stderr)
    rows = []
    mode = 'over the previous run\'s files' if args.overwrite else 'into a folder without the files'
    desktop = 'started by each GUI program' if args.cold_desktop else 'held up throughout'
    print(f'installer tree: {WINDOWS}; {args.rounds} rounds, interleaved; writing {mode}; '
          f'Wine desktop {desktop}')
    print(f'machine: {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f} at the end; '
          f'prefix {ENV["WINEPREFIX"]}: {prefix_theme()}')
    print(f'trivial GUI program: {spread(trivial_runs)}')
    for p in payloads:
        ok = files_match(p)
        inst, limit = statistics.median(p['installer_runs']), statistics.median(p['limit_runs'])
        ratios = [i / l for i, l in zip(p['installer_runs'], p['limit_runs'])]
        rows.append((p['decoded'] / MB, len(p['names']), inst - limit))
        print(f"{p['name']}: {len(p['names'])} files, {p['decoded'] / MB:.1f} MB decoded; files match: {ok}")
        print(f"  installer, start to exit:      {spread(p['installer_runs'])}")
        print(f"  limit, start to exit:          {spread(p['limit_runs'])} "
              f"(decode and write alone {statistics.median(p['limit_inner']):.3f} s)")
        print(f"  ratio installer / limit:       median {inst / limit:.3f}, per round "
              f"{min(ratios):.3f}..{max(ratios):.3f}; excess {inst - limit:+.3f} s; "
              f"over the trivial program {inst - statistics.median(trivial_runs):+.3f} s")
        if args.against:
            against = statistics.median(p['against_runs'])
            per_round = [i / a for i, a in zip(p['installer_runs'], p['against_runs'])]
            print(f"  installer of {args.against}: {spread(p['against_runs'])}; this / that: median "
                  f"{inst / against:.4f}, per round {min(per_round):.4f}..{max(per_round):.4f}")
        print(f"  installer peak private memory (RssAnon) {max(p['rss']) / 1024:.1f} MiB, "
              f"peak resident with mapped image (VmHWM) {max(p['hwm']) / 1024:.1f} MiB")
        if args.strace:
            for name, command in (('installer', [LOADER, p['installer']]),
                                  ('limit', [LOADER, limit_exe, os.path.join(p['work'], 'patch'), p['target']])):
                if not args.overwrite:
                    clear_targets(p['game'] if name == 'installer' else p['target'], p['names'], p['work'])
                print(f'  strace {name}: {strace_counts(command)}')
        if args.phases:
            if not args.overwrite:
                clear_targets(p['game'], p['names'], p['work'])
            print(f"  phases of one traced run: {installer_phases(p['installer'])}")
    if not all(files_match(p) for p in payloads):
        raise SystemExit('a run left files that differ from the payload')
    parts = fit(rows)
    if parts is not None:
        print(f'excess installer - limit = {parts[0]:+.3f} s fixed {parts[1] * 1000:+.2f} ms per MB '
              f'{parts[2] * 1000:+.2f} ms per file (least squares over {len(rows)} payloads)')
    subprocess.run([SERVER, '-k'], env=ENV, check=False)


if __name__ == '__main__':
    main()
