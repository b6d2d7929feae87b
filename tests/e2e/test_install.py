"""Installations by the real installer: files on disk byte for byte, the version written back,
the bar, the dialog ending by itself, and the one message of each outcome."""
import os
import subprocess
import unittest

import e2e
from e2e import ZH_CN, ZH_TW, TEXTS

INI = "[GAME]\r\nVERSION=1.1.0.0\r\n"

BIG = e2e.pseudo_random(700 * 1024, 1)            # two blocks of 512 KiB, incompressible
SMALL_BLOCKS = e2e.pseudo_random(10000, 2)         # three blocks of 4 KiB
NEW_FOLDER_FILE = b"created with its folders\n" * 100
OLD_GAME_DAT = e2e.pseudo_random(20000, 3)
RANGE_DATA = e2e.pseudo_random(9000, 4)            # pieces of 4096, 4096 and 808 bytes
KIND2 = b"kind 2 is a whole file too" * 50
THIRD = e2e.pseudo_random(30000, 5)


def chunk(*entries):
    return b"".join(entries)


FULL_PAYLOAD = {
    1601: chunk(
        e2e.whole_file_entry("Bin\\big.dat", BIG),
        e2e.whole_file_entry("Bin\\small.dat", SMALL_BLOCKS, block_size=4096),
        e2e.whole_file_entry("Data/New/a.bin", NEW_FOLDER_FILE),
        e2e.whole_file_entry("Bin\\empty.dat", b""),
        e2e.whole_file_entry("Bin\\replaced.dat", b"short"),
    ),
    1602: chunk(
        e2e.range_entry("Bin\\game.dat", 5000, RANGE_DATA),
        e2e.whole_file_entry("Bin\\kind2.dat", KIND2, kind=2),
    ),
    1603: chunk(e2e.whole_file_entry("Bin\\third.dat", THIRD)),
}


def patched_game_dat():
    data = bytearray(OLD_GAME_DAT)
    data[5000:5000 + len(RANGE_DATA)] = RANGE_DATA
    return bytes(data)


def prepared_game(**kwargs):
    game = e2e.Game(ini=INI, **kwargs)
    game.write("Bin/game.dat", OLD_GAME_DAT)
    game.write("Bin/replaced.dat", b"a much longer earlier content that must vanish" * 100)
    return game


class Outcomes(unittest.TestCase):
    def assertSuccessBox(self, run, lang):
        box = run.boxes[-1]
        self.assertEqual(box["text"], TEXTS[lang]["INSTALL_OK"])
        self.assertEqual(box["caption"], TEXTS[lang]["TITLE"])
        self.assertEqual(box["icon"], "none")
        self.assertEqual(box["buttons"], ["OK"])
        self.assertEqual(box["owner"], "none")
        self.assertFalse(box["dialogOpen"])
        # the box follows the end of the dialog
        kinds = [e["event"] for e in run.events]
        self.assertLess(kinds.index("dialog_closed"), len(kinds) - 1 - kinds[::-1].index("msgbox"))

    def assertErrorBox(self, box, lang, name, owner):
        self.assertEqual(box["text"], TEXTS[lang][name])
        self.assertEqual(box["caption"], TEXTS[lang]["TITLE"])
        self.assertEqual(box["icon"], "error")
        self.assertEqual(box["buttons"], ["OK"])
        self.assertEqual(box["owner"], owner)
        self.assertTrue(box["dialogOpen"])

    def assertFinishedAlone(self, run):
        self.assertEqual(run.exit_code, 0, run.events)
        self.assertEqual(run.of("close"), [])
        self.assertIsNotNone(run.closed, run.events)


class CompleteRun(Outcomes):
    def test_several_chunks(self):
        exe = e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, FULL_PAYLOAD)
        for lang in (ZH_CN, ZH_TW):
            with self.subTest(lang=lang):
                game = prepared_game()
                r = e2e.run(game.place(exe), lang=lang)
                self.assertFinishedAlone(r)
                self.assertEqual(len(r.boxes), 1, r.boxes)
                self.assertSuccessBox(r, lang)
                self.assertEqual(game.read("Bin/big.dat"), BIG)
                self.assertEqual(game.read("Bin/small.dat"), SMALL_BLOCKS)
                self.assertEqual(game.read("Data/New/a.bin"), NEW_FOLDER_FILE)
                self.assertEqual(game.read("Bin/empty.dat"), b"")
                self.assertEqual(game.read("Bin/replaced.dat"), b"short")
                self.assertEqual(game.read("Bin/game.dat"), patched_game_dat())
                self.assertEqual(game.read("Bin/kind2.dat"), KIND2)
                self.assertEqual(game.read("Bin/third.dat"), THIRD)
                self.assertEqual(game.ini(), b"[GAME]\r\nVERSION=1.1.0.1\r\n")
                # the bar: range 0..100, reaching exactly 100 before the dialog closed
                self.assertEqual(r.closed["finalPos"], 100)
                self.assertEqual(r.closed["source"], "hook")
                positions = [d["pos"] for d in r.dialogs]
                self.assertEqual(positions, sorted(positions))
                self.assertEqual(r.dialogs[-1]["rangeHigh"], 100)
                first = r.dialogs[0]
                self.assertFalse(first["updateEnabled"])
                self.assertEqual(first["info"], e2e.EXAMPLE_DESCRIPTION)
                self.assertEqual(first["caption"], TEXTS[lang]["DIALOG_CAPTION"])

    def test_range_into_a_file_an_earlier_entry_creates(self):
        payload = {1601: chunk(e2e.whole_file_entry("Bin\\made.dat", b"abcdef")),
                   1602: chunk(e2e.range_entry("Bin\\made.dat", 2, b"XY"))}
        game = prepared_game()
        r = e2e.run(game.place(e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, payload)))
        self.assertFinishedAlone(r)
        self.assertSuccessBox(r, ZH_CN)
        self.assertEqual(game.read("Bin/made.dat"), b"abXYef")

    def test_gap_in_chunk_ids_ends_the_sequence(self):
        payload = {1601: FULL_PAYLOAD[1601], 1603: FULL_PAYLOAD[1603]}
        game = prepared_game()
        r = e2e.run(game.place(e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, payload)))
        self.assertFinishedAlone(r)
        self.assertSuccessBox(r, ZH_CN)
        self.assertEqual(game.read("Bin/big.dat"), BIG)
        self.assertFalse(os.path.exists(game.path("Bin/third.dat")))
        self.assertEqual(game.read("Bin/game.dat"), OLD_GAME_DAT)
        self.assertIn(b"VERSION=1.1.0.1", game.ini())
        # 1603 is not counted in the total, so chunk 1601 alone fills the bar
        self.assertEqual(r.closed["finalPos"], 100)


OLD_EXE = e2e.pseudo_random(200 * 1024, 50)
NEW_EXE = e2e.shifted(OLD_EXE, 51)
OTHER_EXE = e2e.shifted(OLD_EXE, 52)  # the same file in another accepted old version
OLD_ARCHIVE = e2e.pseudo_random(120 * 1024, 53)
NEW_ARCHIVE = e2e.shifted(OLD_ARCHIVE, 54)
DELTAS = {1601: chunk(e2e.delta_entry("Bin\\game.exe", OLD_EXE, NEW_EXE),
                      e2e.delta_entry("Bin\\game.exe", OTHER_EXE, NEW_EXE)),
          1602: chunk(e2e.delta_entry("Data/archive.pak", OLD_ARCHIVE, NEW_ARCHIVE))}
WITH_DELTAS = {1601: chunk(e2e.whole_file_entry("Bin\\third.dat", THIRD))}


# A game pack of zlib-deflated members: one changed, the others re-packed at another level.
PACK_MEMBERS = [("maps/%d.txt" % i, e2e.game_text(60 * 1024, 70 + i)) for i in range(4)]
OLD_PACK = e2e.zip_archive(PACK_MEMBERS, level=6)
NEW_PACK = e2e.zip_archive(PACK_MEMBERS[:1] + [("maps/1.txt", PACK_MEMBERS[1][1][:9000] + b"cavalry"
                                                + PACK_MEMBERS[1][1][9000:])] + PACK_MEMBERS[2:], level=9)
PACK_DELTA = e2e.delta(OLD_PACK, NEW_PACK)
PACK_UPDATE = {1601: chunk(e2e.whole_file_entry_raw("Data/maps.pk3", PACK_DELTA))}


def delta_game(exe=OLD_EXE, archive=OLD_ARCHIVE):
    game = e2e.Game(ini=INI)
    for name, data in (("Bin/game.exe", exe), ("Data/archive.pak", archive)):
        if data is not None:
            game.write(name, data)
    return game


def delta_installer(chunks=WITH_DELTAS):
    return e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, chunks, deltas=DELTAS)


class Deltas(Outcomes):
    def test_each_target_from_the_base_it_holds(self):
        cases = {  # the executable of either old version; the archive old, or already new
            "first bases": (OLD_EXE, OLD_ARCHIVE, WITH_DELTAS),
            "second base, archive done, deltas alone": (OTHER_EXE, NEW_ARCHIVE, {}),
        }
        for label, (exe, archive, chunks) in cases.items():
            with self.subTest(label):
                game = delta_game(exe, archive)
                r = e2e.run(game.place(delta_installer(chunks)))
                self.assertFinishedAlone(r)
                self.assertSuccessBox(r, ZH_CN)
                self.assertEqual(game.read("Bin/game.exe"), NEW_EXE)
                self.assertEqual(game.read("Data/archive.pak"), NEW_ARCHIVE)
                self.assertEqual(os.path.exists(game.path("Bin/third.dat")), bool(chunks))
                self.assertEqual([n for n in e2e.snapshot(game.root) if "qpatch-new" in n], [])
                self.assertEqual(r.closed["finalPos"], 100)
                self.assertEqual(game.ini(), b"[GAME]\r\nVERSION=1.1.0.1\r\n")

    def test_killed_in_a_delta_heals_with_the_chunks_first(self):
        # Without a named base the chunks come first, then each delta through its temporary.
        game = delta_game()
        exe = game.place(delta_installer())
        half = len(THIRD) + len(NEW_EXE) // 2
        first = e2e.run(exe, hold=[half], kill_when=e2e.held)
        self.assertTrue(first.killed, first.events)
        self.assertEqual(game.read("Bin/third.dat"), THIRD)
        self.assertEqual(game.read("Bin/game.exe"), OLD_EXE)
        self.assertTrue(os.path.exists(game.path("Bin/game.exe.qpatch-new")))
        second = e2e.run(exe)
        self.assertFinishedAlone(second)
        self.assertSuccessBox(second, ZH_CN)
        self.assertEqual(game.read("Bin/game.exe"), NEW_EXE)
        self.assertEqual(game.read("Data/archive.pak"), NEW_ARCHIVE)
        self.assertFalse(os.path.exists(game.path("Bin/game.exe.qpatch-new")))

    def test_a_repacked_pack_travels_as_its_change_and_heals_when_killed(self):
        self.assertTrue(PACK_DELTA[7] & 2, "the delta goes through the members' content")
        self.assertLess(len(PACK_DELTA) * 10, len(NEW_PACK))
        game = e2e.Game(ini=INI)
        game.write("Data/maps.pk3", OLD_PACK)
        exe = game.place(e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, WITH_DELTAS, deltas=PACK_UPDATE))
        # killed while the pack's base is expanded beside it: the expanded base goes with the process
        first = e2e.run(exe, hold=[len(THIRD) + len(OLD_PACK)], kill_when=e2e.held)
        self.assertTrue(first.killed, first.events)
        self.assertEqual(game.read("Data/maps.pk3"), OLD_PACK)
        self.assertEqual([n for n in e2e.snapshot(game.root) if "qpatch-base" in n], [])
        second = e2e.run(exe)
        self.assertFinishedAlone(second)
        self.assertSuccessBox(second, ZH_CN)
        self.assertEqual(game.read("Data/maps.pk3"), NEW_PACK)
        self.assertEqual([n for n in e2e.snapshot(game.root) if "qpatch" in n], [])
        self.assertEqual(second.closed["finalPos"], 100)

    def test_a_recipe_that_does_not_add_up_is_refused_before_the_first_byte(self):
        damaged = bytearray(PACK_DELTA)
        damaged[44] ^= 1  # the recipe's expanded base size: its lists no longer add up
        game = e2e.Game(ini=INI)
        game.write("Data/maps.pk3", OLD_PACK)
        exe = game.place(e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, WITH_DELTAS, deltas={
            1601: chunk(e2e.whole_file_entry_raw("Data/maps.pk3", bytes(damaged)))}))
        r = e2e.run(exe)
        self.assertFinishedAlone(r)
        self.assertEqual(len(r.boxes), 1, r.boxes)
        self.assertErrorBox(r.boxes[0], ZH_CN, "PACKAGE_CORRUPT", "dialog")
        self.assertFalse(os.path.exists(game.path("Bin/third.dat")))
        self.assertEqual(game.read("Data/maps.pk3"), OLD_PACK)

    def test_the_bar_moves_while_a_large_base_is_read(self):
        # The first write is held until the bar has reached half: only the check's reading of the
        # base before it can take the bar there.
        old = e2e.pseudo_random(3 * 1024 * 1024, 80)
        new = e2e.shifted(old, 81)
        game = e2e.Game(ini=INI)
        game.write("Data/big.pak", old)
        deltas = {1601: chunk(e2e.delta_entry("Data/big.pak", old, new))}
        exe = game.place(e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, WITH_DELTAS, deltas=deltas))
        png = os.path.join(e2e.ARTIFACTS, "bar-while-checking.png")
        r = e2e.run(exe, hold=[0], screenshot=png, screenshot_at=50)
        self.assertFinishedAlone(r)
        self.assertEqual(r.of("held")[0]["written"], 0)
        self.assertGreaterEqual(r.of("screenshot")[0]["pos"], 50)
        self.assertEqual(game.read("Data/big.pak"), new)
        self.assertEqual(r.closed["finalPos"], 100)

    def test_a_modded_or_missing_base_is_refused_with_nothing_written(self):
        cases = {
            "modded": (delta_game(archive=OLD_ARCHIVE[:-1] + b"!"), ZH_CN),
            "missing": (delta_game(archive=None), ZH_TW),
            "cut short, a temporary beside another target": (delta_game(archive=NEW_ARCHIVE[:5000]), ZH_CN),
        }
        cases["cut short, a temporary beside another target"][0].write("Bin/game.exe.qpatch-new", b"left by a kill")
        for label, (game, lang) in cases.items():
            with self.subTest(label):
                exe = game.place(delta_installer())
                before = e2e.snapshot(game.root)
                r = e2e.run(exe, lang=lang)
                self.assertFinishedAlone(r)
                self.assertEqual(len(r.boxes), 1, r.boxes)
                box = r.boxes[0]
                self.assertEqual((box["text"], box["icon"], box["owner"]),
                                 (e2e.wrong_base_text(lang, "Data\\archive.pak"), "error", "dialog"))
                self.assertEqual(e2e.snapshot(game.root), before)


# A whole update: a renamed jar that changed, a folder moved, two files that swap contents, an
# old plugin and a folder dropped; beside them a player's save and a plugin the player changed.
OLD_JAR = e2e.pseudo_random(150 * 1024, 60)
NEW_JAR = e2e.shifted(OLD_JAR, 61)
MOD = e2e.pseudo_random(30 * 1024, 62)
SWAP_A = e2e.pseudo_random(40 * 1024, 63)
SWAP_B = e2e.pseudo_random(50 * 1024, 64)
PLUGIN = b"an old plugin" * 500
OLD_VERSION = {"Bin/game-1.0.jar": OLD_JAR, "Mods/old/a.dat": MOD, "Bin/a.dat": SWAP_A,
               "Bin/b.dat": SWAP_B, "Bin/plugin.dll": PLUGIN, "Bin/Gone/readme.txt": b"gone"}
WHOLE_UPDATE = {1601: chunk(
    e2e.named_delta_entry("Bin/game-1.1.jar", "Bin/game-1.0.jar", OLD_JAR, NEW_JAR),
    e2e.named_delta_entry("Mods/new/a.dat", "Mods/old/a.dat", MOD, MOD),
    e2e.named_delta_entry("Bin/a.dat", "Bin/b.dat", SWAP_B, SWAP_B),
    e2e.named_delta_entry("Bin/b.dat", "Bin/a.dat", SWAP_A, SWAP_A))}
DROPPED = [("Bin/game-1.0.jar", [OLD_JAR]), ("Mods/old/a.dat", [MOD]), ("Bin/plugin.dll", [PLUGIN]),
           ("Bin/changed.dll", [PLUGIN]), ("Bin/Gone/readme.txt", [b"gone"])]
NEW_VERSION = {"Bin/game-1.1.jar": NEW_JAR, "Mods/new/a.dat": MOD, "Bin/a.dat": SWAP_B,
               "Bin/b.dat": SWAP_A, "Bin/third.dat": THIRD}


def whole_update_game(**files):
    game = e2e.Game(ini=INI)
    for name, data in dict(OLD_VERSION, **files).items():
        if data is not None:  # None: missing
            game.write(name, data)
    game.write("Bin/save.dat", b"the player's own save")
    game.write("Bin/changed.dll", PLUGIN + b" as the player changed it")
    return game


def whole_update_installer(removals=DROPPED, folders=("Mods/old", "Bin/Gone"), deltas=WHOLE_UPDATE):
    return e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, WITH_DELTAS, deltas=deltas,
                              removals=e2e.removal_list(removals, folders))


class ExactEnd(Outcomes):
    def test_the_game_ends_exactly_at_the_new_version(self):
        cases = {  # what is in the game folder besides the old version
            "the old version": ({}, set()),
            "a player's file in a dropped folder": ({"Mods/old/mine.txt": b"mine"},
                                                   {"Mods/old/mine.txt"}),
        }
        for label, (extra, kept) in cases.items():
            with self.subTest(label):
                game = whole_update_game(**extra)
                exe = game.place(whole_update_installer())
                before = e2e.snapshot(game.root)
                r = e2e.run(exe)
                self.assertFinishedAlone(r)
                self.assertSuccessBox(r, ZH_CN)
                self.assertEqual(r.closed["finalPos"], 100)
                after = e2e.snapshot(game.root)
                for name, content in NEW_VERSION.items():
                    self.assertEqual(game.read(name), content, name)
                untouched = {"Bin/save.dat", "Bin/changed.dll", "Bin/Tolvar2.exe", "Update/patch.exe"}
                expected = set(NEW_VERSION) | untouched | kept | {"Bin/game.ini"}
                self.assertEqual({n for n, h in after.items() if h is not None}, expected)
                for name in untouched:
                    self.assertEqual(after[name], before[name], name)
                self.assertEqual(os.path.isdir(game.path("Mods/old")), bool(kept))
                self.assertFalse(os.path.exists(game.path("Bin/Gone")))
                self.assertEqual(game.ini(), b"[GAME]\r\nVERSION=1.1.0.1\r\n")

    def test_refused_before_the_first_byte(self):
        rows = [  # label, game, installer, box text, its file
            ("a renamed file's base modded", whole_update_game(**{"Bin/game-1.0.jar": OLD_JAR[:-1] + b"!"}),
             whole_update_installer(), "wrong base", "Bin\\game-1.0.jar"),
            ("a moved file's base missing", whole_update_game(**{"Mods/old/a.dat": None}),
             whole_update_installer(), "wrong base", "Mods\\old\\a.dat"),
            ("a removal outside the game", whole_update_game(),
             whole_update_installer(removals=DROPPED + [("../outside.txt", [b"x"])]), "PACKAGE_CORRUPT", None),
            ("a base outside the game", whole_update_game(),
             whole_update_installer(deltas={1601: chunk(e2e.named_delta_entry(
                 "Bin/x.dat", "C:/Windows/win.ini", MOD, MOD))}), "PACKAGE_CORRUPT", None),
        ]
        for label, game, installer, text, name in rows:
            with self.subTest(label):
                exe = game.place(installer)
                before = e2e.snapshot(game.root)
                r = e2e.run(exe)
                self.assertFinishedAlone(r)
                self.assertEqual(len(r.boxes), 1, r.boxes)
                if name:
                    self.assertEqual(r.boxes[0]["text"], e2e.wrong_base_text(ZH_CN, name))
                else:
                    self.assertErrorBox(r.boxes[0], ZH_CN, text, "dialog")
                self.assertEqual(e2e.snapshot(game.root), before)

    def test_a_swap_killed_between_its_moves_heals(self):
        # One target moved into place, the other's result still in its temporary: its base is gone.
        game = whole_update_game(**{"Bin/a.dat": SWAP_B})
        game.write("Bin/b.dat.qpatch-new", SWAP_A)
        r = e2e.run(game.place(whole_update_installer()))
        self.assertFinishedAlone(r)
        self.assertSuccessBox(r, ZH_CN)
        self.assertEqual((game.read("Bin/a.dat"), game.read("Bin/b.dat")), (SWAP_B, SWAP_A))
        self.assertFalse(os.path.exists(game.path("Bin/b.dat.qpatch-new")))


class SelfCheckCase(Outcomes):
    """One flipped byte anywhere in the payload: refused before the dialog, nothing written."""

    def flipped(self, exe, at):
        with open(exe, "rb") as f:
            image = bytearray(f.read())
        image[at] ^= 0x01
        out = os.path.join(e2e.scratch_dir(), "flipped.exe")
        with open(out, "wb") as f:
            f.write(image)
        return out

    def damage_places(self, exe):
        """{what: offset} of a byte inside each part of FULL_PAYLOAD's installer the record covers."""
        with open(exe, "rb") as f:
            image = f.read()
        whole = image.find(FULL_PAYLOAD[1601])      # starts with the compressed Bin\big.dat
        ranges = image.find(RANGE_DATA)
        descriptor = image.find(e2e.EXAMPLE_DESCRIPTOR)
        self.assertTrue(min(whole, ranges, descriptor) > 0)
        return {
            "range entry data": ranges + 100,
            "compressed stream": whole + len(FULL_PAYLOAD[1601]) // 4,
            "descriptor": descriptor + len(e2e.EXAMPLE_DESCRIPTOR) - 3,
        }

    def assertCorruptRefused(self, run, game, lang):
        """The package-corrupt box alone, exit code 2, the prepared game as it was."""
        self.assertEqual(run.exit_code, 2, run.events)
        self.assertEqual(run.dialogs, [])
        self.assertEqual(len(run.boxes), 1, run.boxes)
        box = run.boxes[0]
        self.assertEqual((box["text"], box["caption"], box["icon"], box["owner"]),
                         (TEXTS[lang]["PACKAGE_CORRUPT"], TEXTS[lang]["TITLE"], "error", "none"))
        self.assertEqual(game.read("Bin/game.dat"), OLD_GAME_DAT)
        self.assertEqual(game.read("Bin/replaced.dat"),
                         b"a much longer earlier content that must vanish" * 100)
        self.assertFalse(os.path.exists(game.path("Bin/big.dat")))
        self.assertFalse(os.path.exists(game.path("Data/New")))
        self.assertEqual(game.ini(), INI.encode())


class SelfCheck(SelfCheckCase):
    def test_a_flipped_byte_is_refused_with_nothing_written(self):
        exe = e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, FULL_PAYLOAD)
        for label, at in self.damage_places(exe).items():
            for lang in (ZH_CN, ZH_TW):
                with self.subTest(label, lang=lang):
                    game = prepared_game()
                    r = e2e.run(game.place(self.flipped(exe, at)), lang=lang)
                    self.assertCorruptRefused(r, game, lang)

    def test_without_a_record_a_flipped_range_byte_is_installed_as_before(self):
        exe = e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, FULL_PAYLOAD, checksum=False)
        with open(exe, "rb") as f:
            at = f.read().find(RANGE_DATA) + 100
        game = prepared_game()
        r = e2e.run(game.place(self.flipped(exe, at)))
        self.assertFinishedAlone(r)
        self.assertSuccessBox(r, ZH_CN)
        expected = bytearray(patched_game_dat())
        expected[5000 + 100] ^= 0x01
        self.assertEqual(game.read("Bin/game.dat"), bytes(expected))


class Failures(Outcomes):
    def test_no_chunk(self):
        exe = e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, {})
        for lang in (ZH_CN, ZH_TW):
            with self.subTest(lang=lang):
                game = prepared_game()
                r = e2e.run(game.place(exe), lang=lang)
                self.assertFinishedAlone(r)
                self.assertEqual(len(r.boxes), 1)
                self.assertErrorBox(r.boxes[0], lang, "NO_CONTENT", "none")
                self.assertEqual(game.ini(), INI.encode())

    def test_corrupt_second_chunk(self):
        payloads = {
            "one byte too many": FULL_PAYLOAD[1602] + b"\x00",
            "data runs past the end": FULL_PAYLOAD[1602][:-1],
            "block that decodes short": e2e.whole_file_entry_raw("Bin\\bad.dat",
                                                                 e2e.truncated_stream()),
        }
        for label, second in payloads.items():
            with self.subTest(label):
                game = prepared_game()
                exe = e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR,
                                         {1601: FULL_PAYLOAD[1601], 1602: second,
                                          1603: FULL_PAYLOAD[1603]})
                r = e2e.run(game.place(exe))
                self.assertFinishedAlone(r)
                self.assertEqual(len(r.boxes), 1, r.boxes)
                self.assertErrorBox(r.boxes[0], ZH_CN, "PACKAGE_CORRUPT", "dialog")
                self.assertEqual(game.read("Bin/big.dat"), BIG)
                self.assertFalse(os.path.exists(game.path("Bin/third.dat")))
                self.assertEqual(game.ini(), INI.encode())

    def test_cannot_create(self):
        # A folder where the file should be: neither created nor opened, even as root. A target
        # that exists but cannot be opened, or a range into a missing file, is refused before the
        # first byte; a missing folder is only met when its entry is written.
        cases = {
            "whole file over a folder": (e2e.whole_file_entry("Bin", b"data"), False),
            "whole file with backslash folders": (e2e.whole_file_entry("Missing\\Deep\\a.bin", b"x"), True),
            "range into a missing file": (e2e.range_entry("Bin\\missing.dat", 0, b"xyz"), False),
            "range into a file only a later entry creates": (
                chunk(e2e.range_entry("Bin\\later.dat", 0, b"xyz"), e2e.whole_file_entry("Bin\\later.dat", b"abc")),
                False),
        }
        for label, (second, first_chunk_written) in cases.items():
            with self.subTest(label):
                game = prepared_game()
                exe = e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR,
                                         {1601: FULL_PAYLOAD[1601], 1602: second})
                r = e2e.run(game.place(exe))
                self.assertFinishedAlone(r)
                self.assertEqual(len(r.boxes), 1, r.boxes)
                self.assertErrorBox(r.boxes[0], ZH_CN, "CANNOT_WRITE_GAME", "dialog")
                self.assertEqual(os.path.exists(game.path("Bin/big.dat")), first_chunk_written)
                self.assertFalse(os.path.exists(game.path("Bin/missing.dat")))
                self.assertFalse(os.path.exists(game.path("Missing")))
                self.assertEqual(game.ini(), INI.encode())

    def test_write_failed(self):
        # A target that is a link to /dev/full: opening works, every write fails (disk full).
        cases = {
            "whole file": e2e.whole_file_entry("Bin\\full.dat", b"data" * 3000),
            "range": e2e.range_entry("Bin\\full.dat", 0, b"data" * 3000),
        }
        for label, second in cases.items():
            for lang in (ZH_CN, ZH_TW):
                with self.subTest(label, lang=lang):
                    game = prepared_game()
                    os.symlink("/dev/full", game.path("Bin/full.dat"))
                    exe = e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR,
                                             {1601: FULL_PAYLOAD[1601], 1602: second})
                    r = e2e.run(game.place(exe), lang=lang)
                    self.assertFinishedAlone(r)
                    self.assertEqual(len(r.boxes), 1, r.boxes)
                    self.assertErrorBox(r.boxes[0], lang, "WRITE_FAILED", "dialog")
                    self.assertEqual(game.read("Bin/big.dat"), BIG)
                    self.assertEqual(game.ini(), INI.encode())


class Readiness(Outcomes):
    """Failures that can be foreseen are refused before the first byte, with the message the
    failing write would have shown: every game file and game.ini stay as they were."""

    def assertRefusedUntouched(self, game, exe, text, before):
        r = e2e.run(exe)
        self.assertFinishedAlone(r)
        self.assertEqual(len(r.boxes), 1, r.boxes)
        self.assertErrorBox(r.boxes[0], ZH_CN, text, "dialog")
        self.assertEqual(e2e.snapshot(game.root), before)
        self.assertEqual(game.ini(), INI.encode())

    def test_target_held_open_by_a_running_game(self):
        cases = {
            "whole file": e2e.whole_file_entry("Bin\\Tolvar2.exe", b"the new game" * 1000),
            "range": e2e.range_entry("Bin\\Tolvar2.exe", 2, b"new"),
            "delta": e2e.delta_entry("Bin\\Tolvar2.exe", b"MZ game", b"MZ new game"),
            "removal": None,
        }
        for label, last in cases.items():
            with self.subTest(label):
                game = prepared_game()
                chunks, deltas, removals = {1601: FULL_PAYLOAD[1601], 1602: last}, None, None
                if label == "delta":
                    chunks, deltas = {1601: FULL_PAYLOAD[1601]}, {1601: last}
                if label == "removal":
                    chunks = {1601: FULL_PAYLOAD[1601]}
                    removals = e2e.removal_list([("Bin/Tolvar2.exe", [game.read("Bin/Tolvar2.exe")])])
                exe = game.place(e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, chunks, deltas=deltas,
                                                    removals=removals))
                with e2e.Holder(game.path("Bin/Tolvar2.exe")):
                    self.assertRefusedUntouched(game, exe, "CANNOT_WRITE_GAME", e2e.snapshot(game.root))

    def test_too_small_a_disk(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a small disk needs root")
        disk = e2e.scratch_dir()
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=0777", "tmpfs", disk],
                                 capture_output=True, text=True)
        if mounted.returncode != 0:
            self.skipTest("no small disk can be mounted here: " + mounted.stderr.strip())
        try:
            game = prepared_game(base=disk)
            huge = e2e.whole_file_entry("Bin\\huge.dat", bytes(4 << 20))  # 4 MiB on a 1 MiB disk
            small = {1601: e2e.whole_file_entry("Bin\\small.dat", SMALL_BLOCKS)}
            exe = game.place(e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, {**small, 1602: huge}))
            self.assertRefusedUntouched(game, exe, "WRITE_FAILED", e2e.snapshot(game.root))
            # A delta's result goes to a temporary beside its base: both must fit at once.
            os.unlink(exe)
            base = e2e.pseudo_random(560 << 10, 55)
            game.write("Bin/base.dat", base)
            deltas = {1601: e2e.delta_entry("Bin\\base.dat", base, e2e.shifted(base, 56))}
            exe = game.place(e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, small, deltas=deltas))
            self.assertRefusedUntouched(game, exe, "WRITE_FAILED", e2e.snapshot(game.root))
        finally:
            subprocess.run(["umount", "-l", disk], check=False)


if __name__ == "__main__":
    unittest.main()
