"""Two launchers at once under Wine: the run lock lets one run and refuses the other with a
box, exit code 1 and no trace line, and the earlier installation comes through whole.

The engine writes a new setup log and then waits to be released; the test releases it only
once the refused launcher has ended, so that the two runs overlap whatever the timing. On
NT 4 with psapi.dll disabled the launcher's engine guard sees no process at all: there the
run lock alone keeps the second launcher out."""
import os
import subprocess
import tempfile
import time

import winehelp
from scenario import (ENGINE_LOG, GUID, ORIGINAL_LOG, PF_DIR, RECORD, REG_EXPAND_SZ, VALUE,
                      ScenarioRun, env_text, log_files, read, sz)
from winehelp import BOX, PACKAGE_WIN, host, wine_env


def setUpModule():
    winehelp.make_prefix()


def tearDownModule():
    winehelp.drop_prefix()


ALREADY_RUNNING = ("Launcher Error", "An instance of this Setup is already running.  Please "
                   "close all Setups before running this one.", 0x10, "00000000")
FILES = log_files(PF_DIR)
UNINSTALL = sz(f'C:\\x\\LaunchSetup "{PF_DIR}\\bv_setup.exe" /u', REG_EXPAND_SZ)
RELEASE = "C:\\temp\\release.txt"
BARE_RECORD = "C:\\temp\\bare_engine.txt"  # an engine started without a launcher
NO_PSAPI = {"WINEDLLOVERRIDES": wine_env()["WINEDLLOVERRIDES"] + ";psapi=d"}


class TwoLaunchers(ScenarioRun):
    def start(self, **extra_env):
        """Starts a traced launcher whose engine writes a new log and waits to be released;
        its relay trace goes to a file of its own."""
        env = dict(wine_env(relay=True), BV_TEST_RECORD=RECORD, BV_TEST_WAIT_FILE=RELEASE,
                   BV_TEST_NEW_FILE=env_text(FILES["zmf"]), BV_TEST_NEW_FILE_HEX=ENGINE_LOG.hex(),
                   **extra_env)
        relay = tempfile.TemporaryFile("w+", errors="replace")
        self.addCleanup(relay.close)
        launcher = subprocess.Popen(["wine", PACKAGE_WIN + "\\launcher.exe", "LOG"], env=env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=relay)
        self.addCleanup(lambda: launcher.poll() is None and launcher.kill())
        return launcher, relay

    def release(self):
        with open(host(RELEASE), "w"):
            pass

    @staticmethod
    def outcome(launcher, relay):
        """(exit code, boxes as winehelp.LauncherRun.run_launcher gives them)."""
        launcher.wait(timeout=120)
        relay.seek(0)
        boxes = [(m.group(3), m.group(2), int(m.group(4), 16), m.group(1))
                 for m in BOX.finditer(relay.read())]
        return launcher.returncode, boxes

    def check_one_run_and_intact(self):
        """One engine ran, the running launcher's trace is whole, the installation intact."""
        with open(host(RECORD), encoding="latin-1") as f:
            self.assertEqual(1, f.read().count("cmdline="), "engines started")
        lines = self.trace()
        trace = "\n".join(lines)
        self.assertEqual(("Begin: WinMain().", "End: WinMain()."), (lines[0], lines[-1]), trace)
        self.assertEqual(1, lines.count("Begin: WinMain()."), trace)
        self.assertIn("GUID=" + GUID, lines, trace)
        self.assert_intact(PF_DIR, UNINSTALL, trace)

    def test_launchers_started_together(self):
        for offset in (0, 0.03, 0.15):
            with self.subTest(second_after_seconds=offset):
                self.reset()
                self.plant_installation()
                runs = [self.start()]
                time.sleep(offset)
                runs.append(self.start())
                deadline = time.monotonic() + 60
                while all(r.poll() is None for r, _ in runs) and time.monotonic() < deadline:
                    time.sleep(0.02)
                self.release()
                outcomes = sorted(self.outcome(*run) for run in runs)
                self.assertEqual([(0, []), (1, [ALREADY_RUNNING])], outcomes)
                self.check_one_run_and_intact()

    def test_nt4_without_psapi_the_run_lock_alone_refuses(self):
        # Into a file, not a pipe: Wine's own processes, started by the first call of a test,
        # would inherit a pipe and keep it open.
        with tempfile.TemporaryFile("w+") as out:
            subprocess.run(["wine", "winecfg", "-v"], env=wine_env(), stdout=out,
                           stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
            out.seek(0)
            version = out.read().strip()
        self.set_windows_version("nt40")
        self.addCleanup(self.set_windows_version, version)

        # The engine guard is blind here: a launcher started beside an engine runs.
        engine = subprocess.Popen(["wine", PACKAGE_WIN + "\\bv_setup.exe"],
                                  env=dict(wine_env(), BV_TEST_WAIT_FILE=RELEASE,
                                           BV_TEST_RECORD=BARE_RECORD),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: engine.poll() is None and engine.kill())
        self.wait_until(lambda: os.path.exists(host(BARE_RECORD)), "the engine never ran")
        code, boxes = self.run_launcher(wait_all=False, **NO_PSAPI)
        self.release()
        engine.wait(timeout=60)
        self.assertEqual((0, []), (code, boxes), "the guard saw the engine")

        self.reset()
        self.plant_installation()
        first = self.start(**NO_PSAPI)
        self.wait_until(lambda: b"acted" in read(RECORD), "the first launcher's engine never ran")
        second = self.run_launcher("LOG", wait_all=False, **NO_PSAPI)
        self.release()
        self.assertEqual([(0, []), (1, [ALREADY_RUNNING])], [self.outcome(*first), second])
        self.check_one_run_and_intact()

    def plant_installation(self):
        self.plant({VALUE: UNINSTALL}, {FILES["zmf"]: ORIGINAL_LOG})
        if os.path.exists(host(RELEASE)):
            os.remove(host(RELEASE))

    def set_windows_version(self, version):
        subprocess.run(["wine", "winecfg", "-v", version], env=wine_env(), check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120)


if __name__ == "__main__":
    winehelp.main()
