"""The real launcher.exe under Wine: a real registry, real processes, real files.

One prefix is made per test run; each test lays out its package folder afresh."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

LAUNCHER, ENGINE = sys.argv[1], sys.argv[2]
PREFIX = None
PACKAGE_WIN = "C:\\Setup Package"
BOX = re.compile(r'Call user32\.MessageBoxA\((\w+),\w+ "(.*)",\w+ "(.*)",(\w+)\)')
INFO_ROOT = "C:\\Program Files\\Brevane Installation Information"
UNINSTALL_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{E2E-GUID}"


def wine_env(relay=False):
    env = dict(os.environ, WINEPREFIX=PREFIX, WINEDLLOVERRIDES="mscoree,mshtml=",
               WINEDEBUG="+relay" if relay else "-all")
    env.pop("DISPLAY", None)
    return env


def wine(*args, env=None, check=True, wait_all=True):
    result = subprocess.run(["wine", *args], env=env or wine_env(), capture_output=True,
                            text=True, errors="replace", timeout=120)
    if wait_all:  # until every process of the prefix has ended, the engine's copies too
        subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=120)
    if check and result.returncode != 0:
        raise AssertionError(f"wine {args} failed: {result.stderr[-500:]}")
    return result


def setUpModule():
    global PREFIX
    PREFIX = tempfile.mkdtemp(prefix="launcher-e2e-")
    subprocess.run(["wineboot", "-i"], env=wine_env(), capture_output=True, timeout=300)
    subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=120)
    wine("reg", "add", "HKCU\\Environment", "/v", "TEMP", "/d", "C:\\temp", "/f")
    wine("reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/d",
         "user32.MessageBoxA", "/f")


def tearDownModule():
    subprocess.run(["wineserver", "-k"], env=wine_env())
    shutil.rmtree(PREFIX, ignore_errors=True)


def host(path):
    return os.path.join(PREFIX, "drive_c", *path[3:].split("\\"))


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

    def test_traced_run_without_installation(self):
        code, boxes = self.run_launcher("LOG")
        self.assertEqual((0, []), (code, boxes))
        lines = self.trace()
        self.assertEqual("Begin: WinMain().", lines[0])
        self.assertEqual("Launcher path=C:\\Setup Package\\launcher.exe", lines[2])
        self.assertEqual("GUID={E2E-GUID}", lines[4])
        self.assertIn("Log file (setup.zmf) NOT found", lines)
        self.assertIn("Command line args:  SAS LOG", lines)
        self.assertIn("Launch of BV setup: return from LaunchApp(): 1", lines)
        self.assertEqual("Waiting for bv_setup.exe to terminate: 5 seconds elapsed",
                         lines[-2])
        self.assertEqual("End: WinMain().", lines[-1])

    def test_engine_command_line_and_show_state(self):
        self.run_launcher()
        self.run_launcher("/a", "b c")
        record = self.engine_record()
        self.assertEqual("cmdline=C:\\Setup Package\\bv_setup.exe SAS ", record[0])
        self.assertEqual('cmdline=C:\\Setup Package\\bv_setup.exe SAS /a "b c"', record[3])
        self.assertEqual("show=0", record[2])
        self.assertFalse(os.path.exists(host("C:\\temp\\launcher.log")))

    def test_quoted_argument_text_passes_verbatim(self):
        self.run_launcher('say "x"', "log")
        record = self.engine_record()
        self.assertEqual('cmdline=C:\\Setup Package\\bv_setup.exe SAS "say \\"x\\"" log',
                         record[0])
        self.assertFalse(os.path.exists(host("C:\\temp\\launcher.log")),
                         "lower-case log does not trace")

    def test_log_inside_a_word_traces(self):
        self.run_launcher("CATALOG")
        lines = self.trace()
        self.assertIn("Command line args:  SAS CATALOG", lines)
        self.assertEqual("End: WinMain().", lines[-1])

    def test_launch_results_and_boxes(self):
        self.run_launcher("LOG", BV_TEST_EXIT_CODE="3")
        self.assertIn("Launch of BV setup: return from LaunchApp(): 0", self.trace())
        os.remove(host(PACKAGE_WIN + "\\bv_setup.exe"))
        code, boxes = self.run_launcher("LOG")
        self.assertEqual(0, code)
        self.assertEqual([("Launcher Error", "Could not run BV_SETUP.EXE", 0x10, "00000000")],
                         boxes)
        self.assertIn("Launch of BV setup: return from LaunchApp(): -1", self.trace())

    def test_data_tag_stops(self):
        self.write_tag("[TagInfo]\r\nOther=1\r\n")
        code, boxes = self.run_launcher("LOG")
        self.assertEqual(1, code)
        self.assertEqual([("Launcher Error", "Error reading GUID from DATA.TAG", 0x10,
                           "00000000")], boxes)
        self.assertEqual("Error reading GUID from DATA.TAG - aborting", self.trace()[-1])
        os.remove(host(PACKAGE_WIN + "\\data.tag"))
        code, boxes = self.run_launcher()
        self.assertEqual((1, "Cannot find DATA.TAG"), (code, boxes[0][1]))

    def test_wait_covers_the_engines_copy(self):
        start = time.monotonic()
        code, _ = self.run_launcher("LOG", wait_all=False, BV_TEST_SPAWN_COPY_MS="1500",
                                    BV_TEST_WRITE_FILE="C:\\temp\\copy_done.txt")
        self.assertTrue(os.path.exists(host("C:\\temp\\copy_done.txt")),
                        "the copy had ended when the launcher returned")
        subprocess.run(["wineserver", "-w"], env=wine_env(), timeout=120)
        self.assertEqual(0, code)
        waits = [l for l in self.trace() if l.startswith("Waiting for bv_setup.exe")]
        self.assertGreater(len(waits), 5, "the launcher polled while the copy lived")
        self.assertGreaterEqual(time.monotonic() - start, 1.5)

    def test_guard_refuses_while_an_engine_runs(self):
        env = dict(wine_env(), BV_TEST_SLEEP_MS="6000", BV_TEST_RECORD="C:\\temp\\first.txt")
        first = subprocess.Popen(["wine", PACKAGE_WIN + "\\bv_setup.exe"], env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not os.path.exists(host("C:\\temp\\first.txt")) and time.monotonic() < deadline:
            time.sleep(0.1)
        code, boxes = self.run_launcher("LOG", wait_all=False)
        self.assertEqual(1, code)
        self.assertEqual([("Launcher Error", "An instance of this Setup is already running.  "
                           "Please close all Setups before running this one.", 0x10,
                           "00000000")], boxes)
        self.assertIsNone(first.poll(), "the running engine is undisturbed")
        self.assertEqual(["Begin: WinMain()."], self.trace())
        self.assertEqual(0, first.wait(timeout=60))

    def test_earlier_installation_survives(self):
        info = INFO_ROOT + "\\{E2E-GUID}"
        os.makedirs(host(info), exist_ok=True)
        with open(host(info + "\\setup.zmf"), "wb") as f:
            f.write(b"original log\r\n")
        command = 'C:\\x\\LaunchSetup "' + info + '\\bv_setup.exe" /u'
        wine("reg", "add", UNINSTALL_KEY, "/v", "UninstallString", "/t", "REG_EXPAND_SZ",
             "/d", command, "/f")
        code, _ = self.run_launcher("LOG")
        self.assertEqual(0, code)
        with open(host(info + "\\setup.zmf"), "rb") as f:
            self.assertEqual(b"original log\r\n", f.read())
        self.assertFalse(os.path.exists(host(info + "\\setup.z_f")))
        self.assertFalse(os.path.exists(host(info + "\\uninst.dat")))
        out = wine("reg", "query", UNINSTALL_KEY).stdout
        self.assertRegex(out, r"UninstallString\s+REG_EXPAND_SZ\s+" + re.escape(command))
        self.assertNotIn("LauncherSavedUninstallString", out)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
