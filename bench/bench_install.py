#!/usr/bin/env python3
"""The install benchmark: a large game-like payload installed end to end by the real installer under
Wine, against the limit on the same data (install_limit.exe: LzmaDecode of every block plus 4096-byte
WriteFile calls, nothing else). Prints both times, the ratio, throughput and the installer's peak
memory.   bench_install.py SIZE_MB [SIZE_MB...]   (run by scripts/bench-install.sh)"""
import json
import os
import shutil
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINDOWS = os.path.join(ROOT, 'build', os.environ.get('QPATCH_WINDOWS_TREE', 'windows'))
RELEASE = os.path.join(ROOT, 'build', 'release')
WORK = os.path.join(ROOT, 'build', 'bench-install')
WINE_RUN = os.path.join(ROOT, 'scripts', 'wine-run.sh')
ENV = dict(os.environ, QPATCH_BUILD_DIR=WINDOWS, LANG='zh_CN.UTF-8')


def make_patch(size_mb):
    work = os.path.join(WORK, f'{size_mb}mb')
    shutil.rmtree(work, ignore_errors=True)
    files = os.path.join(work, 'files')
    subprocess.run([sys.executable, os.path.join(ROOT, 'tools/demo/make_demo_game.py'), '--bench',
                    str(size_mb), files], check=True)
    game = os.path.join(work, 'game')
    os.makedirs(os.path.join(game, 'Update'))
    os.makedirs(os.path.join(game, 'Bin'))
    open(os.path.join(game, 'Bin', 'Tolvar2.exe'), 'wb').close()
    installer = os.path.join(game, 'Update', 'bench.exe')
    subprocess.run([os.path.join(RELEASE, 'tools/patchtool/patchtool'), 'build', '--new', files,
                    '--target', '1.0.0.1', '--op', '<=', '--base', '1.0.0.0', '--description',
                    f'benchmark {size_mb} MB', '--out', os.path.join(work, 'patch'),
                    '--chunk-size', str(32 << 20), '--installer', installer,
                    '--stub', os.path.join(WINDOWS, 'resources/qpatch-stub.exe')],
                   check=True, stdout=subprocess.DEVNULL)
    return work, game, installer


def peak_memory_watch(name, result, stop):
    """Follows the installer's Unix process and keeps its high-water mark of resident memory."""
    while not stop.is_set():
        for pid in filter(str.isdigit, os.listdir('/proc')):
            try:
                with open(f'/proc/{pid}/cmdline', 'rb') as f:
                    command = f.read()
                if name.encode() not in command or b'uidriver' in command:
                    continue
                with open(f'/proc/{pid}/status') as f:
                    for line in f:
                        key, _, value = line.partition(':')
                        if key in ('VmHWM', 'RssAnon'):
                            result[key] = max(result.get(key, 0), int(value.split()[0]))
            except OSError:
                pass
        time.sleep(0.05)


def run_installer(work, installer):
    shutil.copy(os.path.join(WINDOWS, 'tools/uidriver/uidriver.exe'), work)
    shutil.copy(os.path.join(WINDOWS, 'tools/uidriver/uidriver_hook.dll'), work)
    memory, stop = {}, threading.Event()
    watcher = threading.Thread(target=peak_memory_watch, args=('bench.exe', memory, stop))
    watcher.start()
    launched = time.monotonic()
    driver = subprocess.Popen([WINE_RUN, os.path.join(work, 'uidriver.exe'), '--timeout', '900',
                               installer], stdout=subprocess.PIPE, text=True, env=ENV)
    opened = closed = None
    events = []
    for line in driver.stdout:
        try:
            event = json.loads(line)
        except ValueError:
            continue
        events.append(event)
        if event.get('event') == 'dialog' and opened is None:
            opened = time.monotonic()
        elif event.get('event') == 'dialog_closed':
            closed = time.monotonic()
    driver.wait()
    stop.set()
    watcher.join()
    boxes = [e.get('text') for e in events if e.get('event') == 'msgbox']
    if opened is None or closed is None:
        raise SystemExit(f'the installer did not run its dialog: {events}')
    return closed - opened, memory, boxes, opened - launched


def unchecked_copy(work):
    """The same patch in an installer without a checksum record, in a fresh game folder."""
    game = os.path.join(work, 'game-unchecked')
    os.makedirs(os.path.join(game, 'Update'))
    os.makedirs(os.path.join(game, 'Bin'))
    open(os.path.join(game, 'Bin', 'Tolvar2.exe'), 'wb').close()
    installer = os.path.join(game, 'Update', 'bench.exe')
    subprocess.run([os.path.join(ROOT, 'scripts', 'make-installer.sh'), '--no-checksum',
                    os.path.join(work, 'patch'), installer], check=True, env=ENV)
    return installer


def run_limit(work):
    target = os.path.join(work, 'limit-target')
    os.makedirs(target)
    out = subprocess.run([WINE_RUN, os.path.join(WINDOWS, 'bench/install_limit.exe'),
                          os.path.join(work, 'patch'), target], capture_output=True, text=True,
                         env=ENV, check=True).stdout
    fields = dict(f.split('=') for f in out.split() if '=' in f)
    return float(fields['limit_seconds']), int(fields['bytes_written'])


def installed_all(files, game):
    """Every generated file is in the game folder, byte for byte."""
    for folder, _, names in os.walk(files):
        for name in names:
            relative = os.path.relpath(os.path.join(folder, name), files)
            if subprocess.run(['cmp', '-s', os.path.join(files, relative),
                               os.path.join(game, relative)]).returncode != 0:
                return False
    return True


def main():
    for size_mb in map(int, sys.argv[1:]):
        work, game, installer = make_patch(size_mb)
        seconds, memory, boxes, startup = run_installer(work, installer)
        _, _, _, unchecked_startup = run_installer(work, unchecked_copy(work))
        limit, decoded = run_limit(work)
        ok = installed_all(os.path.join(work, 'files'), game)
        mb = decoded / 1e6
        payload = sum(os.path.getsize(os.path.join(work, 'patch', f))
                      for f in os.listdir(os.path.join(work, 'patch')) if f.endswith('.bin'))
        print(f'payload {size_mb} MB: {decoded} bytes decoded from {payload} bytes in '
              f'{len([f for f in os.listdir(os.path.join(work, "patch")) if f.endswith(".bin")])} chunks; '
              f'files match: {ok}; boxes: {boxes}')
        print(f'  installer (dialog open to closed): {seconds:.2f} s, {mb / seconds:.1f} MB/s')
        print(f'  limit (LzmaDecode + 4096-byte WriteFile): {limit:.2f} s, {mb / limit:.1f} MB/s')
        print(f'  ratio installer / limit: {seconds / limit:.3f}')
        check = startup - unchecked_startup
        print(f'  self-check: start to dialog {startup:.2f} s with the checksum record, '
              f'{unchecked_startup:.2f} s without: {check:.2f} s, {100 * check / (seconds + startup):.1f} % '
              f'of the install')
        print(f'  installer peak private memory (Wine process, RssAnon): {memory.get("RssAnon", 0) / 1024:.1f} MiB; '
              f'peak resident with the mapped image (VmHWM): {memory.get("VmHWM", 0) / 1024:.1f} MiB')


if __name__ == '__main__':
    main()
