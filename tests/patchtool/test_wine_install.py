"""A patch built by patchtool.exe (under Wine, from two game folders) and installed by the real
installer under Wine: the game folder must equal the new folder afterwards. Uses the end-to-end
helpers of tests/e2e (read only)."""
import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import e2e  # noqa: E402
from e2e import ZH_CN, TEXTS  # noqa: E402

PATCHTOOL = os.environ["PATCHTOOL"]


def write(root, relative, data):
    path = os.path.join(root, *relative.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def files_under(root):
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root).replace(os.sep, "/")] = f.read()
    return found


def patchtool(*args):
    env = dict(os.environ, QPATCH_BUILD_DIR=e2e.BUILD)
    return subprocess.run([e2e.WINE_RUN, PATCHTOOL] + list(args), env=env, capture_output=True, timeout=300)


class BuiltPatchInstalls(unittest.TestCase):
    def test_installer_reproduces_the_new_folder(self):
        work = e2e.scratch_dir()
        old = os.path.join(work, "old")
        new = os.path.join(work, "new")
        pak = e2e.pseudo_random(700 * 1024, 7)
        write(old, "Bin/Tolvar2.exe", b"MZ game")
        write(old, "Bin/data.pak", pak)
        write(old, "Data/keep.txt", b"unchanged")
        write(old, "Bin/game.ini", b"[GAME]\r\nVERSION=1.1.0.0\r\n")  # patchtool checks the version gate
        shutil.copytree(old, new)
        write(old, "Data/old_plugin.dll", b"MZ a plugin the new version dropped")  # removed
        write(old, "Data/Old/notes.txt", b"a folder the new version dropped")
        write(new, "Bin/game.ini", b"[GAME]\r\nVERSION=1.1.0.1\r\n")
        changed = bytearray(pak)
        changed[1000:1004] = b"\x00\x01\x02\x03"
        changed[600000] ^= 0xFF
        write(new, "Bin/data.pak", bytes(changed) + b"tail" * 100)        # ranges
        write(new, "Bin/Tolvar2.exe", b"MZ game, version 1.1.0.1")        # grown
        write(new, "Data/Maps/New/map.bin", e2e.big_content(1200 * 1024, 3))  # folders, 3 blocks
        write(new, "Data/empty.dat", b"")
        write(new, "Data/中文.txt", "说明".encode("utf-8"))

        setup = os.path.join(work, "setup.exe")
        built = patchtool("build", "--new", e2e.windows_path(new), "--old", e2e.windows_path(old),
                          "--target", "1.1.0.1", "--base", "1.1.0.0", "--op", "=",
                          "--description", "《Tolvar二》v1.1.0.0 升级到 v1.1.0.1",
                          "--out", e2e.windows_path(os.path.join(work, "patch")),
                          "--installer", e2e.windows_path(setup), "--chunk-size", "600000")
        self.assertEqual(built.returncode, 0, built.stderr.decode("utf-8", "replace"))
        self.assertIn(b"range entries", built.stdout)
        inspected = patchtool("inspect", e2e.windows_path(setup))
        self.assertEqual(inspected.returncode, 0, inspected.stdout)
        verified = patchtool("verify", "--patch", e2e.windows_path(setup), "--old", e2e.windows_path(old),
                             "--new", e2e.windows_path(new))
        self.assertEqual(verified.returncode, 0, verified.stdout)

        game = e2e.Game(ini="[GAME]\r\nVERSION=1.1.0.0\r\n")
        for name, data in files_under(old).items():
            game.write(name, data)
        game.write("Saves/slot1.sav", b"the player's own")
        r = e2e.run(game.place(setup), lang=ZH_CN)
        self.assertEqual(r.exit_code, 0, r.events)
        self.assertEqual([b["text"] for b in r.boxes], [TEXTS[ZH_CN]["INSTALL_OK"]])
        self.assertEqual(r.dialogs[0]["info"], "《Tolvar二》v1.1.0.0 升级到 v1.1.0.1\r\n")
        for name, data in files_under(new).items():
            self.assertEqual(game.read(name), data, name)
        self.assertEqual(game.ini(), b"[GAME]\r\nVERSION=1.1.0.1\r\n")
        self.assertFalse(os.path.exists(game.path("Data/old_plugin.dll")))
        self.assertFalse(os.path.exists(game.path("Data/Old")))
        self.assertEqual(game.read("Saves/slot1.sav"), b"the player's own")


class SignedInstaller(unittest.TestCase):
    """Signing as the publisher's last step, with a throw-away certificate made by openssl."""

    def test_signed_installer_verifies_installs_and_a_signed_stub_loses_its_signature(self):
        work = e2e.scratch_dir()
        old, new = os.path.join(work, "old"), os.path.join(work, "new")
        write(old, "Bin/Tolvar2.exe", b"MZ game")
        write(old, "Bin/game.ini", b"[GAME]\r\nVERSION=1.1.0.0\r\n")
        write(old, "Bin/data.pak", e2e.pseudo_random(200 * 1024, 8))
        write(new, "Bin/Tolvar2.exe", b"MZ game, version 1.1.0.1")
        write(new, "Bin/game.ini", b"[GAME]\r\nVERSION=1.1.0.1\r\n")
        write(new, "Bin/data.pak", e2e.pseudo_random(200 * 1024, 8)[:-10] + b"new ending")
        setup, signed = os.path.join(work, "setup.exe"), os.path.join(work, "signed.exe")
        built = patchtool("build", "--new", e2e.windows_path(new), "--old", e2e.windows_path(old),
                          "--target", "1.1.0.1", "--base", "1.1.0.0", "--description", "签名测试 v1.1.0.1",
                          "--out", e2e.windows_path(os.path.join(work, "patch")),
                          "--installer", e2e.windows_path(setup))
        self.assertEqual(built.returncode, 0, built.stderr)

        # Windows reads the version resource as file properties show it.
        checker = os.path.join(e2e.BUILD, "tests", "app", "check_resources.exe")
        properties = subprocess.run([e2e.WINE_RUN, checker, e2e.windows_path(setup),
                                     e2e.windows_path(os.path.join(work, "patch"))],
                                    capture_output=True, timeout=120).stdout.decode("utf-8").replace("\r", "")
        self.assertIn("version: 1.1.0.1 1.1.0.1 | 签名测试 v1.1.0.1 | 《Tolvar二》\n", properties)

        key, cert = os.path.join(work, "test.key"), os.path.join(work, "test.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=Throw-away Test Publisher", "-keyout", key, "-out", cert],
                       check=True, capture_output=True)
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "Tolvar II patch",
                        "-in", setup, "-out", signed], check=True, capture_output=True)
        verified = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed],
                                  capture_output=True)
        self.assertEqual(verified.returncode, 0, verified.stdout)

        inspected = patchtool("inspect", e2e.windows_path(signed))
        self.assertEqual(inspected.returncode, 0, inspected.stdout)
        self.assertIn(b"signature: signed (Authenticode", inspected.stdout)
        self.assertIn(b"checksum record: the descriptor and 1 chunks, all match", inspected.stdout)

        game = e2e.Game(ini="[GAME]\r\nVERSION=1.1.0.0\r\n")
        for name, data in files_under(old).items():
            game.write(name, data)
        r = e2e.run(game.place(signed), lang=ZH_CN)
        self.assertEqual(r.exit_code, 0, r.events)
        self.assertEqual([b["text"] for b in r.boxes], [TEXTS[ZH_CN]["INSTALL_OK"]])
        for name, data in files_under(new).items():
            self.assertEqual(game.read(name), data, name)

        # A signed stub: the installer built from it is written unsigned, and said so.
        stub, rewritten = os.path.join(work, "signed-stub.exe"), os.path.join(work, "rewritten.exe")
        subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-in",
                        os.path.join(e2e.BUILD, "resources", "qpatch-stub.exe"), "-out", stub],
                       check=True, capture_output=True)
        rebuilt = patchtool("build", "--new", e2e.windows_path(new), "--old", e2e.windows_path(old),
                            "--target", "1.1.0.2", "--base", "1.1.0.0", "--description", "again",
                            "--out", e2e.windows_path(os.path.join(work, "patch2")),
                            "--installer", e2e.windows_path(rewritten), "--stub", e2e.windows_path(stub))
        self.assertEqual(rebuilt.returncode, 0, rebuilt.stderr)
        self.assertIn(b"is signed; the installer is written without that signature", rebuilt.stderr)
        self.assertIn(b"signature: none", patchtool("inspect", e2e.windows_path(rewritten)).stdout)
        self.assertNotEqual(subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", rewritten],
                                           capture_output=True).returncode, 0)


if __name__ == "__main__":
    unittest.main()
