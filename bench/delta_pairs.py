#!/usr/bin/env python3
"""The delta benchmark's pairs of real consecutive versions, fetched once into build/bench-size/delta:

  esbuild    esbuild.exe of npm's @esbuild/win32-x64 0.20.0 -> 0.20.1 (`npm pack`)
  freedoom1  freedoom1.wad of Debian's freedoom, bookworm (0.12.1) -> trixie (0.13.0)
  freedoom2  freedoom2.wad of the same packages
  insertion  8 MiB of real compressed bytes -> the same with 3 MiB inserted at 40 % and 200
             scattered 64-byte edits (all taken from a real .deb; fixed seed)
  pack       (not among the size benchmark's pairs) a game pack of 79 MB whose members are the
             pairs above: each updated to its new version, and the last two swapped

The Debian packages come through a private apt configuration of their own (sources list, state
and cache under the work folder); the machine's own apt configuration is never used or changed.
Each pair is a folder holding `old` and `new`. (imported by bench_delta.py)"""
import glob
import os
import random
import shutil
import subprocess
import tarfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, 'build', 'bench-size', 'delta')
MIRROR = 'http://deb.debian.org/debian'
KEYRING = '/usr/share/keyrings/debian-archive-keyring.gpg'
PAIRS = ('esbuild', 'freedoom1', 'freedoom2', 'insertion')


def private_apt(suite):
    """apt-get options for a configuration that knows only SUITE's main component."""
    base = os.path.join(WORK, 'apt', suite)
    for sub in ('etc/parts', 'etc/prefs', 'state/lists/partial', 'cache/archives/partial'):
        os.makedirs(os.path.join(base, sub), exist_ok=True)
    sources = os.path.join(base, 'etc', 'sources.list')
    with open(sources, 'w') as f:
        f.write(f'deb [signed-by={KEYRING}] {MIRROR} {suite} main\n')
    status = os.path.join(base, 'state', 'status')
    open(status, 'a').close()
    return ['-o', f'Dir::Etc::SourceList={sources}', '-o', f'Dir::Etc::SourceParts={base}/etc/parts',
            '-o', f'Dir::Etc::Preferences={base}/etc/prefs/none',
            '-o', f'Dir::Etc::PreferencesParts={base}/etc/prefs',
            '-o', f'Dir::State={base}/state', '-o', f'Dir::State::status={status}',
            '-o', f'Dir::Cache={base}/cache', '-o', 'APT::Architectures::=amd64',
            '-o', 'Debug::NoLocking=1']


def debian_deb(package, suite):
    debs = os.path.join(WORK, 'debs', suite)
    found = glob.glob(os.path.join(debs, package + '_*.deb'))
    if found:
        return found[0]
    os.makedirs(debs, exist_ok=True)
    options = private_apt(suite)
    subprocess.run(['apt-get', *options, '-qq', 'update'], check=True)
    subprocess.run(['apt-get', *options, '-qq', 'download', package], cwd=debs, check=True)
    return glob.glob(os.path.join(debs, package + '_*.deb'))[0]


def unpacked(deb, member):
    out = deb + '.d'
    if not os.path.isdir(out):
        subprocess.run(['dpkg-deb', '-x', deb, out + '.tmp'], check=True)
        os.rename(out + '.tmp', out)
    return os.path.join(out, member)


def npm_exe(version):
    folder = os.path.join(WORK, 'npm', version)
    exe = os.path.join(folder, 'package', 'esbuild.exe')
    if os.path.exists(exe):
        return exe
    os.makedirs(folder, exist_ok=True)
    result = subprocess.run(['npm', 'pack', '--silent', f'@esbuild/win32-x64@{version}'], cwd=folder,
                            check=True, stdout=subprocess.PIPE, text=True)
    with tarfile.open(os.path.join(folder, result.stdout.strip().splitlines()[-1])) as tar:
        tar.extract('package/esbuild.exe', folder)
    return exe


def insertion_files(real):
    """old: 8 MiB of real compressed bytes; new: 3 MiB of other real bytes inserted at 40 %, then
    200 edits of 64 bytes at random places, each with real bytes from elsewhere."""
    with open(real, 'rb') as f:
        data = f.read()
    old = data[:8 << 20]
    inserted = data[8 << 20:11 << 20]
    at = len(old) * 2 // 5
    new = bytearray(old[:at] + inserted + old[at:])
    rng = random.Random(26)
    for _ in range(200):
        source = rng.randrange(11 << 20, len(data) - 64)
        place = rng.randrange(0, len(new) - 64)
        new[place:place + 64] = data[source:source + 64]
    return old, bytes(new)


def link_pair(name, old, new):
    folder = os.path.join(WORK, 'pairs', name)
    if os.path.isdir(folder):
        return folder
    os.makedirs(folder + '.tmp', exist_ok=True)
    for role, content in (('old', old), ('new', new)):
        path = os.path.join(folder + '.tmp', role)
        if isinstance(content, bytes):
            with open(path, 'wb') as f:
                f.write(content)
        else:
            shutil.copy(content, path)
    os.rename(folder + '.tmp', folder)
    return folder


def pair(name):
    """Returns: the folder holding the pair's `old` and `new`, fetching and making it once."""
    folder = os.path.join(WORK, 'pairs', name)
    if os.path.isdir(folder):
        return folder
    if name == 'esbuild':
        return link_pair(name, npm_exe('0.20.0'), npm_exe('0.20.1'))
    if name in ('freedoom1', 'freedoom2'):
        wad = f'usr/share/games/doom/{name}.wad'
        return link_pair(name, unpacked(debian_deb('freedoom', 'bookworm'), wad),
                         unpacked(debian_deb('freedoom', 'trixie'), wad))
    if name == 'insertion':
        return link_pair(name, *insertion_files(debian_deb('freedoom', 'trixie')))
    if name == 'pack':
        members = [os.path.join(pair(p), 'old') for p in PAIRS] + [os.path.join(pair(p), 'new') for p in PAIRS]
        read = lambda path: open(path, 'rb').read()
        old = b''.join(read(m) for m in members[:4])
        new = b''.join(read(m) for m in members[4:6] + [members[7], members[6]])
        return link_pair(name, old, new)
    raise SystemExit(f'unknown pair {name}')


if __name__ == '__main__':
    for name in PAIRS:
        print(name, pair(name))
