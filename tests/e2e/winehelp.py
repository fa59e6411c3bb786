"""Shared by the Wine tests: one prefix per test module, the package laid out afresh per test.

A test module calls make_prefix() in setUpModule (optionally with a Windows version such as
"nt40" or "win98", or arch="win64" for a 64-bit prefix where the 32-bit launcher runs under
WoW64) and drop_prefix() in tearDownModule; its test classes derive from LauncherRun.
The launcher and the test engine are the first two command-line arguments."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

LAUNCHER, ENGINE = sys.argv[1], sys.argv[2]
PREFIX = None
PACKAGE_WIN = "C:\\Setup Package"
BOX = re.compile(r'Call user32\.MessageBoxA\((\w+),\w+ "(.*)",\w+ "(.*)",(\w+)\)')
INFO_ROOT = "C:\\Program Files\\Brevane Installation Information"
UNINSTALL_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{E2E-GUID}"
# The prefix's kind and the loader that makes it: Debian's /usr/bin/wine prefers the 32-bit
# loader, which cannot make a 64-bit prefix. Once made, a 64-bit prefix runs 32-bit programs
# under WoW64 with that loader too (WINELOADER names the 64-bit one for what they start), so
# "wine reg" is the 32-bit reg.exe on either kind and sees the registry view the launcher sees.
ARCH = "win32"
LOADERS = {"win32": "wine", "win64": "/usr/lib/wine/wine64"}
JOURNAL_KEY = "HKLM\\SOFTWARE\\Brevane\\Setup Launcher\\{E2E-GUID}"  # what a run set aside


def wine_env(relay=False):
    # C.UTF-8: the prefix's ANSI code page is the Western one whatever the machine's locale,
    # and Unix file names and arguments reach Wine as UTF-8, Cyrillic ones too.
    env = dict(os.environ, WINEPREFIX=PREFIX, WINEARCH=ARCH, WINEDLLOVERRIDES="mscoree,mshtml=",
               WINEDEBUG="+relay" if relay else "-all", LC_ALL="C.UTF-8")
    env.pop("DISPLAY", None)
    env.pop("WINELOADER", None)
    if ARCH == "win64":
        env["WINELOADER"] = LOADERS[ARCH]
    return env


def wait_prefix_idle():
    """Until every process of the prefix has ended, the engine's copies too."""
    subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=120)


def wine(*args, env=None, check=True, wait_all=True):
    result = subprocess.run(["wine", *args], env=env or wine_env(), capture_output=True,
                            text=True, errors="replace", timeout=120)
    if wait_all:
        wait_prefix_idle()
    if check and result.returncode != 0:
        raise AssertionError(f"wine {args} failed: {result.stderr[-500:]}")
    return result


def make_prefix(windows_version=None, arch="win32"):
    global PREFIX, ARCH
    PREFIX = tempfile.mkdtemp(prefix="launcher-e2e-")
    ARCH = arch
    subprocess.run([LOADERS[ARCH], "wineboot", "-i"], env=wine_env(), capture_output=True,
                   timeout=300)
    wait_prefix_idle()
    if windows_version:
        wine("winecfg", "-v", windows_version)
    wine("reg", "add", "HKCU\\Environment", "/v", "TEMP", "/d", "C:\\temp", "/f")
    wine("reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/d",
         "user32.MessageBoxA", "/f")


def drop_prefix():
    subprocess.run(["wineserver", "-k"], env=wine_env())
    shutil.rmtree(PREFIX, ignore_errors=True)


def host(path):
    """The Linux path of a C:\\ path inside the prefix."""
    return os.path.join(PREFIX, "drive_c", *path[3:].split("\\"))


def main():
    unittest.main(argv=sys.argv[:1], verbosity=2)


class LauncherRun(unittest.TestCase):
    def setUp(self):
        shutil.rmtree(host(PACKAGE_WIN), ignore_errors=True)
        shutil.rmtree(host("C:\\temp"), ignore_errors=True)
        shutil.rmtree(host(INFO_ROOT), ignore_errors=True)
        os.makedirs(host(PACKAGE_WIN))
        os.makedirs(host("C:\\temp"))
        shutil.copy(LAUNCHER, host(PACKAGE_WIN + "\\launcher.exe"))
        shutil.copy(ENGINE, host(PACKAGE_WIN + "\\bv_setup.exe"))
        self.write_tag("[TagInfo]\r\nProjectGUID=E2E-GUID\r\n")
        wine("reg", "delete", UNINSTALL_KEY, "/f", check=False)

    def write_tag(self, text):
        with open(host(PACKAGE_WIN + "\\data.tag"), "w", newline="") as f:
            f.write(text)

    def run_launcher(self, *args, wait_all=True, **engine_env):
        """Runs the launcher; returns its exit code and its boxes as
        (caption, text, style, owner) tuples in the order shown."""
        env = wine_env(relay=True)
        env["BV_TEST_RECORD"] = "C:\\temp\\engine.txt"
        env.update(engine_env)
        result = wine(PACKAGE_WIN + "\\launcher.exe", *args, env=env, check=False,
                      wait_all=wait_all)
        boxes = [(m.group(3), m.group(2), int(m.group(4), 16), m.group(1))
                 for m in BOX.finditer(result.stderr)]
        return result.returncode, boxes

    def trace(self):
        with open(host("C:\\temp\\launcher.log"), "rb") as f:
            data = f.read()
        self.assertNotIn(b"\n", data.replace(b"\r\n", b""), "every line ends in CR LF")
        return data.decode("latin-1").split("\r\n")[:-1]

    def engine_record(self):
        with open(host("C:\\temp\\engine.txt"), encoding="latin-1") as f:
            return f.read().splitlines()
