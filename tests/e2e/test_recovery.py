"""Every run first puts back what an interrupted earlier run left, under Wine with a real
registry and real files.

An interrupted run leaves the journal copy LauncherSavedUninstallString (type and bytes of the
original value), no UninstallString, the original setup log as setup.z_f, the stash record
uninst.dat ("UninstallString=" + text + zero, written in text mode) and perhaps a newer
setup.zmf of its engine. The planted leftovers are followed by a normal run, whose engine
records what it sees and writes a new log: the installation is set aside again during the run
and everything is back after it. One test interrupts a real run by killing the launcher."""
import os
import subprocess
import time

import winehelp
from scenario import (ANSI, ENGINE_LOG, GUID, JOURNAL, ORIGINAL_LOG, PF_DIR, PREFIX,
                      RECORD, REG_EXPAND_SZ, REG_SZ, VALUE, ScenarioRun, env_text, host,
                      log_files, record_of, see_env, sz, text_mode)
from winehelp import PACKAGE_WIN, wine_env


def setUpModule():
    winehelp.make_prefix()


def tearDownModule():
    winehelp.drop_prefix()


OWN_DIR = "C:\\Brevane Apps\\Info\\" + GUID
INTERRUPTED_LOG = b"log of the interrupted run's engine\r\n"


class Installation:
    def __init__(self, log_dir, value):
        self.log_dir = log_dir
        self.value = value
        self.files = log_files(log_dir)
        self.paths = (self.files["zmf"], self.files["z_f"], self.files["dat"])


INSTALLATIONS = {
    # Only through the journal does UninstallString name this directory again.
    "uninstall command route, own directory": Installation(OWN_DIR, sz(
        f'C:\\Brevane Apps\\LaunchSetup "{OWN_DIR}\\bv_setup.exe" /u', REG_EXPAND_SZ)),
    "uninstall command route, Program Files directory": Installation(PF_DIR, sz(
        f'C:\\x\\launchsetup "{PF_DIR}\\Bv_Setup.exe" -u')),
    "Program Files route": Installation(PF_DIR, sz(
        "%ProgramFiles%\\Brevane\\unins000.exe /x", REG_EXPAND_SZ)),
}
OWN, PF_CMD, PF = (INSTALLATIONS[k] for k in INSTALLATIONS)


def stash_file(text_bytes):
    """uninst.dat as a run writes it: prefix, text, zero, through a text-mode stream."""
    return text_mode(PREFIX + text_bytes + b"\0")


class RecoveryRun(ScenarioRun):
    def leftovers(self, inst, journal=True, new_log=False, record=None, present=None):
        """Plants what an interrupted run leaves: the backup log, the stash record (the
        value's by default), the journal, a value written meanwhile, a newer log."""
        files = {inst.files["z_f"]: ORIGINAL_LOG,
                 inst.files["dat"]: record if record is not None else
                 stash_file(inst.value[1].split(b"\0")[0])}
        if new_log:
            files[inst.files["zmf"]] = INTERRUPTED_LOG
        values = {}
        if journal:
            values[JOURNAL] = inst.value
        if present is not None:
            values[VALUE] = present
        self.plant(values, files)

    def normal_run(self, inst, restored):
        """A run whose engine writes a new log. restored: the value the recovery is to put
        back (None: none). Checks that the run set the recovered installation aside again and
        put it back; returns the trace."""
        code, boxes, (seen_files, seen_values) = self.run_scenario(
            inst.paths, BV_TEST_NEW_FILE=env_text(inst.files["zmf"]),
            BV_TEST_NEW_FILE_HEX=ENGINE_LOG.hex())
        trace = self.trace_text()
        self.assertEqual((0, []), (code, boxes), trace)
        self.assertEqual({inst.files["zmf"]: None, inst.files["z_f"]: ORIGINAL_LOG,
                          inst.files["dat"]: record_of(restored) if restored else PREFIX},
                         seen_files, "set aside again during the run\n" + trace)
        self.assertEqual({VALUE: None, JOURNAL: restored}, seen_values,
                         "taken away during the run\n" + trace)
        self.assertEqual(({inst.files["zmf"]: ORIGINAL_LOG, inst.files["z_f"]: None,
                           inst.files["dat"]: None}, {VALUE: restored, JOURNAL: None}),
                         self.state(inst.paths), "after the run\n" + trace)
        return trace

    def test_journal_and_backup_come_back_on_both_routes(self):
        for name, inst in INSTALLATIONS.items():
            for new_log in (False, True):
                with self.subTest(installation=name, newer_log=new_log):
                    self.reset()
                    self.leftovers(inst, new_log=new_log)
                    trace = self.normal_run(inst, inst.value)
                    self.assertIn("Recover UninstallString: return from ReqSetValueEx(): 0",
                                  self.trace(), trace)

    def test_value_written_meanwhile_is_kept(self):
        for inst in (OWN, PF):
            with self.subTest(installation=inst.log_dir):
                self.reset()
                meanwhile = sz(f'C:\\Brevane Apps\\LaunchSetup "{inst.log_dir}\\bv_setup.exe"'
                               " /meanwhile")
                self.leftovers(inst, new_log=True, present=meanwhile)
                trace = self.normal_run(inst, meanwhile)
                self.assertIn("UninstallString present: left as it is", self.trace(), trace)

    def test_cut_before_the_value_went(self):
        """The log aside and the stash record opened but empty; the value still in place, with
        its journal already written or not yet."""
        for inst in (OWN, PF_CMD):
            for journal in (True, False):
                with self.subTest(installation=inst.log_dir, journal=journal):
                    self.reset()
                    self.leftovers(inst, journal=journal, record=b"", present=inst.value)
                    self.normal_run(inst, inst.value)

    def test_stash_record_alone_restores_reg_sz(self):
        """No journal: the record's text comes back as REG_SZ with a terminator (Program Files
        route, where the record is found without the value)."""
        cases = {
            "REG_EXPAND_SZ value": (stash_file(PF.value[1][:-1]), PF.value[1]),
            "text with a line feed": (stash_file(b"C:\\x\\u.exe\n/two"), b"C:\\x\\u.exe\n/two\0"),
            "no zero at the end": (PREFIX + b"C:\\u.exe", b"C:\\u.exe\0"),
            "bytes after the zero": (PREFIX + b"C:\\u.exe\0junk", b"C:\\u.exe\0"),
            "high bytes": (stash_file("C:\\Pr\u00fcf\\u.exe".encode(ANSI)),
                           "C:\\Pr\u00fcf\\u.exe".encode(ANSI) + b"\0"),
        }
        for name, (record, restored) in cases.items():
            with self.subTest(record=name):
                self.reset()
                self.leftovers(PF, journal=False, new_log=True, record=record)
                self.normal_run(PF, (REG_SZ, restored))

    def test_odd_or_oversized_record_restores_nothing_and_goes(self):
        for record in (b"Something=else\0", PREFIX + b"r" * 600 + b"\0", PREFIX,
                       b"uninstallstring=C:\\u.exe\0"):
            with self.subTest(record=record[:24]):
                self.reset()
                self.leftovers(PF, journal=False, new_log=True, record=record)
                self.normal_run(PF, None)

    def test_record_alone_in_a_directory_only_the_value_named(self):
        """Without journal and value nothing names the uninstall command's own directory: the
        leftovers there are not found, and are left exactly as they are for recovery by
        hand."""
        self.leftovers(OWN, journal=False, new_log=True)
        before = self.state(OWN.paths)
        code, boxes, _ = self.run_scenario(OWN.paths)
        self.assertEqual((0, []), (code, boxes))
        self.assertIn("Log file (setup.zmf) NOT found", self.trace())
        self.assertEqual(before, self.state(OWN.paths), self.trace_text())

    def test_killed_run_leaves_its_journal_and_the_next_run_puts_all_back(self):
        for inst in (OWN, PF):
            with self.subTest(installation=inst.log_dir):
                self.reset()
                self.plant({VALUE: inst.value}, {inst.files["zmf"]: ORIGINAL_LOG})
                self.kill_mid_run(inst)
                self.assertEqual(({inst.files["zmf"]: INTERRUPTED_LOG,
                                   inst.files["z_f"]: ORIGINAL_LOG,
                                   inst.files["dat"]: record_of(inst.value)},
                                  {VALUE: None, JOURNAL: inst.value}),
                                 self.state(inst.paths), "what the killed run left")
                self.normal_run(inst, inst.value)
                # And a completed run after that leaves no journal either.
                self.normal_run(inst, inst.value)

    def kill_mid_run(self, inst):
        """Starts the launcher with an engine that writes a newer log and sleeps, then kills
        the launcher and the engine with taskkill /f."""
        if os.path.exists(host(RECORD)):
            os.remove(host(RECORD))
        env = dict(wine_env(), BV_TEST_RECORD=RECORD, BV_TEST_SLEEP_MS="60000",
                   BV_TEST_NEW_FILE=env_text(inst.files["zmf"]),
                   BV_TEST_NEW_FILE_HEX=INTERRUPTED_LOG.hex(), **see_env(()))
        launcher = subprocess.Popen(["wine", PACKAGE_WIN + "\\launcher.exe", "LOG"], env=env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                if os.path.exists(host(RECORD)):
                    with open(host(RECORD), "rb") as f:
                        if b"acted" in f.read():
                            break
                time.sleep(0.05)
            else:
                self.fail("the engine never got to its sleep")
            for image in ("launcher.exe", "bv_setup.exe"):
                result = subprocess.run(["wine", "taskkill", "/f", "/im", image], env=wine_env(),
                                        stdin=subprocess.DEVNULL, capture_output=True,
                                        timeout=60)
                self.assertEqual(0, result.returncode, result.stderr[-300:])
            launcher.wait(timeout=60)
        finally:
            if launcher.poll() is None:
                launcher.kill()
                launcher.wait(timeout=60)
        # No engine left: the next run's guard would refuse.
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            tasks = subprocess.run(["wine", "tasklist"], env=wine_env(), capture_output=True,
                                   stdin=subprocess.DEVNULL, timeout=60).stdout
            if b"bv_setup.exe" not in tasks.lower():
                break
            time.sleep(0.1)


if __name__ == "__main__":
    winehelp.main()
