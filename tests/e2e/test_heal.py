"""An installation killed part-way, then run again to its end, leaves the game exactly as one clean
installation does: every entry creates its file anew or writes the same bytes at the same offsets,
a delta's target is replaced in one step (its base, here another file too, read before anything
replaces or removes it; a pack's base expanded beside it into a file that goes with the process), removals only take what an old version held, and game.ini names the old
version until the very end.

    HEAL_POINTS=N HEAL_SEED=S ctest --test-dir BUILD -C campaign -L campaign
runs N kills (default 20) besides the named points below, where the worker is held at a chosen
write when it is killed: every other one at a random moment, the others at a write held at a
random byte of the installation."""
import io
import os
import random
import time
import unittest
import zipfile

import e2e

INI = "[GAME]\r\nVERSION=1.1.0.0\r\n"
OLD_PACK = e2e.pseudo_random(300 * 1024, 21)
OLD_TABLE = e2e.pseudo_random(40 * 1024, 22)
PACKS = ["Data/Packs/pack%d.pak" % i for i in range(6)]
PACK_SIZE = 3 << 20
OLD_DLL = e2e.pseudo_random(2 << 20, 23)
NEW_DLL = e2e.shifted(OLD_DLL, 24)
NEW_EXE = b"the new game executable" * 4000
RANGES = [e2e.pseudo_random(20000, 40), e2e.pseudo_random(9000, 41), e2e.pseudo_random(4096 * 3, 42)]
OLD_NAMED = e2e.pseudo_random(400 * 1024, 25)  # renamed and changed by the update
NEW_NAMED = e2e.shifted(OLD_NAMED, 26)
DROPPED = b"a plugin the new version no longer has" * 1000
SCRIPTS = [("quests/%d.txt" % i, e2e.game_text(40 * 1024, 27 + i)) for i in range(5)]
OLD_SCRIPTS = e2e.zip_archive(SCRIPTS, level=6)  # its delta goes through the members' content
NEW_SCRIPTS = e2e.zip_archive(SCRIPTS[:2] + [(SCRIPTS[2][0], SCRIPTS[2][1] + b"dragon")] + SCRIPTS[3:], 9)
# written beside it: every member is made again, so each one's content takes its packed bytes' place
EXPANDED_SCRIPTS = len(OLD_SCRIPTS) + sum(i.file_size - i.compress_size
                                          for i in zipfile.ZipFile(io.BytesIO(OLD_SCRIPTS)).infolist())
# A delta's base is another file, so the deltas are written first, then the chunks.
DELTA_WRITES = len(NEW_DLL) + len(NEW_NAMED) + EXPANDED_SCRIPTS + len(NEW_SCRIPTS)
CHUNK_WRITES = 6 * PACK_SIZE + sum(map(len, RANGES)) + len(NEW_EXE)


def _pack(i):
    # Compressible enough to build quickly, varied enough to take a while to decode and write.
    return (e2e.pseudo_random(64 * 1024, 30 + i) + bytes(range(256)) * 256) * (PACK_SIZE // (128 * 1024))


def _payload():
    first = b"".join(e2e.whole_file_entry(name, _pack(i), block_size=256 * 1024)
                     for i, name in enumerate(PACKS[:3]))
    second = b"".join([
        e2e.range_entry("Bin\\old.pak", 1000, RANGES[0]),
        e2e.range_entry("Bin\\old.pak", len(OLD_PACK) - 100, RANGES[1]),  # grows it
        e2e.whole_file_entry("Bin\\Tolvar2.exe", NEW_EXE),
        e2e.range_entry("Bin\\table.dat", 0, RANGES[2]),
    ])
    third = b"".join(e2e.whole_file_entry(name, _pack(3 + i), block_size=256 * 1024)
                     for i, name in enumerate(PACKS[3:]))
    return {1601: first, 1602: second, 1603: third}


_installer = None


def installer():
    global _installer
    if _installer is None:
        deltas = e2e.delta_entry("Bin\\engine.dll", OLD_DLL, NEW_DLL) + e2e.named_delta_entry(
            "Data/renamed.pak", "Bin/named.pak", OLD_NAMED, NEW_NAMED) + e2e.delta_entry(
            "Data/scripts.pk3", OLD_SCRIPTS, NEW_SCRIPTS)
        removals = e2e.removal_list([("Bin/named.pak", [OLD_NAMED]), ("Bin/Old/dropped.dll", [DROPPED])],
                                    ["Bin/Old"])
        _installer = e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, _payload(), deltas={1601: deltas},
                                        removals=removals)
    return _installer


def old_game():
    game = e2e.Game(ini=INI)
    game.write("Bin/old.pak", OLD_PACK)
    game.write("Bin/table.dat", OLD_TABLE)
    game.write("Bin/engine.dll", OLD_DLL)
    game.write("Bin/named.pak", OLD_NAMED)
    game.write("Bin/Old/dropped.dll", DROPPED)
    game.write("Data/scripts.pk3", OLD_SCRIPTS)
    return game


_clean = None


def clean_result():
    """The game folder after one uninterrupted installation, and how long that took."""
    global _clean
    if _clean is None:
        game = old_game()
        started = time.time()
        r = e2e.run(game.place(installer()), timeout=300)
        took = time.time() - started
        assert r.exit_code == 0 and r.boxes and not r.killed, r.events
        _clean = (e2e.snapshot(game.root), took)
    return _clean


def size_of(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return -1


class Healing(unittest.TestCase):
    def assertHeals(self, game, first, label):
        second = e2e.run(game.place(installer()), timeout=300)
        self.assertEqual(e2e.snapshot(game.root), clean_result()[0],
                         "%s: not healed (first run %s, second %s)" % (label, first.events[-3:], second.events))

    def kill_and_rerun(self, label, hold, check=None):
        """Kills the installer while its worker waits at the hold point, then runs it again."""
        game = old_game()
        exe = game.place(installer())
        first = e2e.run(exe, timeout=60, hold=[hold], kill_when=e2e.held)
        self.assertTrue(first.killed, "%s: the hold point was never reached" % label)
        if check:
            check(game, first)
        self.assertHeals(game, first, label)


class Points(Healing):
    def test_before_the_first_write(self):
        # The worker checks every target before it writes: it is held at its first write.
        self.kill_and_rerun("before the first write", 0)

    def test_mid_file(self):
        def half_written(game, first):
            self.assertEqual(size_of(game.path(PACKS[1])), PACK_SIZE // 2)
        self.kill_and_rerun("mid-file", DELTA_WRITES + PACK_SIZE + PACK_SIZE // 2, half_written)

    def test_between_entries(self):
        def first_done(game, first):
            self.assertEqual(size_of(game.path(PACKS[0])), PACK_SIZE)
        self.kill_and_rerun("at the end of an entry", DELTA_WRITES + PACK_SIZE, first_done)

    def test_mid_delta(self):
        # The delta writes a temporary beside its target, which keeps its old content.
        def target_old(game, first):
            written = first.of("held")[0]["written"]
            self.assertEqual(size_of(game.path("Bin/engine.dll.qpatch-new")), written)
            self.assertEqual(game.read("Bin/engine.dll"), OLD_DLL)
        self.kill_and_rerun("mid-delta", len(NEW_DLL) // 2, target_old)

    def test_mid_delta_from_another_file(self):
        # The first delta is in place; the renamed file's base is still there for the rerun.
        def base_kept(game, first):
            self.assertEqual(game.read("Bin/engine.dll"), NEW_DLL)
            self.assertEqual(game.read("Bin/named.pak"), OLD_NAMED)
            self.assertFalse(os.path.exists(game.path("Data/renamed.pak")))
        self.kill_and_rerun("mid-delta from another file", len(NEW_DLL) + len(NEW_NAMED) // 2, base_kept)

    def test_mid_expansion_of_a_pack(self):
        # The pack's base is half expanded beside it: the expansion goes with the process.
        def pack_old(game, first):
            self.assertEqual(game.read("Data/scripts.pk3"), OLD_SCRIPTS)
            self.assertFalse(os.path.exists(game.path("Data/scripts.pk3.qpatch-base")))
        self.kill_and_rerun("mid-expansion", len(NEW_DLL) + len(NEW_NAMED) + EXPANDED_SCRIPTS // 2,
                            pack_old)

    def test_during_the_version_write_back(self):
        # Killed while the copy of game.ini exists and its value is about to be written; the
        # delta's target is new already, and the second run leaves it as it is.
        def copy_made(game, first):
            self.assertTrue(os.path.exists(game.path("Bin/game.ini.new")))
            self.assertEqual(game.ini(), INI.encode())
            self.assertEqual(game.read("Bin/engine.dll"), NEW_DLL)
            self.assertFalse(os.path.exists(game.path("Bin/named.pak")))  # removed by then
            self.assertFalse(os.path.exists(game.path("Bin/Old")))
        self.kill_and_rerun("version write-back", "ini", copy_made)

    def test_after_a_confirmed_cancel(self):
        game = old_game()
        first = e2e.run(game.place(installer()), close_at=[20], answers=["Yes"],
                        hold=[DELTA_WRITES + 3 * PACK_SIZE], timeout=300)
        self.assertEqual(first.exit_code, 0, first.events)
        self.assertEqual(game.ini(), INI.encode())
        self.assertFalse(os.path.exists(game.path(PACKS[5])))
        self.assertHeals(game, first, "after a confirmed cancel")

    def test_a_copy_left_by_a_killed_write_back_is_replaced(self):
        game = old_game()
        game.write("Bin/game.ini.new", b"[GAME]\r\nVERSION=garbage")
        os.chmod(game.path("Bin/game.ini.new"), 0o444)
        r = e2e.run(game.place(installer()), timeout=300)
        self.assertEqual(r.exit_code, 0, r.events)
        self.assertEqual(e2e.snapshot(game.root), clean_result()[0])


class Campaign(Healing):
    def test_random_points(self):
        count = int(os.environ.get("HEAL_POINTS", "20"))
        seed = int(os.environ.get("HEAL_SEED", "1"))
        print("heal campaign: %d points, seed %d" % (count, seed), flush=True)
        chooser = random.Random(seed)
        clean_result()
        # Timed again: the first run also started the Wine server that the later ones share.
        game = old_game()
        started = time.time()
        self.assertEqual(e2e.run(game.place(installer()), timeout=300).exit_code, 0)
        took = time.time() - started
        healed = 0
        for i in range(count):
            # Every other point is a write held at a random byte, so that it is surely killed; the
            # others fall at a random time, between writes too (the check, a flush, a move).
            delay = chooser.uniform(0, took)
            byte = chooser.randrange(DELTA_WRITES + CHUNK_WRITES)
            label = ("point %d: %.3f s of %.3f s" % (i + 1, delay, took) if i % 2 == 0 else
                     "point %d: at byte %d of %d" % (i + 1, byte, DELTA_WRITES + CHUNK_WRITES))
            with self.subTest(label):
                game = old_game()
                exe = game.place(installer())
                start = []

                def due(events, start=start, delay=delay):
                    if not start:
                        start.append(time.time())
                    return time.time() - start[0] >= delay

                if i % 2 == 0:
                    first = e2e.run(exe, timeout=60, kill_when=due)
                else:
                    first = e2e.run(exe, timeout=60, hold=[byte], kill_when=e2e.held)
                second = e2e.run(exe, timeout=300)
                ok = e2e.snapshot(game.root) == clean_result()[0]
                healed += ok
                print("  %s: %s%s" % (label, "healed" if ok else "NOT HEALED",
                                      "" if first.killed else " (ended before the kill)"), flush=True)
                self.assertTrue(ok, "%s: %s / %s" % (label, first.events[-3:], second.events[-3:]))
        print("heal campaign: %d/%d healed (seed %d)" % (healed, count, seed), flush=True)


if __name__ == "__main__":
    unittest.main()
