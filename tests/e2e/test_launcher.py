"""The real launcher.exe under Wine: a real registry, real processes, real files.

One prefix is made per test run; each test lays out its package folder afresh."""
import os
import re
import subprocess
import time

import winehelp
from winehelp import INFO_ROOT, JOURNAL_KEY, PACKAGE_WIN, UNINSTALL_KEY, host, wine, wine_env


def setUpModule():
    winehelp.make_prefix()


def tearDownModule():
    winehelp.drop_prefix()


class LauncherRun(winehelp.LauncherRun):
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
        winehelp.wait_prefix_idle()
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
        self.assertNotEqual(0, wine("reg", "query", JOURNAL_KEY, check=False).returncode,
                            "the journal of what the run set aside is gone")


if __name__ == "__main__":
    winehelp.main()
