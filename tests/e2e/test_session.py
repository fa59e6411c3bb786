"""Unattended runs: a deployment tool starts the launcher as SYSTEM in a session that nobody
sees, on a window station without WSF_VISIBLE. A box there would never be answered; the launcher
shows none (no MessageBoxA call in the relay trace), goes on as after OK and traces the text.

Under Wine a process started with STARTUPINFO.lpDesktop naming a window station that does not
exist gets that station, made without WSF_VISIBLE, as a service's is. The test engine, copied
under another image name, is the starter."""
import os
import shutil
import subprocess
import time

import winehelp
from winehelp import BOX, ENGINE, PACKAGE_WIN, host, wine, wine_env

STARTER = "C:\\tools\\starter.exe"
NOT_SHOWN = "Box not shown, no interactive window station: "
GUARD_TEXT = ("An instance of this Setup is already running.  Please close all Setups before "
              "running this one.")


def setUpModule():
    winehelp.make_prefix()


def tearDownModule():
    winehelp.drop_prefix()


class UnseenBoxRun(winehelp.LauncherRun):
    def run_unattended(self, wait_all=True):
        """Runs the traced launcher on a window station of its own; returns its exit code and
        the boxes it showed."""
        os.makedirs(os.path.dirname(host(STARTER)), exist_ok=True)
        shutil.copy(ENGINE, host(STARTER))
        env = dict(wine_env(relay=True), BV_TEST_START_ON_DESKTOP="Unattended\\Default",
                   BV_TEST_START_COMMAND=f'"{PACKAGE_WIN}\\launcher.exe" LOG',
                   BV_TEST_RECORD="C:\\temp\\engine.txt")
        result = wine(STARTER, env=env, check=False, wait_all=wait_all)
        return result.returncode, BOX.findall(result.stderr)

    def start_engine(self):
        """An engine that runs for 6 s, once it is up; returns its process."""
        env = dict(wine_env(), BV_TEST_SLEEP_MS="6000", BV_TEST_RECORD="C:\\temp\\first.txt")
        first = subprocess.Popen(["wine", PACKAGE_WIN + "\\bv_setup.exe"], env=env,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while not os.path.exists(host("C:\\temp\\first.txt")) and time.monotonic() < deadline:
            time.sleep(0.1)
        return first

    def remove(self, name):
        os.remove(host(PACKAGE_WIN + "\\" + name))
        return None

    def test_no_box_the_same_course_and_the_text_traced(self):
        cases = [  # the box, how it comes about, the exit code, the trace line after the box's
            (GUARD_TEXT, self.start_engine, 1, None),
            ("Cannot find DATA.TAG", lambda: self.remove("data.tag"), 1,
             "Cannot find DATA.TAG - aborting"),
            ("Could not run BV_SETUP.EXE", lambda: self.remove("bv_setup.exe"), 0,
             "Waiting for bv_setup.exe to terminate: 5 seconds elapsed"),
        ]
        for text, arrange, exit_code, next_line in cases:
            with self.subTest(text):
                self.setUp()
                running = arrange()
                code, boxes = self.run_unattended(wait_all=running is None)
                self.assertEqual((exit_code, []), (code, boxes))
                lines = self.trace()
                self.assertIn(NOT_SHOWN + text, lines)
                at = lines.index(NOT_SHOWN + text)
                self.assertEqual(next_line, lines[at + 1] if at + 1 < len(lines) else None)
                if exit_code == 0:
                    self.assertEqual("End: WinMain().", lines[-1])
                if running is not None:
                    self.assertEqual(0, running.wait(timeout=60), "the running engine goes on")


if __name__ == "__main__":
    winehelp.main()
