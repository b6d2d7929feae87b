"""Shared helpers of the end-to-end tests: payload building, game folders on disk, installers
built with scripts/make-installer.sh, and runs of the installer under Wine through uidriver.

Paths come from the environment that tests/e2e/CMakeLists.txt sets: QPATCH_SOURCE_DIR,
QPATCH_BUILD_DIR, UIDRIVER (uidriver.exe, with uidriver_hook.dll beside it), FAKEAPP,
QPATCH_ARTIFACTS.
"""
import atexit
import hashlib
import json
import lzma
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

SOURCE = os.environ.get("QPATCH_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
sys.path.insert(0, os.path.join(SOURCE, "tools", "demo"))
import make_demo_game  # noqa: E402
BUILD = os.environ.get("QPATCH_BUILD_DIR", os.path.join(SOURCE, "build", "windows"))
UIDRIVER = os.environ.get("UIDRIVER", os.path.join(BUILD, "tools", "uidriver", "uidriver.exe"))
FAKEAPP = os.environ.get("FAKEAPP", os.path.join(BUILD, "tests", "e2e", "e2e_fakeapp.exe"))
PLANTED_DLL = os.environ.get("PLANTED_DLL", os.path.join(BUILD, "tests", "e2e", "e2e_planted.dll"))
ARTIFACTS = os.environ.get("QPATCH_ARTIFACTS", os.path.join(BUILD, "artifacts"))
WINE_RUN = os.path.join(SOURCE, "scripts", "wine-run.sh")
MAKE_INSTALLER = os.path.join(SOURCE, "scripts", "make-installer.sh")
TEST_USER = "qpatch-tester"
# Every wait is multiplied by this: under emulation (scripts/i386-emulation.sh) a 32-bit program
# takes a minute or more to start.
TIMEOUT_SCALE = float(os.environ.get("QPATCH_TIMEOUT_SCALE", "1"))

ZH_CN = "zh_CN.UTF-8"
ZH_TW = "zh_TW.UTF-8"

# Every user-visible text, per interface language.
TEXTS = {
    ZH_CN: {
        "TITLE": "《Tolvar·二》补丁安装包",
        "CONFIRM_CANCEL": "放弃安装可能导致游戏运行不能正常运行，真的要放弃安装吗?",
        "CANCELLING": "正在取消安装...",
        "WRITE_FAILED": "补丁文件写入失败，请检查是否有足够的磁盘空间！",
        "PACKAGE_CORRUPT": "安装包已损坏，请重新下载！",
        "CANNOT_WRITE_GAME": "请检查游戏文件夹是否存在且可以写入补丁包！",
        "NO_CONTENT": "没有找到更新内容!",
        "WRONG_PLACE": "请将此安装包放在游戏文件夹下与Bin目录同级的Update文件夹中运行!",
        "NO_DESCRIPTOR": "没有找到补丁包配置文件!",
        "ALREADY_CURRENT": "您的游戏版本高于或等于此补丁版本,请确认是否再次安装!",
        "NEED_BASE_VERSION": "请先安装%u.%u.%u.%u版本!",
        "DESCRIPTOR_ERROR": "补丁包配置文件错误!",
        "INSTALL_OK": "补丁包安装成功！",
        "DELTA_BASE_MISMATCH": "游戏文件%s与此补丁所需的版本不符，可能已被修改或损坏，请修复或重新安装游戏后再运行此补丁！",
        "DIALOG_CAPTION": "《Tolvar二》更新程序",
        "CLOSE": "关闭",
        "UPDATE": "更新",
    },
    ZH_TW: {
        "TITLE": "《Tolvar二》更新程式",
        "CONFIRM_CANCEL": "放棄安裝可能導致遊戲運行不能正常進行，真的要放棄安裝嗎？",
        "CANCELLING": "正在取消安裝...",
        "WRITE_FAILED": "更新檔案寫入失敗，請檢查是否有足夠的硬碟空間！",
        "PACKAGE_CORRUPT": "更新檔已損壞，請重新下載！",
        "CANNOT_WRITE_GAME": "請檢查遊戲目錄是否可以寫入更新檔案！",
        "NO_CONTENT": "沒有找到更新內容！",
        "WRONG_PLACE": "請將此更新檔放在遊戲目錄下的Update目錄中執行！",
        "NO_DESCRIPTOR": "沒有找到更新程式配置檔案！",
        "ALREADY_CURRENT": "您的遊戲版本高於或者等於此更新版本，請確認再次安裝！",
        "NEED_BASE_VERSION": "請先安裝%u.%u.%u.%u版本！",
        "DESCRIPTOR_ERROR": "更新程式配置檔錯誤！",
        "INSTALL_OK": "更新程式安裝成功！",
        "DELTA_BASE_MISMATCH": "遊戲檔案%s與此更新所需的版本不符，可能已被修改或損毀，請修復或重新安裝遊戲後再執行此更新！",
        "DIALOG_CAPTION": "《Tolvar二》更新程式",
        "CLOSE": "關閉",
        "UPDATE": "更新",
    },
}


def need_base_text(lang, version):
    return TEXTS[lang]["NEED_BASE_VERSION"].replace("%u.%u.%u.%u", version)


def wrong_base_text(lang, name):
    return TEXTS[lang]["DELTA_BASE_MISMATCH"].replace("%s", name)


# ---- payload ----------------------------------------------------------------------------------

PROPS_BYTE = 0x5D  # lc 3, lp 0, pb 2


def lzma_block(data, dict_size):
    """One stored block: 5 properties bytes and raw LZMA1 data from Python's own encoder."""
    raw = lzma.compress(data, format=lzma.FORMAT_RAW,
                        filters=[{"id": lzma.FILTER_LZMA1, "dict_size": dict_size,
                                  "lc": 3, "lp": 0, "pb": 2}])
    return bytes([PROPS_BYTE]) + struct.pack("<I", dict_size) + raw


def block_stream(data, block_size=524288):
    """The block-compressed format: u64 size, u32 block size, u32 stored sizes, blocks."""
    dict_size = max(4096, min(block_size, 1 << 22))
    encoded = {}  # identical blocks are encoded once
    blocks = []
    for i in range(0, len(data), block_size):
        block = data[i:i + block_size]
        key = hashlib.sha256(block).digest()
        if key not in encoded:
            encoded[key] = lzma_block(block, dict_size)
        blocks.append(encoded[key])
    header = struct.pack("<QI", len(data), block_size)
    table = b"".join(struct.pack("<I", len(b)) for b in blocks)
    return header + table + b"".join(blocks)


def _name(name):
    units = name.encode("utf-16-le")
    return struct.pack("<H", len(units) // 2) + units


def whole_file_entry(name, content, block_size=524288, kind=1):
    data = block_stream(content, block_size)
    return bytes([kind]) + _name(name) + struct.pack("<Q", len(data)) + data


def whole_file_entry_raw(name, stream):
    """A whole-file entry around given stream bytes, valid or not."""
    return bytes([1]) + _name(name) + struct.pack("<Q", len(stream)) + stream


QDELTA = os.environ.get("QDELTA", os.path.join(SOURCE, "build", "native", "tools", "deltacli", "qdelta"))


def delta(old, new):
    """The delta that makes new from old, from the publisher's encoder (qdelta encode)."""
    with tempfile.TemporaryDirectory() as work:
        paths = [os.path.join(work, n) for n in ("old", "new", "delta")]
        for path, data in zip(paths, (old, new)):
            with open(path, "wb") as f:
                f.write(data)
        subprocess.run([QDELTA, "encode"] + paths, check=True, stdout=subprocess.DEVNULL)
        with open(paths[2], "rb") as f:
            return f.read()


def delta_entry(name, old, new):
    return whole_file_entry_raw(name, delta(old, new))


def named_delta_entry(name, base, old, new):
    """A delta entry for name whose base is the file base (holding old), not name itself."""
    made = delta(old, new)
    units = base.encode("utf-16-le")
    header = bytearray(made[:40])
    header[7] |= 1  # the base is named
    return whole_file_entry_raw(name, bytes(header) + struct.pack("<H", len(units) // 2) + units + made[40:])


def removal_list(files=(), folders=()):
    """The removal list: files as (name, [contents it may have]), then folders by name."""
    def record(kind, name, contents):
        units = name.encode("utf-16-le")
        out = struct.pack("<BBH", kind, 0, len(units) // 2) + units + struct.pack("<H", len(contents))
        return out + b"".join(struct.pack("<QI", len(c), zlib.crc32(c)) for c in contents)
    records = [record(1, name, contents) for name, contents in files]
    records += [record(2, name, []) for name in folders]
    return b"QRMV" + struct.pack("<HHI", 1, 0, len(records)) + b"".join(records)


def shifted(data, seed, edits=8):
    """data with bytes inserted, removed and changed at a few places: what a recompile does."""
    rng = random.Random(seed)
    out = bytearray(data)
    for _ in range(edits):
        at = rng.randrange(len(out))
        if rng.random() < 0.5:
            out[at:at] = pseudo_random(rng.randrange(1, 600), rng.randrange(1 << 30))
        else:
            del out[at:at + rng.randrange(1, 300)]
    return bytes(out)


def game_text(size, seed):
    """Text as game data holds it (definitions, scripts): it compresses well, as a pack's members."""
    rng = random.Random(seed)
    words = [b"unit ", b"tile ", b"= ", b"12", b"\r\n", b"sprite_", b"{", b"}", b"hp ", b"map "]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words)
    return bytes(out[:size])


def zip_archive(members, level=6):
    """A zip archive as zlib writes it (Java's jars, Python's zipfile): members deflated at level;
    the demo game's packs are made so too."""
    return make_demo_game.zip_pack(members, level)


def truncated_stream(size=5000):
    """A stream whose one block stops after a few bytes of LZMA data: it cannot decode to size."""
    block = lzma_block(pseudo_random(size, 9), 1 << 16)[:20]
    return struct.pack("<QII", size, 524288, len(block)) + block


def range_entry(name, offset, data):
    return bytes([0]) + _name(name) + struct.pack("<QQ", len(data), offset) + data


def pseudo_random(size, seed):
    return random.Random(seed).randbytes(size)


def big_content(size, seed=0):
    """Tens of MB that encode quickly: one pseudo-random 512 KiB block, repeated."""
    block = pseudo_random(4096, seed) * 128
    return (block * (size // len(block) + 1))[:size]


EXAMPLE_DESCRIPTION = "《Tolvar二》v1.1.0.0 升级到 v1.1.0.1\r\n"
EXAMPLE_DESCRIPTOR = ("1.1.0.1 = 1.1.0.0\r\n" + EXAMPLE_DESCRIPTION).encode("utf-8")


# ---- installers -------------------------------------------------------------------------------

_installer_cache = os.path.join(BUILD, "e2e-installers")


def make_installer(descriptor=EXAMPLE_DESCRIPTOR, chunks=None, checksum=True, deltas=None,
                   removals=None):
    """Builds (or reuses) an installer carrying the descriptor (None: no descriptor resource), the
    chunks ({id: bytes}), the delta resources ({id: bytes}) and the removal list (bytes), with
    checksum records unless checksum is False. Returns the path of the cached executable."""
    chunks = chunks or {}
    deltas = deltas or {}
    files = {"%d.bin" % cid: data for cid, data in chunks.items()}
    files.update({"%d.delta" % cid: data for cid, data in deltas.items()})
    if removals is not None:
        files["1601.remove"] = removals
    key = hashlib.sha256()
    key.update(b"none" if descriptor is None else b"d" + descriptor)
    key.update(b"" if checksum else b"unchecked")
    for name in sorted(files):
        key.update(b"%s:%d:" % (name.encode(), len(files[name])) + hashlib.sha256(files[name]).digest())
    # A rebuilt stub or a rebuilt patchtool (which make-installer.sh runs) makes every cached installer stale.
    for made_from in (os.path.join(BUILD, "resources", "qpatch-stub.exe"),
                      os.environ.get("QPATCH_PATCHTOOL", os.path.join(SOURCE, "build", "native", "tools", "patchtool", "patchtool"))):
        if os.path.exists(made_from):
            key.update(str(os.path.getmtime(made_from)).encode())
    os.makedirs(_installer_cache, exist_ok=True)
    out = os.path.join(_installer_cache, key.hexdigest()[:20] + ".exe")
    if os.path.exists(out):
        return out
    with tempfile.TemporaryDirectory() as patch:
        if descriptor is not None:
            with open(os.path.join(patch, "descriptor.txt"), "wb") as f:
                f.write(descriptor)
        for name, data in files.items():
            with open(os.path.join(patch, name), "wb") as f:
                f.write(data)
        env = dict(os.environ, QPATCH_BUILD_DIR=BUILD)
        options = [] if checksum else ["--no-checksum"]
        # tests running in parallel may build the same installer: each writes its own copy
        made = "%s.%d.tmp" % (out, os.getpid())
        subprocess.run([MAKE_INSTALLER] + options + [patch, made], check=True, env=env)
    os.replace(made, out)
    return out


# ---- game folders -----------------------------------------------------------------------------

_scratch = []


def scratch_dir(for_user=False):
    """A fresh folder under /tmp; readable and writable by the test user when asked."""
    d = tempfile.mkdtemp(prefix="qpatch-e2e-")
    _scratch.append(d)
    if for_user:
        os.chmod(d, 0o777)
    return d


@atexit.register
def _clean_scratch():
    for d in _scratch:
        shutil.rmtree(d, ignore_errors=True)


class Game:
    """A game folder: Bin\\Tolvar2.exe, Bin\\game.ini (when ini is not None), and the folder the
    installer is copied into."""

    def __init__(self, ini="[GAME]\r\nVERSION=1.1.0.0\r\n", name="game", exe_is_folder=False,
                 installer_folder="Update", for_user=False, base=None):
        self.base = base or scratch_dir(for_user)
        self.root = os.path.join(self.base, name)
        self.bin = os.path.join(self.root, "Bin")
        os.makedirs(self.bin)
        exe = os.path.join(self.bin, "Tolvar2.exe")
        if exe_is_folder:
            os.makedirs(exe)
        else:
            with open(exe, "wb") as f:
                f.write(b"MZ game")
        self.ini_path = os.path.join(self.bin, "game.ini")
        if ini is not None:
            with open(self.ini_path, "wb") as f:
                f.write(ini.encode("utf-8") if isinstance(ini, str) else ini)
        self.update = os.path.join(self.root, installer_folder) if installer_folder else None
        if self.update:
            os.makedirs(self.update)
        self.for_user = for_user
        if for_user:
            subprocess.run(["chown", "-R", TEST_USER, self.base], check=True)

    def place(self, installer, folder=None, name="patch.exe"):
        folder = folder or self.update
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name)
        shutil.copyfile(installer, path)
        if self.for_user:
            subprocess.run(["chown", "-R", TEST_USER, folder], check=True)
        return path

    def path(self, relative):
        return os.path.join(self.root, *relative.replace("\\", "/").split("/"))

    def read(self, relative):
        with open(self.path(relative), "rb") as f:
            return f.read()

    def write(self, relative, data):
        p = self.path(relative)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
        if self.for_user:
            subprocess.run(["chown", "-R", TEST_USER, self.root], check=True)

    def ini(self):
        with open(self.ini_path, "rb") as f:
            return f.read()


def snapshot(root):
    """{relative path: SHA-256} of every file under root, and every folder (as None)."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for d in dirs:
            found[os.path.relpath(os.path.join(folder, d), root)] = None
        for f in files:
            p = os.path.join(folder, f)
            with open(p, "rb") as fh:
                found[os.path.relpath(p, root)] = hashlib.sha256(fh.read()).hexdigest()
    return found


class Holder:
    """Another program holding a file open without sharing, as a running game holds its own."""

    def __init__(self, path):
        self.marker = path + ".held"
        env = dict(os.environ, QPATCH_BUILD_DIR=BUILD)
        env.pop("QPATCH_WINE_USER", None)
        self.proc = subprocess.Popen([WINE_RUN, FAKEAPP, "hold", windows_path(path), windows_path(self.marker)],
                                     env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 60 * TIMEOUT_SCALE
        while not os.path.exists(self.marker):
            if self.proc.poll() is not None or time.time() > deadline:
                raise AssertionError("the holder did not open %s" % path)
            time.sleep(0.05)
        os.remove(self.marker)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.proc.kill()
        self.proc.wait()


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


# ---- the display ------------------------------------------------------------------------------

def ensure_display():
    """The tests run on DISPLAY: each test program has one of its own, from
    scripts/with-display.sh, since this module starts it again under that script when no
    display is set. Screenshots are grabbed from that X screen."""
    if not os.environ.get("DISPLAY"):
        raise RuntimeError("no X display: run the test under scripts/with-display.sh")


if not os.environ.get("DISPLAY") and os.environ.get("QPATCH_E2E_DISPLAY_STARTED") != "1":
    os.environ["QPATCH_E2E_DISPLAY_STARTED"] = "1"
    os.execv(os.path.join(SOURCE, "scripts", "with-display.sh"),
             [os.path.join(SOURCE, "scripts", "with-display.sh")] + sys.orig_argv)


def _keep_wine_up():
    """One Wine server for all runs of this test program, ended when it ends: each run then skips
    Wine's start of its services. Not for the unprivileged user's prefix or an emulated one."""
    if os.environ.get("QPATCH_WINE_EMULATED") or os.environ.get("QPATCH_WINE_USER"):
        return
    env = dict(os.environ, QPATCH_BUILD_DIR=BUILD)
    if subprocess.run([WINE_RUN, "--persist"], env=env, stdout=subprocess.DEVNULL,
                      stderr=subprocess.DEVNULL).returncode == 0:
        atexit.register(subprocess.run, [WINE_RUN, "--kill-server"], env=env,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


if os.environ.get("DISPLAY"):
    _keep_wine_up()


# ---- runs -------------------------------------------------------------------------------------

class Run:
    """The outcome of one driver run: the events in order and the installer's exit code."""

    def __init__(self, events, stderr):
        self.events = events
        self.stderr = stderr
        last = events[-1] if events else {}
        if last.get("event") != "exit":
            raise AssertionError("driver output has no exit line: %r %s" % (events[-3:], stderr))
        self.exit_code = last["code"]
        self.timed_out = any(e["event"] == "timeout" for e in events)

    def of(self, kind):
        return [e for e in self.events if e["event"] == kind]

    @property
    def boxes(self):
        return self.of("msgbox")

    @property
    def dialogs(self):
        return self.of("dialog")

    @property
    def closed(self):
        c = self.of("dialog_closed")
        return c[-1] if c else None


_user_tools = None


def _driver_for_user():
    """The driver and its hook DLL copied where the unprivileged user can read them."""
    global _user_tools
    if _user_tools is None:
        _user_tools = scratch_dir(for_user=True)
        for f in (UIDRIVER, os.path.join(os.path.dirname(UIDRIVER), "uidriver_hook.dll")):
            shutil.copy(f, _user_tools)
        subprocess.run(["chmod", "-R", "a+rX", _user_tools], check=True)
    return os.path.join(_user_tools, os.path.basename(UIDRIVER))


def kill_program(program):
    """Ends every process started from program at once, as a crash or a power cut would."""
    subprocess.run(["pkill", "-KILL", "-f", _process_pattern(program)], check=False)


def _process_pattern(program):
    # Wine names the process by its Unix or its Windows path, depending on who started it; the
    # line must start with it, or the driver that was given the path would match too. Emulated,
    # the line is qemu's: the emulator and Wine's loader come first.
    parts = os.path.abspath(program).strip("/").split("/")
    return (r'^(\S*/qemu-i386-static \S+ )?"?([A-Za-z]:)?[\\/]'
            + r"[\\/]".join(re.escape(p) for p in parts))


def _kill_when(program, proc, condition, kills, events):
    while proc.poll() is None:
        if condition(events):
            kill_program(program)
            kills.append(time.time())
            return
        time.sleep(0.0005)


def run(program, lang=ZH_CN, answers=None, close_at=(), screenshot=None, screenshot_at=1,
        timeout=60, user=None, args=None, dll_overrides=None, box_shot=None, drawn=None,
        hold=None, kill_when=None):
    """Runs program under Wine through uidriver. screenshot: a PNG path; the dialog is grabbed
    from the X screen once it reached the given percent and the hook redrew it. box_shot: a PNG
    path; the first message box is grabbed. The driver waits while a picture is taken. drawn: a
    function (png, event) that raises AssertionError while the picture is not complete yet; the
    grab is then repeated, since Wine copies a painted window to the X screen a moment later.
    hold: points where the installer's writes wait (byte counts written through WriteFile, or
    "ini" for the version write), released one by one after each answered box and each picture.
    kill_when: a function of the events so far, polled while the run lasts; once it returns
    true, the program is killed (Run.killed then says so)."""
    ensure_display()
    timeout = int(timeout * TIMEOUT_SCALE)
    driver = _driver_for_user() if user else UIDRIVER
    ack = os.path.join(scratch_dir(for_user=True), "ack")
    cmd = [WINE_RUN, driver, "--timeout", str(timeout), "--ack", windows_path(ack)]
    if answers:
        cmd += ["--answers", ",".join(answers)]
    for p in close_at:
        cmd += ["--close-at", str(p)]
    if screenshot:
        cmd += ["--screenshot-at", str(screenshot_at)]
    if hold:
        cmd += ["--hold", ",".join(str(p) for p in hold)]
    cmd.append(windows_path(program))
    if args is not None:
        cmd += ["--"] + list(args)
    env = dict(os.environ, LANG=lang, LC_ALL=lang, QPATCH_BUILD_DIR=BUILD)
    env.pop("QPATCH_WINE_USER", None)
    if dll_overrides:
        env["QPATCH_DLL_OVERRIDES"] = dll_overrides
    if user:
        env["QPATCH_WINE_USER"] = user
    # Wine processes that the run starts (the server, the desktop) inherit the driver's output and
    # may outlive it: the driver's exit event ends the reading, not the end of its output, and its
    # stderr goes to a file.
    stderr = tempfile.TemporaryFile()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=stderr, env=env)
    kills = []
    events = []
    killer = None
    if kill_when:
        killer = threading.Thread(target=_kill_when, args=(program, proc, kill_when, kills, events), daemon=True)
        killer.start()
    deadline = time.time() + timeout + 60 * TIMEOUT_SCALE
    try:
        for line in proc.stdout:
            line = line.strip()
            if not line.startswith(b"{"):
                continue
            event = json.loads(line.decode("utf-8"))
            events.append(event)
            if event["event"] == "screenshot" and screenshot:
                grab_screen(event, screenshot, drawn)
            if event["event"] == "msgbox" and box_shot:
                grab_screen(event, box_shot, drawn)
                box_shot = None
            if event["event"] in ("screenshot", "msgbox"):
                open(ack, "wb").close()
            if event["event"] == "exit" or time.time() > deadline:
                break
        proc.wait(timeout=max(1, deadline - time.time()))
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    if killer:
        killer.join()  # the driver may report the exit before the killer has noted its kill
    proc.stdout.close()
    stderr.seek(0)
    result = Run(events, stderr.read().decode("utf-8", "replace"))
    stderr.close()
    result.killed = bool(kills)
    return result


def held(events, point=None):
    """Whether the installer's worker waits at a hold point (the given one, else any)."""
    return any(e["event"] == "held" and point in (None, e["point"]) for e in events)


def read_pixels(png):
    """The picture as (width, height, rows of (r, g, b)), through ImageMagick's PPM output."""
    ppm = subprocess.run(["convert", png, "-depth", "8", "ppm:-"], check=True,
                         stdout=subprocess.PIPE).stdout
    header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", ppm)
    width, height, at = int(header.group(1)), int(header.group(2)), header.end()
    data = ppm[at:at + width * height * 3]
    rows = [[tuple(data[(y * width + x) * 3:(y * width + x) * 3 + 3]) for x in range(width)]
            for y in range(height)]
    return width, height, rows


def grab_screen(event, png, drawn=None):
    """Crops the window of the event from the X screen, as the user sees it (the caption would be
    drawn by a window manager, and there is none). With drawn, grabs again until drawn(png,
    event) raises no AssertionError, for at most 20 s; the last picture stays either way."""
    os.makedirs(os.path.dirname(png), exist_ok=True)
    geometry = "%dx%d+%d+%d" % (event["width"], event["height"], event["left"], event["top"])
    deadline = time.time() + 20 * TIMEOUT_SCALE
    while True:
        subprocess.run(["import", "-window", "root", "-crop", geometry, "+repage", png],
                       check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            if drawn:
                drawn(png, event)
            return
        except AssertionError:
            if time.time() > deadline:
                return
        time.sleep(0.1)
