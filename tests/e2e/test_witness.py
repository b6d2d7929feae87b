"""The shipped 32-bit installer where the kernel runs no 32-bit code: scripts/test.sh runs these
under qemu-i386 (scripts/i386-emulation.sh, QPATCH_WINE_EMULATED=1), after the demo has installed
its patch with the same installer. One start-up refusal, one refusal of a damaged package, one of
a modded delta base, and a delta killed half-way then healed by a second run, each held to the
expectations of its native test; every emulated start costs minutes, so there is one run of each."""
import os
import unittest

import e2e
from e2e import ZH_CN
import test_install
import test_startup


class Refusals(test_startup.StartupCase, test_install.SelfCheckCase):
    def test_misplaced_installer_is_refused(self):
        game = e2e.Game()
        path = game.place(test_startup.installer(), folder=e2e.scratch_dir())
        self.assertMisplacedRefused(e2e.run(path, lang=ZH_CN), game, ZH_CN)

    def test_damaged_package_is_refused(self):
        exe = e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, test_install.FULL_PAYLOAD)
        game = test_install.prepared_game()
        damaged = self.flipped(exe, self.damage_places(exe)["compressed stream"])
        self.assertCorruptRefused(e2e.run(game.place(damaged), lang=ZH_CN), game, ZH_CN)

    def test_modded_delta_base_is_refused_with_nothing_written(self):
        game = test_install.delta_game(archive=test_install.OLD_ARCHIVE[:-1] + b"!")
        exe = game.place(test_install.delta_installer())
        before = e2e.snapshot(game.root)
        r = e2e.run(exe, lang=ZH_CN)
        self.assertEqual([b["text"] for b in r.boxes], [e2e.wrong_base_text(ZH_CN, "Data\\archive.pak")])
        self.assertEqual(e2e.snapshot(game.root), before)

    def test_a_delta_killed_half_way_heals(self):
        game = test_install.delta_game()
        exe = game.place(test_install.delta_installer())
        half = len(test_install.THIRD) + len(test_install.NEW_EXE) // 2
        first = e2e.run(exe, hold=[half], kill_when=e2e.held)
        self.assertTrue(first.killed, first.events)
        self.assertEqual(game.read("Bin/game.exe"), test_install.OLD_EXE)
        self.assertTrue(os.path.exists(game.path("Bin/game.exe.qpatch-new")))
        second = e2e.run(exe)
        self.assertEqual(second.exit_code, 0, second.events)
        self.assertEqual(game.read("Bin/game.exe"), test_install.NEW_EXE)
        self.assertEqual(game.read("Data/archive.pak"), test_install.NEW_ARCHIVE)
        self.assertFalse(os.path.exists(game.path("Bin/game.exe.qpatch-new")))
        self.assertIn(b"VERSION=1.1.0.1", game.ini())


if __name__ == "__main__":
    unittest.main()
