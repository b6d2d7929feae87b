"""The UI driver against a stand-in program whose behaviour is known."""
import unittest

import e2e


class MessageBoxes(unittest.TestCase):
    def test_icon_kinds_and_buttons(self):
        cases = [
            (0x10, "error", ["OK"]),
            (0x30, "warning", ["OK"]),
            (0x31, "warning", ["OK", "Cancel"]),
            (0x20, "question", ["OK"]),
            (0x40, "information", ["OK"]),
            (0x00, "none", ["OK"]),
            (0x14, "error", ["Yes", "No"]),
        ]
        for style, icon, buttons in cases:
            with self.subTest(style=hex(style)):
                r = e2e.run(e2e.FAKEAPP, args=["box", hex(style), "文本 text"], timeout=30)
                self.assertEqual(len(r.boxes), 1)
                box = r.boxes[0]
                self.assertEqual(box["icon"], icon)
                self.assertEqual(box["buttons"], buttons)
                self.assertEqual(box["text"], "文本 text")
                self.assertEqual(box["caption"], "Fake")
                self.assertEqual(box["owner"], "none")
                # the default answer is the first button; the exit code is its id
                self.assertEqual(r.exit_code, {"OK": 1, "Yes": 6}[buttons[0]])

    def test_scripted_answers(self):
        for style, answer, code in [(0x31, "Cancel", 2), (0x14, "No", 7), (0x31, "Esc", 2),
                                    (0x14, "Yes", 6)]:
            with self.subTest(answer=answer):
                r = e2e.run(e2e.FAKEAPP, args=["box", hex(style), "x"], answers=[answer], timeout=30)
                self.assertEqual(r.boxes[0]["answer"], answer)
                self.assertEqual(r.exit_code, code)

    def test_timeout_kills(self):
        r = e2e.run(e2e.FAKEAPP, args=["hang"], timeout=3)
        self.assertTrue(r.timed_out)
        self.assertEqual(r.exit_code, -1)


class ProgressDialog(unittest.TestCase):
    def test_final_position_is_known_although_the_dialog_ends_at_once(self):
        # The stand-in ends its dialog right after the last step and exits with 10 + position.
        r = e2e.run(e2e.FAKEAPP, args=["dialog", "3"], timeout=60)
        self.assertEqual(r.exit_code, 110)
        self.assertTrue(r.of("started")[0]["hook"])
        self.assertEqual(r.closed["finalPos"], 100)
        self.assertTrue(r.closed["reached100"])
        first = r.dialogs[0]
        self.assertEqual(first["caption"], "Fake progress")
        self.assertEqual(first["info"], "fake description")
        self.assertFalse(first["updateEnabled"])
        self.assertTrue(first["closeEnabled"])
        self.assertEqual(r.dialogs[-1]["rangeHigh"], 100)

    def test_close_answers_and_cancel(self):
        # The stand-in writes a byte before each step: held after 20 and after 40 steps, it waits
        # for each answer, so the cancel lands at a known step however slow the driver is.
        r = e2e.run(e2e.FAKEAPP, args=["dialog", "5"], close_at=[20, 40], answers=["No", "Yes"],
                    hold=[20, 40], timeout=60)
        closes = r.of("close")
        self.assertEqual([c["pos"] for c in closes], [20, 40])
        self.assertEqual([e["written"] for e in r.of("held")], [20, 40])
        self.assertEqual([b["answer"] for b in r.boxes], ["No", "Yes"])
        for box in r.boxes:
            self.assertEqual(box["owner"], "dialog")
            self.assertEqual(box["buttons"], ["Yes", "No"])
        # the state in which the dialog ended is known although it lasted only milliseconds
        self.assertFalse(r.dialogs[-1]["closeEnabled"])
        self.assertTrue(r.dialogs[-1]["enabled"])
        self.assertEqual(r.closed["finalPos"], 41)  # the held step, then the cancel
        self.assertEqual(r.exit_code, 10 + 41)


if __name__ == "__main__":
    unittest.main()
