#!/usr/bin/env python3
"""The archive benchmark's pairs: one compressed archive (zip with deflated members) of two
consecutive versions, fetched once into build/bench-size/archives:

  triplea   bin/triplea.jar of Debian's triplea (the game), bookworm 1.9.0.0.7062-2 -> trixie
            1.9.0.0.7062-3: the same game rebuilt, nearly every class changed
  closure   compiler.jar of npm's google-closure-compiler-java 20250402.0.0 -> 20250407.0.0
            (`npm pack`)
  lang3     commons-lang3.jar of Debian's libcommons-lang3-java, bookworm 3.12.0 -> trixie 3.17.0
  spring    base/spring/bitmaps.sdz of Debian's spring-common (the game engine's data), bookworm
            106.0+dfsg-1 -> trixie 106.0+dfsg-4: the archive made again, only its headers differ

The Debian packages come through the delta benchmark's private apt configuration
(bench/delta_pairs.py). Each pair is a folder holding `old` and `new`, and the path that the
archive has in a game folder. (imported by bench_archives.py)"""
import os
import shutil
import subprocess
import tarfile

import delta_pairs

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(ROOT, 'build', 'bench-size', 'archives')
PAIRS = {  # name: (package, old file, new file in the unpacked package, path in the game folder)
    'triplea': ('triplea', 'usr/share/games/triplea/bin/triplea.jar',
                'usr/share/games/triplea/bin/triplea.jar', 'bin/triplea.jar'),
    'closure': ('npm:google-closure-compiler-java@20250402.0.0:20250407.0.0', 'package/compiler.jar',
                'package/compiler.jar', 'compiler.jar'),
    'lang3': ('libcommons-lang3-java', 'usr/share/java/commons-lang3.jar',
              'usr/share/java/commons-lang3-3.17.0.jar', 'lib/commons-lang3.jar'),
    'spring': ('spring-common', 'usr/share/games/spring/base/spring/bitmaps.sdz',
               'usr/share/games/spring/base/spring/bitmaps.sdz', 'base/spring/bitmaps.sdz'),
}


def npm_package(name_version):
    """The unpacked folder of an npm package NAME@VERSION (`npm pack`, once)."""
    folder = os.path.join(WORK, 'npm', name_version.replace('/', '+'))
    if os.path.isdir(folder):
        return folder
    os.makedirs(folder + '.tmp', exist_ok=True)
    result = subprocess.run(['npm', 'pack', '--silent', name_version], cwd=folder + '.tmp', check=True,
                            stdout=subprocess.PIPE, text=True)
    with tarfile.open(os.path.join(folder + '.tmp', result.stdout.strip().splitlines()[-1])) as tar:
        tar.extractall(folder + '.tmp', **({'filter': 'data'} if hasattr(tarfile, 'data_filter') else {}))
    os.rename(folder + '.tmp', folder)
    return folder


def sides(package):
    """The unpacked old and new packages: Debian's bookworm and trixie, or two npm versions."""
    if package.startswith('npm:'):
        name, versions = package[4:].rsplit('@', 1)
        old, new = versions.split(':')
        return npm_package(f'{name}@{old}'), npm_package(f'{name}@{new}')
    return (delta_pairs.unpacked(delta_pairs.debian_deb(package, 'bookworm'), ''),
            delta_pairs.unpacked(delta_pairs.debian_deb(package, 'trixie'), ''))


def pair(name):
    """Returns: the folder holding the pair's `old` and `new`, fetching and making it once."""
    if name not in PAIRS:
        raise SystemExit(f'unknown pair {name} (one of {", ".join(PAIRS)})')
    folder = os.path.join(WORK, 'pairs', name)
    if os.path.isdir(folder):
        return folder
    package, old_file, new_file, _ = PAIRS[name]
    old_root, new_root = sides(package)
    os.makedirs(folder + '.tmp', exist_ok=True)
    shutil.copy(os.path.join(old_root, old_file), os.path.join(folder + '.tmp', 'old'))
    shutil.copy(os.path.join(new_root, new_file), os.path.join(folder + '.tmp', 'new'))
    os.rename(folder + '.tmp', folder)
    return folder


if __name__ == '__main__':
    for name in PAIRS:
        print(name, pair(name))
