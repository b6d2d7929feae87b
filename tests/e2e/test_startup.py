"""Start-up of the real installer: placement, installed version, descriptor and version gate.
Every refusal is one box without owner and exit code 2, with no dialog; the texts are checked in
both Chinese variants."""
import os
import shutil
import unittest

import e2e
from e2e import ZH_CN, ZH_TW, TEXTS

LANGS = (ZH_CN, ZH_TW)
SMALL_FILE = b"patched by e2e\r\n" * 64


def small_payload():
    # However short the dialog's life, the driver's hook reports it from inside the installer.
    return {1601: e2e.whole_file_entry("Bin\\e2e.dat", SMALL_FILE)}


def installer(descriptor=e2e.EXAMPLE_DESCRIPTOR):
    return e2e.make_installer(descriptor, small_payload())


def ini(version):
    return "[GAME]\r\nVERSION=%s\r\n" % version


class StartupCase(unittest.TestCase):
    def assertRefused(self, run, lang, text, icon):
        """One box without owner, captioned IDS_TITLE, no dialog, exit code 2."""
        self.assertEqual(run.exit_code, 2, run.events)
        self.assertEqual(run.dialogs, [])
        self.assertEqual(run.of("window"), [])
        self.assertEqual(len(run.boxes), 1, run.boxes)
        box = run.boxes[0]
        self.assertEqual(box["caption"], TEXTS[lang]["TITLE"])
        self.assertEqual(box["text"], text)
        self.assertEqual(box["owner"], "none")
        self.assertEqual(box["icon"], icon)

    def assertMisplacedRefused(self, run, game, lang):
        self.assertRefused(run, lang, TEXTS[lang]["WRONG_PLACE"], "error")
        self.assertEqual(run.boxes[0]["buttons"], ["OK"])
        self.assertEqual(game.ini(), ini("1.1.0.0").encode())

    def assertQuestion(self, box, lang):
        self.assertEqual(box["text"], TEXTS[lang]["ALREADY_CURRENT"])
        self.assertEqual(box["caption"], TEXTS[lang]["TITLE"])
        self.assertEqual(box["icon"], "warning")
        self.assertEqual(box["buttons"], ["OK", "Cancel"])
        self.assertEqual(box["owner"], "none")

    def assertInstalled(self, run, game, lang, version="1.1.0.1"):
        """The dialog ran, the payload is on disk, the version written, the success box shown."""
        self.assertEqual(run.exit_code, 0, run.events)
        self.assertTrue(run.dialogs, run.events)
        self.assertEqual(run.boxes[-1]["text"], TEXTS[lang]["INSTALL_OK"])
        self.assertEqual(game.read("Bin/e2e.dat"), SMALL_FILE)
        self.assertIn(("VERSION=" + version).encode(), game.ini())

    def assertNotInstalled(self, game):
        self.assertFalse(os_exists(game.path("Bin/e2e.dat")))


def os_exists(path):
    import os
    return os.path.exists(path)


class Placement(StartupCase):
    def test_misplaced_installer_is_refused(self):
        exe = installer()
        for lang in LANGS:
            with self.subTest(lang=lang):
                game = e2e.Game()
                # a download folder: its parent has no Bin
                path = game.place(exe, folder=e2e.scratch_dir())
                self.assertMisplacedRefused(e2e.run(path, lang=lang), game, lang)

    def test_placement_variants_pass(self):
        exe = installer()
        variants = {
            "Tolvar2.exe is a folder": dict(exe_is_folder=True),
            "installer folder not named Update": dict(installer_folder="下载 patch"),
            "Chinese characters in the game path": dict(name="游戏 Tolvar二"),
        }
        for label, kwargs in variants.items():
            with self.subTest(label):
                game = e2e.Game(ini=ini("1.1.0.0"), **kwargs)
                r = e2e.run(game.place(exe), lang=ZH_CN)
                self.assertInstalled(r, game, ZH_CN)

    def test_arguments_are_ignored(self):
        game = e2e.Game(ini=ini("1.1.0.0"))
        r = e2e.run(game.place(installer()), args=["/S", "--help", "D:\\elsewhere"])
        self.assertInstalled(r, game, ZH_CN)


class InstalledVersion(StartupCase):
    # T 1.2.0.0, UpTo 0.0.0.0: only an installed version of exactly 0 goes ahead silently.
    UPTO_ZERO = "1.2.0.0 <= 0.0.0.0\r\nzero\r\n".encode()

    def test_empty_value_reads_zero(self):
        game = e2e.Game(ini="[GAME]\r\nVERSION=\r\n")
        r = e2e.run(game.place(installer(self.UPTO_ZERO)))
        self.assertEqual(r.boxes[0]["text"], TEXTS[ZH_CN]["INSTALL_OK"])
        self.assertEqual(len(r.boxes), 1)
        self.assertInstalled(r, game, ZH_CN, "1.2.0.0")

    def test_missing_ini_reads_1_0_0_0(self):
        exe = installer()
        for label, content in [("no game.ini", None), ("no GAME section", "[OTHER]\r\nVERSION=1.1.0.0\r\n"),
                               ("no VERSION key", "[GAME]\r\nLANG=1\r\n")]:
            with self.subTest(label):
                game = e2e.Game(ini=content)
                r = e2e.run(game.place(exe))
                # 1.0.0.0 is not the base 1.1.0.0 of the example descriptor
                self.assertRefused(r, ZH_CN, e2e.need_base_text(ZH_CN, "1.1.0.0"), "warning")
        # and with UpTo 0.0.0.0, a missing key (1.0.0.0) is above the base: the question comes
        game = e2e.Game(ini=None)
        r = e2e.run(game.place(installer(self.UPTO_ZERO)), answers=["Cancel"])
        self.assertQuestion(r.boxes[0], ZH_CN)
        self.assertEqual(r.exit_code, 2)


class Gate(StartupCase):
    def test_exact_base_proceeds_silently(self):
        game = e2e.Game(ini=ini("1.1.0.0"))
        r = e2e.run(game.place(installer()))
        self.assertInstalled(r, game, ZH_CN)
        self.assertEqual(len(r.boxes), 1)  # only the success box
        self.assertEqual(r.dialogs[0]["info"], e2e.EXAMPLE_DESCRIPTION)

    def test_exact_mismatch_names_the_base(self):
        exe = installer()
        expected = {ZH_CN: "请先安装1.1.0.0版本!", ZH_TW: "請先安裝1.1.0.0版本！"}
        for lang in LANGS:
            with self.subTest(lang=lang):
                game = e2e.Game(ini=ini("1.0.9.9"))
                r = e2e.run(game.place(exe), lang=lang)
                self.assertRefused(r, lang, expected[lang], "warning")
                self.assertEqual(r.boxes[0]["buttons"], ["OK"])
                self.assertNotInstalled(game)
                self.assertEqual(game.ini(), ini("1.0.9.9").encode())

    def test_already_current_question(self):
        exe = installer()
        for lang in LANGS:
            for installed in ("1.1.0.1", "2.0.0.0", "-1.0.0.0"):
                with self.subTest(lang=lang, installed=installed, answer="OK"):
                    game = e2e.Game(ini=ini(installed))
                    r = e2e.run(game.place(exe), lang=lang, answers=["OK"])
                    self.assertQuestion(r.boxes[0], lang)
                    self.assertInstalled(r, game, lang)
            for answer in ("Cancel", "Esc"):
                with self.subTest(lang=lang, answer=answer):
                    game = e2e.Game(ini=ini("1.1.0.1"))
                    r = e2e.run(game.place(exe), lang=lang, answers=[answer])
                    self.assertRefused(r, lang, TEXTS[lang]["ALREADY_CURRENT"], "warning")
                    self.assertNotInstalled(game)
                    self.assertEqual(game.ini(), ini("1.1.0.1").encode())

    def test_up_to(self):
        exe = installer("1.2.0.0 <= 1.1.9.9\r\nup to\r\n".encode())
        for installed in ("1.0.0.0", "1.1.9.9"):
            with self.subTest(installed=installed):
                game = e2e.Game(ini=ini(installed))
                r = e2e.run(game.place(exe))
                self.assertInstalled(r, game, ZH_CN, "1.2.0.0")
                self.assertEqual(len(r.boxes), 1)
        for lang in LANGS:
            with self.subTest(installed="1.1.10.0", lang=lang):
                game = e2e.Game(ini=ini("1.1.10.0"))
                r = e2e.run(game.place(exe), lang=lang, answers=["Cancel"])
                self.assertRefused(r, lang, TEXTS[lang]["ALREADY_CURRENT"], "warning")

    def test_unrecognised_operator(self):
        exe = installer("1.1.0.1 >= 1.1.0.0\r\nbad\r\n".encode())
        for lang in LANGS:
            with self.subTest(lang=lang, installed="below"):
                game = e2e.Game(ini=ini("1.1.0.0"))
                r = e2e.run(game.place(exe), lang=lang)
                self.assertRefused(r, lang, TEXTS[lang]["DESCRIPTOR_ERROR"], "error")
                self.assertEqual(r.boxes[0]["buttons"], ["OK"])
        with self.subTest(installed="at target"):
            game = e2e.Game(ini=ini("1.1.0.1"))
            r = e2e.run(game.place(exe), answers=["OK"])
            self.assertQuestion(r.boxes[0], ZH_CN)
            self.assertInstalled(r, game, ZH_CN)
            self.assertEqual(r.dialogs[0]["info"], ">= 1.1.0.0\r\nbad\r\n")

    def test_byte_order_mark(self):
        # Every number reads 0: T = 0, so the question comes; the description keeps the mark.
        descriptor = b"\xef\xbb\xbf" + e2e.EXAMPLE_DESCRIPTOR
        game = e2e.Game(ini=ini("1.1.0.0"))
        r = e2e.run(game.place(installer(descriptor)), answers=["OK"])
        self.assertQuestion(r.boxes[0], ZH_CN)
        self.assertEqual(r.dialogs[0]["info"], descriptor.decode("utf-8"))
        self.assertInstalled(r, game, ZH_CN, "0.0.0.0")

    def test_no_descriptor(self):
        exe = e2e.make_installer(None, small_payload())
        for lang in LANGS:
            with self.subTest(lang=lang):
                game = e2e.Game(ini=ini("1.1.0.0"))
                r = e2e.run(game.place(exe), lang=lang)
                self.assertRefused(r, lang, TEXTS[lang]["NO_DESCRIPTOR"], "error")
                self.assertNotInstalled(game)


class DllPlanting(StartupCase):
    """DLLs that Windows or a system library loads by plain name must not come from the installer's
    folder: the installer runs elevated. Native copies are preferred, as Windows would load them."""
    PLANTED = ("uxtheme.dll", "version.dll")
    OVERRIDES = "uxtheme=n,b;version=n,b"

    def plant(self, folder):
        for name in self.PLANTED:
            shutil.copyfile(e2e.PLANTED_DLL, os.path.join(folder, name))
        return folder

    def loaded(self, folder):
        return sorted(n[:-len(".loaded")] for n in os.listdir(folder) if n.endswith(".loaded"))

    def test_planted_dlls_do_not_load(self):
        # The control: a program without the protection does load a planted DLL.
        control = self.plant(e2e.scratch_dir())
        shutil.copyfile(e2e.FAKEAPP, os.path.join(control, "fakeapp.exe"))
        e2e.run(os.path.join(control, "fakeapp.exe"), args=["box", "0x0", "x"], timeout=30,
                dll_overrides=self.OVERRIDES)
        self.assertIn("version.dll", self.loaded(control), "planting is not detectable here")

        game = e2e.Game(ini=ini("1.1.0.0"))
        exe = game.place(installer())
        self.plant(os.path.dirname(exe))
        r = e2e.run(exe, dll_overrides=self.OVERRIDES)
        self.assertEqual(self.loaded(os.path.dirname(exe)), [])
        self.assertInstalled(r, game, ZH_CN)


if __name__ == "__main__":
    unittest.main()
