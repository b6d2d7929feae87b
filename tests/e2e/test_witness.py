"""The shipped 32-bit installer where the kernel runs no 32-bit code: scripts/suite.sh runs these
under qemu-i386 (scripts/i386-emulation.sh, QPATCH_WINE_EMULATED=1), the two classes side by side.
Every run starts two emulated Wine processes (the UI driver and the installer), each costing about
a minute of processor time, so each run proves as much as it can, held to the expectations of its
native test:
- Refusals: a damaged package (the self-check, a refusal box at start-up) and a modded delta base
  (the named-file box of the readiness check, with the dialog open, nothing written);
- DemoPatch: the demo's patch as patchtool builds it (range and whole-file entries, three deltas,
  one of them through a zip pack's members, a removal) killed while a delta's temporary is half
  written, then installed by a second run:
  start-up, the dialog, the chunks, the deltas, the removal, the success box, the version and
  every file."""
import os
import shutil
import subprocess
import sys
import time
import unittest

import e2e
from e2e import ZH_CN
import test_install

PATCHTOOL = os.environ.get("QPATCH_PATCHTOOL",
                           os.path.join(e2e.SOURCE, "build", "native", "tools", "patchtool", "patchtool"))
MAKE_DEMO_GAME = os.path.join(e2e.SOURCE, "tools", "demo", "make_demo_game.py")


def timed_run(what, *args, **kwargs):
    """e2e.run, its wall time on stderr: where the witness's time goes."""
    start = time.monotonic()
    result = e2e.run(*args, **kwargs)
    sys.stderr.write("witness run: %s, %.0f s\n" % (what, time.monotonic() - start))
    return result


class Refusals(test_install.SelfCheckCase):
    def test_damaged_package_is_refused(self):
        exe = e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, test_install.FULL_PAYLOAD)
        game = test_install.prepared_game()
        damaged = self.flipped(exe, self.damage_places(exe)["compressed stream"])
        r = timed_run("damaged package", game.place(damaged), lang=ZH_CN)
        self.assertCorruptRefused(r, game, ZH_CN)
        self.assertEqual(r.boxes[0]["buttons"], ["OK"])

    def test_modded_delta_base_is_refused_with_nothing_written(self):
        game = test_install.delta_game(archive=test_install.OLD_ARCHIVE[:-1] + b"!")
        exe = game.place(test_install.delta_installer())
        before = e2e.snapshot(game.root)
        r = timed_run("modded delta base", exe, lang=ZH_CN)
        self.assertFinishedAlone(r)
        self.assertEqual(len(r.boxes), 1, r.boxes)
        box = r.boxes[0]
        self.assertEqual((box["text"], box["icon"], box["owner"]),
                         (e2e.wrong_base_text(ZH_CN, "Data\\archive.pak"), "error", "dialog"))
        self.assertEqual(e2e.snapshot(game.root), before)


DROPPED = "Data/obsolete.dat"  # in the old version only: the patch's removal list names it


def demo_patch():
    """The demo game's two versions, the old one with a file the new one drops, and the installer
    patchtool builds from them (the stub of the tree under test), made once per stub and tool:
    (versions folder, installer, its listing)."""
    stub = os.path.join(e2e.BUILD, "resources", "qpatch-stub.exe")
    made_from = "%s %s %s" % tuple(os.path.getmtime(p) for p in (stub, PATCHTOOL, __file__))
    work = os.path.join(e2e.BUILD, "e2e-installers", "demo")
    stamp = os.path.join(work, "made-from")
    if not (os.path.exists(stamp) and read(stamp) == made_from.encode()):
        shutil.rmtree(work, ignore_errors=True)
        subprocess.run([sys.executable, MAKE_DEMO_GAME, os.path.join(work, "versions")], check=True)
        with open(os.path.join(work, "versions", "old", *DROPPED.split("/")), "wb") as f:
            f.write(b"a file the update drops\r\n" * 100)
        subprocess.run([PATCHTOOL, "build", "--old", os.path.join(work, "versions", "old"),
                        "--new", os.path.join(work, "versions", "new"), "--target", "1.1.0.1",
                        "--op", "=", "--base", "1.1.0.0", "--description", "《Tolvar二》v1.1.0.0 升级到 v1.1.0.1",
                        "--out", os.path.join(work, "patch"), "--installer", os.path.join(work, "patch.exe"),
                        "--stub", stub], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(stamp, "w") as f:
            f.write(made_from)
    listing = subprocess.run([PATCHTOOL, "inspect", os.path.join(work, "patch.exe")], check=True,
                             stdout=subprocess.PIPE, text=True).stdout
    return os.path.join(work, "versions"), os.path.join(work, "patch.exe"), listing


def first_delta_half_way(listing):
    """(target, bytes written through WriteFile half-way into its temporary): the installer writes
    the chunks' entries in order, then the deltas' results; the deltas first when one names a
    base of another name."""
    chunks, deltas = 0, []
    for line in listing.splitlines():
        words = line.split() if line.startswith("  ") else []  # the entries are indented
        if words[:1] == ["range"]:
            chunks += int(words[words.index("stored") + 1])
        elif words[:1] == ["whole"]:
            chunks += int(words[words.index("decoded") + 1])
        elif words[:1] == ["delta"]:
            deltas.append((words[1], int(words[words.index("result") + 1])))
    if not deltas:
        raise AssertionError("the demo patch has no delta:\n" + listing)
    target, size = deltas[0]
    before = 0 if "base file" in listing else chunks
    return target, before + size // 2


def read(path):
    with open(path, "rb") as f:
        return f.read()


def files_under(root):
    return sorted(os.path.relpath(os.path.join(d, f), root) for d, _, fs in os.walk(root) for f in fs)


class DemoPatch(test_install.Outcomes):
    def test_killed_in_a_delta_then_healed(self):
        versions, installer, listing = demo_patch()
        old, new = (os.path.join(versions, v) for v in ("old", "new"))
        game = e2e.Game()
        shutil.rmtree(game.root)
        shutil.copytree(old, game.root)
        exe = game.place(installer)
        target, half = first_delta_half_way(listing)
        old_target = game.read(target)

        first = timed_run("demo patch, killed in a delta", exe, hold=[half], kill_when=e2e.held)
        self.assertTrue(first.killed, first.events)
        self.assertTrue(first.dialogs, first.events)
        self.assertEqual(game.read(target), old_target)
        self.assertTrue(os.path.exists(game.path(target + ".qpatch-new")))
        self.assertIn(b"VERSION=1.1.0.0", game.ini())
        self.assertTrue(os.path.exists(game.path(DROPPED)))  # removals come after every write

        second = timed_run("demo patch, healed", exe, lang=ZH_CN)
        self.assertEqual(second.exit_code, 0, second.events)
        self.assertEqual(second.of("close"), [])
        self.assertEqual(second.closed["finalPos"], 100, second.events)
        self.assertEqual(len(second.boxes), 1, second.boxes)
        self.assertSuccessBox(second, ZH_CN)
        self.assertIn(b"VERSION=1.1.0.1", game.ini())
        differ = [n for n in files_under(new) if game.read(n) != read(os.path.join(new, n))]
        self.assertEqual(differ, [])
        self.assertEqual([n for n in files_under(game.root) if "qpatch-new" in n], [])
        self.assertFalse(os.path.exists(game.path(DROPPED)))


if __name__ == "__main__":
    unittest.main()
