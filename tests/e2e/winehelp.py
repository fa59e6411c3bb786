"""Shared by the Wine tests: a Wine prefix of one kind (Windows version, arch) and the package
laid out in it. conftest.py makes one prefix per kind for the whole session."""
import os
import re
import shutil
import subprocess
import tempfile
import time

PACKAGE_WIN = "C:\\Setup Package"
BOX = re.compile(r'Call user32\.MessageBoxA\((\w+),\w+ "(.*)",\w+ "(.*)",(\w+)\)')
INFO_ROOT = "C:\\Program Files\\Brevane Installation Information"
X86_INFO_ROOT = "C:\\Program Files (x86)\\Brevane Installation Information"  # under WoW64
UNINSTALL_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{E2E-GUID}"
JOURNAL_KEY = "HKLM\\SOFTWARE\\Brevane\\Setup Launcher\\{E2E-GUID}"  # what a run set aside
DEBUG_KEY = "HKCU\\Software\\Wine\\Debug"
TRACE = "C:\\temp\\launcher.log"
RECORD = "C:\\temp\\engine.txt"
GUARD_TEXT = ("An instance of this Setup is already running.  Please close all Setups before "
              "running this one.")
# Debian's /usr/bin/wine prefers the 32-bit loader, which cannot make a 64-bit prefix. Once
# made, a 64-bit prefix runs 32-bit programs under WoW64 with that loader too (WINELOADER names
# the 64-bit one for what they start), so "wine reg" is the 32-bit reg.exe on either kind and
# sees the registry view the launcher sees.
LOADERS = {"win32": "wine", "win64": "/usr/lib/wine/wine64"}


def error_box(text):
    """A box as boxes() gives it: (caption, text, style, owner)."""
    return ("Launcher Error", text, 0x10, "00000000")


def boxes(relay_text):
    return [(m.group(3), m.group(2), int(m.group(4), 16), m.group(1))
            for m in BOX.finditer(relay_text)]


class Prefix:
    def __init__(self, version=None, arch="win32"):
        self.path = tempfile.mkdtemp(prefix="launcher-e2e-")
        self.arch = arch
        subprocess.run([LOADERS[arch], "wineboot", "-i"], env=self.env(), capture_output=True,
                       timeout=300)
        self.wait_idle()
        if version:
            self.wine("winecfg", "-v", version)
        self.set_temp("C:\\temp")
        self.wine("reg", "add", DEBUG_KEY, "/v", "RelayInclude", "/d", "user32.MessageBoxA",
                  "/f")

    def env(self, relay=False, **extra):
        # C.UTF-8: the prefix's ANSI code page is the Western one whatever the machine's
        # locale, and Unix file names and arguments reach Wine as UTF-8, Cyrillic ones too.
        env = dict(os.environ, WINEPREFIX=self.path, WINEARCH=self.arch,
                   WINEDLLOVERRIDES="mscoree,mshtml=", WINEDEBUG="+relay" if relay else "-all",
                   LC_ALL="C.UTF-8")
        env.pop("DISPLAY", None)
        env.pop("WINELOADER", None)
        if self.arch == "win64":
            env["WINELOADER"] = LOADERS[self.arch]
        env.update(extra)
        return env

    def wait_idle(self):
        """Until every process of the prefix has ended, the engine's copies too."""
        subprocess.run(["wineserver", "-w"], env=self.env(), timeout=120)

    def wine(self, *args, env=None, check=True, wait_all=True):
        result = subprocess.run(["wine", *args], env=env or self.env(), capture_output=True,
                                text=True, errors="replace", timeout=120)
        if wait_all:
            self.wait_idle()
        assert not check or result.returncode == 0, f"wine {args}: {result.stderr[-500:]}"
        return result

    def start(self, *args, stderr=subprocess.DEVNULL, **env):
        """Starts a Windows program and leaves it running, without pipes to the test."""
        return subprocess.Popen(["wine", *args], env=self.env(**env), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=stderr)

    def set_temp(self, path):
        self.wine("reg", "add", "HKCU\\Environment", "/v", "TEMP", "/d", path, "/f")

    def host(self, path):
        """The Linux path of a C:\\ path inside the prefix."""
        return os.path.join(self.path, "drive_c", *path[3:].split("\\"))

    def read(self, path):
        """A file's bytes; None while it does not exist."""
        try:
            with open(self.host(path), "rb") as f:
                return f.read()
        except OSError:
            return None

    def write(self, path, data):
        os.makedirs(os.path.dirname(self.host(path)), exist_ok=True)
        with open(self.host(path), "wb") as f:
            f.write(data)

    def remove(self, *paths):
        for path in paths:
            if os.path.lexists(self.host(path)):
                os.remove(self.host(path))

    def drop(self):
        subprocess.run(["wineserver", "-k"], env=self.env())
        shutil.rmtree(self.path, ignore_errors=True)


class Package:
    """launcher.exe, bv_setup.exe and data.tag laid out afresh in PACKAGE_WIN, an empty TEMP,
    no earlier installation."""

    def __init__(self, prefix, launcher, engine):
        self.prefix, self.engine = prefix, engine
        for path in (PACKAGE_WIN, "C:\\temp", INFO_ROOT, X86_INFO_ROOT):
            shutil.rmtree(prefix.host(path), ignore_errors=True)
        os.makedirs(prefix.host("C:\\temp"))
        prefix.write(PACKAGE_WIN + "\\launcher.exe", open(launcher, "rb").read())
        prefix.write(PACKAGE_WIN + "\\bv_setup.exe", open(engine, "rb").read())
        self.write_tag("[TagInfo]\r\nProjectGUID=E2E-GUID\r\n")
        prefix.wine("reg", "delete", UNINSTALL_KEY, "/f", check=False)

    def write_tag(self, text):
        self.prefix.write(PACKAGE_WIN + "\\data.tag", text.encode())

    def run(self, *args, wait_all=True, exe=PACKAGE_WIN + "\\launcher.exe", **engine_env):
        """Runs the launcher; returns its exit code and its boxes in the order shown."""
        env = self.prefix.env(relay=True, BV_TEST_RECORD=RECORD, **engine_env)
        result = self.prefix.wine(exe, *args, env=env, check=False, wait_all=wait_all)
        return result.returncode, boxes(result.stderr)

    def start_engine(self, record="C:\\temp\\first.txt", image=PACKAGE_WIN + "\\bv_setup.exe",
                     **engine_env):
        """An engine (or a copy under another image) left running, once it has started."""
        proc = self.prefix.start(image, BV_TEST_RECORD=record, **engine_env)
        wait_until(lambda: self.prefix.read(record) is not None or proc.poll() is not None,
                   f"{image} never started")
        assert proc.poll() is None, f"{image} ended before it recorded its start"
        return proc

    def trace(self, path=TRACE):
        data = self.prefix.read(path)
        assert data is not None, "no trace log"
        assert b"\n" not in data.replace(b"\r\n", b""), "every line ends in CR LF"
        return data.decode("latin-1").split("\r\n")[:-1]

    def engine_record(self, path=RECORD):
        return self.prefix.read(path).decode("latin-1").splitlines()


def wait_until(condition, message, seconds=60):
    """Polls condition every millisecond; fails after a minute."""
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, message
        time.sleep(0.001)
