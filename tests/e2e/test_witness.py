"""The shipped 32-bit installer where the kernel runs no 32-bit code: scripts/test.sh runs these
under qemu-i386 (scripts/i386-emulation.sh, QPATCH_WINE_EMULATED=1), after the demo has installed
its patch with the same installer. One start-up refusal and one refusal of a damaged package,
each held to the expectations of its native test; every emulated start costs minutes, so there
is one run of each."""
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


if __name__ == "__main__":
    unittest.main()
