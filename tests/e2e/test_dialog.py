"""The progress dialog of the real installer: its texts in both Chinese variants, a screenshot of
each, and the cancel protocol pressed mid-install. The worker is held at a write an eighth of the
way in while the test looks, presses and answers, so that nothing here races it. The
screenshots and one of the confirmation are checked as pictures (Rendering)."""
import os
import unittest
from collections import Counter

import e2e
from e2e import ZH_CN, ZH_TW, TEXTS

INI = "[GAME]\r\nVERSION=1.1.0.0\r\n"
BIG_SIZE = 16 << 20
BIG = e2e.big_content(BIG_SIZE, 21)
HOLD = BIG_SIZE // 8  # the bar shows 12 % while the worker waits there

_installer = None


def big_installer():
    global _installer
    if _installer is None:
        _installer = e2e.make_installer(
            e2e.EXAMPLE_DESCRIPTOR,
            {1601: e2e.whole_file_entry("Bin\\big.dat", BIG),
             1602: e2e.whole_file_entry("Bin\\after.dat", b"second chunk")})
    return _installer


def distance(a, b):
    return sum(abs(x - y) for x, y in zip(a, b))


def glyph_cells(rows, left, top, width, height):
    """The glyph cells of a text area of a picture: runs of columns with ink (off the area's
    commonest colour), once lines across the area (borders, dotted focus rectangles) are left
    out. Each cell is (left, top, bitmap as a tuple of rows of '#' and '.'), in picture
    coordinates."""
    area = [row[left:left + width] for row in rows[top:top + height]]
    background = Counter(p for row in area for p in row).most_common(1)[0][0]
    ink = [[distance(p, background) > 60 for p in row] for row in area]

    def line(marks):
        inked = [i for i, m in enumerate(marks) if m]
        return len(inked) > 0.4 * len(marks) and inked[-1] - inked[0] > 0.8 * len(marks)

    text_rows = [y for y, row in enumerate(ink) if not line(row)]
    columns = [x for x in range(width)
               if 0 < sum(ink[y][x] for y in text_rows) < 0.8 * len(text_rows)]
    cells, run = [], []
    for x in columns + [None]:
        if run and x != run[-1] + 1:
            inked = [y for y in text_rows if any(ink[y][c] for c in run)]
            bitmap = tuple("".join("#" if ink[y][c] else "." for c in run)
                           for y in range(inked[0], inked[-1] + 1))
            cells.append((left + run[0], top + inked[0], bitmap))
            run = []
        if x is not None:
            run.append(x)
    return cells


def hollow_box(bitmap):
    """A missing glyph's box: ink all along the border, next to none inside."""
    h, w = len(bitmap), len(bitmap[0])
    border = [bitmap[y][x] for y in range(h) for x in range(w) if y in (0, h - 1) or x in (0, w - 1)]
    inside = [bitmap[y][x] for y in range(1, h - 1) for x in range(1, w - 1)]
    return border.count("#") >= 0.9 * len(border) and inside.count("#") <= 0.1 * max(1, len(inside))


class Rendering:
    """Checks of the pictures taken from the X screen: text drawn as glyphs, not as boxes (tofu);
    the caption icon transparent at its corner; a message box drawn, not black."""

    def assertGlyphs(self, rows, areas, what):
        """Every area holds a character-sized glyph; within an area the characters differ and
        are no empty boxes."""
        for area in areas:
            tall = [bitmap for _, _, bitmap in glyph_cells(rows, *area)
                    if len(bitmap) >= 8 and len(bitmap[0]) >= 4]
            # a missing glyph's box may be half a character wide; the same box twice is no text
            repeated = [c for c, n in Counter(c for c in tall if hollow_box(c)).items() if n > 1]
            self.assertFalse(repeated, "%s: repeated boxes in %s" % (what, area))
            cells = [bitmap for bitmap in tall if len(bitmap[0]) >= 8]
            self.assertTrue(cells, "%s: no character in %s" % (what, area))
            if len(cells) > 1:
                self.assertGreater(len(set(cells)), 1, "%s: identical cells in %s" % (what, area))
            boxes = [c for c in cells if hollow_box(c)]
            self.assertLess(len(boxes), max(1, len(cells) / 2), "%s: boxes in %s" % (what, area))

    def assertPicture(self, png, event, what):
        """The picture of a window whose event carries its rectangle and areas (client area
        first, then text areas): the caption's and the areas' text are glyphs.
        Returns: the rows of pixels and the caption band's height."""
        width, height, rows = e2e.read_pixels(png)
        self.assertEqual((width, height), (event["width"], event["height"]), what)
        areas = [[a[0] - event["left"], a[1] - event["top"], a[2], a[3]] for a in event["areas"]]
        caption = areas[0][1]  # the client area starts below the caption
        self.assertGreater(caption, 10, what)
        cells = glyph_cells(rows, 0, 0, width, caption)
        self.assertGreater(len(cells), 3, what)  # icon, text, close box
        first, last = cells[1][0], cells[-1][0]  # the caption text lies between icon and close box
        self.assertGlyphs(rows, [[first, 0, last - first, caption]] + areas[1:], what)
        return rows, caption

    def assertIconCorner(self, rows, caption, what):
        """The caption icon, a disc, leaves the corner of its bounding box in the caption's
        colour; an opaque square would not."""
        middle = rows[caption // 2]
        colour = middle[len(middle) * 3 // 4]
        start = next(x for x, p in enumerate(middle) if distance(p, colour) <= 30)  # after the frame
        band = [y for y in range(caption) if distance(rows[y][start], colour) <= 30]
        icon = [(x, y) for y in band for x in range(start, start + len(band))
                if distance(rows[y][x], colour) > 30]
        self.assertGreater(len(icon), 40, what)
        left, top = min(x for x, _ in icon), min(y for _, y in icon)
        self.assertLess(distance(rows[top][left], colour), 48, what)

    def assertDialogPicture(self, png, event):
        rows, caption = self.assertPicture(png, event, png)
        self.assertIconCorner(rows, caption, png)

    def assertBoxPicture(self, png, event):
        self.assertNotBlack(png)
        self.assertPicture(png, event, png)

    def assertNotBlack(self, png):
        pixels = [p for row in e2e.read_pixels(png)[2] for p in row]
        black = sum(1 for p in pixels if max(p) < 24)
        self.assertLess(black, len(pixels) // 2, "%s is black" % png)


class Texts(unittest.TestCase, Rendering):
    def test_dialog_texts_and_screenshots(self):
        for lang in (ZH_CN, ZH_TW):
            with self.subTest(lang=lang):
                game = e2e.Game(ini=INI)
                png = os.path.join(e2e.ARTIFACTS, "dialog-%s.png" % lang.split(".")[0])
                if os.path.exists(png):
                    os.remove(png)
                r = e2e.run(game.place(big_installer()), lang=lang, screenshot=png,
                            screenshot_at=5, hold=[HOLD], drawn=self.assertDialogPicture,
                            timeout=120)
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
                self.assertDialogPicture(png, r.of("screenshot")[0])
                self.assertEqual(r.boxes[-1]["text"], TEXTS[lang]["INSTALL_OK"])
                self.assertEqual(r.closed["finalPos"], 100)


class Cancel(unittest.TestCase, Rendering):
    def assertConfirmation(self, box, lang, answer):
        self.assertEqual(box["text"], TEXTS[lang]["CONFIRM_CANCEL"])
        self.assertEqual(box["caption"], TEXTS[lang]["TITLE"])
        self.assertEqual(box["owner"], "dialog")
        self.assertEqual(box["icon"], "error")
        self.assertEqual(box["buttons"], ["Yes", "No"])
        self.assertEqual(box["answer"], answer)

    def test_answer_no_changes_nothing(self):
        game = e2e.Game(ini=INI)
        png = os.path.join(e2e.ARTIFACTS, "confirm-zh_CN.png")
        if os.path.exists(png):
            os.remove(png)
        r = e2e.run(game.place(big_installer()), close_at=[5], answers=["No"], box_shot=png,
                    drawn=self.assertBoxPicture, hold=[HOLD], timeout=120)
        self.assertEqual(r.exit_code, 0, r.events)
        self.assertBoxPicture(png, r.boxes[0])
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
                            hold=[HOLD], timeout=120)
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
                self.assertGreater(size, HOLD)  # the held write, and no piece after it
                self.assertLess(size, HOLD + (1 << 20))
                self.assertEqual(size % 4096, 0)  # whole pieces only
                self.assertEqual(game.read("Bin/big.dat"), BIG[:size])
                self.assertEqual(game.ini(), INI.encode())


if __name__ == "__main__":
    unittest.main()
