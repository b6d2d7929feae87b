"""The progress dialog of the real installer: its texts in both Chinese variants, a screenshot of
each, and the cancel protocol pressed mid-install on a payload large enough to be caught."""
import os
import unittest

import e2e
from e2e import ZH_CN, ZH_TW, TEXTS

INI = "[GAME]\r\nVERSION=1.1.0.0\r\n"
BIG_SIZE = 160 << 20
BIG = e2e.big_content(BIG_SIZE, 21)

_installer = None


def big_installer():
    global _installer
    if _installer is None:
        _installer = e2e.make_installer(
            e2e.EXAMPLE_DESCRIPTOR,
            {1601: e2e.whole_file_entry("Bin\\big.dat", BIG),
             1602: e2e.whole_file_entry("Bin\\after.dat", b"second chunk")})
    return _installer


class Texts(unittest.TestCase):
    def test_dialog_texts_and_screenshots(self):
        for lang in (ZH_CN, ZH_TW):
            with self.subTest(lang=lang):
                game = e2e.Game(ini=INI)
                png = os.path.join(e2e.ARTIFACTS, "dialog-%s.png" % lang.split(".")[0])
                if os.path.exists(png):
                    os.remove(png)
                r = e2e.run(game.place(big_installer()), lang=lang, screenshot=png,
                            screenshot_at=5, timeout=120)
                self.assertEqual(r.exit_code, 0, r.events)
                first = r.dialogs[0]
                self.assertEqual(first["caption"], TEXTS[lang]["DIALOG_CAPTION"])
                self.assertEqual(first["closeText"], TEXTS[lang]["CLOSE"])
                self.assertEqual(first["updateText"], TEXTS[lang]["UPDATE"])
                self.assertEqual(first["info"], e2e.EXAMPLE_DESCRIPTION)
                self.assertTrue(first["closeEnabled"])
                # IDC_UPDATE is disabled in every observed state, from the first one on
                self.assertTrue(all(not d["updateEnabled"] for d in r.dialogs))
                self.assertEqual(r.of("screenshot")[0]["ok"], True)
                self.assertTrue(os.path.getsize(png) > 0)
                self.assertEqual(r.boxes[-1]["text"], TEXTS[lang]["INSTALL_OK"])
                self.assertEqual(r.closed["finalPos"], 100)


class Cancel(unittest.TestCase):
    def assertConfirmation(self, box, lang, answer):
        self.assertEqual(box["text"], TEXTS[lang]["CONFIRM_CANCEL"])
        self.assertEqual(box["caption"], TEXTS[lang]["TITLE"])
        self.assertEqual(box["owner"], "dialog")
        self.assertEqual(box["icon"], "error")
        self.assertEqual(box["buttons"], ["Yes", "No"])
        self.assertEqual(box["answer"], answer)

    def test_answer_no_changes_nothing(self):
        game = e2e.Game(ini=INI)
        r = e2e.run(game.place(big_installer()), close_at=[5], answers=["No"], timeout=120)
        self.assertEqual(r.exit_code, 0, r.events)
        self.assertEqual(len(r.of("close")), 1)
        self.assertLess(r.of("close")[0]["pos"], 100)
        self.assertConfirmation(r.boxes[0], ZH_CN, "No")
        self.assertEqual(r.boxes[1]["text"], TEXTS[ZH_CN]["INSTALL_OK"])
        self.assertEqual(len(r.boxes), 2)
        self.assertEqual(r.closed["finalPos"], 100)
        self.assertTrue(all(d["closeEnabled"] for d in r.dialogs if d["enabled"]))
        self.assertEqual(game.read("Bin/after.dat"), b"second chunk")
        self.assertEqual(game.read("Bin/big.dat"), BIG)
        self.assertIn(b"VERSION=1.1.0.1", game.ini())

    def test_answer_yes_cancels(self):
        for lang in (ZH_CN, ZH_TW):
            with self.subTest(lang=lang):
                game = e2e.Game(ini=INI)
                r = e2e.run(game.place(big_installer()), lang=lang, close_at=[5], answers=["Yes"],
                            timeout=120)
                self.assertEqual(r.exit_code, 0, r.events)
                self.assertEqual(len(r.boxes), 1, r.boxes)  # no success box follows
                self.assertConfirmation(r.boxes[0], lang, "Yes")
                cancelling = [d for d in r.dialogs if d["info"] == TEXTS[lang]["CANCELLING"]]
                self.assertTrue(cancelling, r.dialogs)
                self.assertTrue(all(not d["closeEnabled"] for d in cancelling))
                # once cancelling, the description never comes back
                start = r.dialogs.index(cancelling[0])
                self.assertEqual(r.dialogs[start:], cancelling)
                self.assertLess(r.closed["finalPos"], 100)
                self.assertFalse(os.path.exists(game.path("Bin/after.dat")))
                size = os.path.getsize(game.path("Bin/big.dat"))
                self.assertGreater(size, 0)
                self.assertLess(size, BIG_SIZE)
                self.assertEqual(size % 4096, 0)  # whole pieces only
                self.assertEqual(game.read("Bin/big.dat"), BIG[:size])
                self.assertEqual(game.ini(), INI.encode())


if __name__ == "__main__":
    unittest.main()
