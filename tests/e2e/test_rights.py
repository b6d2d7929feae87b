"""Cases that depend on access rights, run as the unprivileged test user (Wine lets root write
read-only files). Everything they touch lies under /tmp with that user's rights."""
import os
import unittest

import e2e
from e2e import ZH_CN, TEXTS

INI = "[GAME]\r\nVERSION=1.1.0.0\r\n"
NEW = e2e.pseudo_random(50000, 11)
OLD = b"the old content stays\r\n" * 100


def user_game():
    return e2e.Game(ini=INI, for_user=True)


def read_only(path):
    os.chmod(path, 0o444)


class ReadOnly(unittest.TestCase):
    def test_read_only_target_is_refused_before_the_first_byte(self):
        cases = {
            "whole file": e2e.whole_file_entry("Bin\\ro.dat", b"new"),
            "whole file, folders by slash": e2e.whole_file_entry("Data/Sub/ro.dat", b"new"),
            "range": e2e.range_entry("Bin\\ro.dat", 3, b"new"),
            "removal": None,  # the new version drops the file
        }
        for label, second in cases.items():
            with self.subTest(label):
                game = user_game()
                game.write("Bin/ro.dat", OLD)
                game.write("Data/Sub/ro.dat", OLD)
                read_only(game.path("Bin/ro.dat"))
                read_only(game.path("Data/Sub/ro.dat"))
                chunks = {1601: e2e.whole_file_entry("Bin\\new.dat", NEW)}
                if second:
                    chunks[1602] = second
                removals = None if second else e2e.removal_list([("Bin/ro.dat", [OLD])])
                exe = e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR, chunks, removals=removals)
                r = e2e.run(game.place(exe), user=e2e.TEST_USER)
                self.assertEqual(r.exit_code, 0, r.events + [r.stderr])
                self.assertEqual(len(r.boxes), 1, r.boxes)
                box = r.boxes[0]
                self.assertEqual(box["text"], TEXTS[ZH_CN]["CANNOT_WRITE_GAME"])
                self.assertEqual(box["owner"], "dialog")
                self.assertEqual(box["icon"], "error")
                self.assertFalse(os.path.exists(game.path("Bin/new.dat")))  # chunk 1601 waits
                self.assertEqual(game.read("Bin/ro.dat"), OLD)
                self.assertEqual(game.read("Data/Sub/ro.dat"), OLD)
                self.assertEqual(game.ini(), INI.encode())

    def test_read_only_game_ini_ends_without_any_box(self):
        game = user_game()
        read_only(game.ini_path)
        exe = e2e.make_installer(e2e.EXAMPLE_DESCRIPTOR,
                                 {1601: e2e.whole_file_entry("Bin\\new.dat", NEW)})
        r = e2e.run(game.place(exe), user=e2e.TEST_USER)
        self.assertEqual(r.exit_code, 0, r.events + [r.stderr])
        self.assertIsNotNone(r.closed)
        self.assertEqual(r.closed["finalPos"], 100)
        self.assertEqual(r.boxes, [])
        self.assertEqual(game.read("Bin/new.dat"), NEW)
        self.assertEqual(game.ini(), INI.encode())


if __name__ == "__main__":
    unittest.main()
