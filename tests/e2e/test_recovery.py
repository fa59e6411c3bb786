"""Every run first puts back what an interrupted earlier run set aside, under Wine with a real
registry and real files.

An interrupted run leaves its journal, the key HKLM\\SOFTWARE\\Brevane\\Setup Launcher\\{GUID}:
SetupLog, the setup log's path, written before the log went aside, and UninstallString, an
exact copy of the value, written before the value was deleted. Where it was cut decides what
else is left: the original setup log as setup.z_f, the value gone, the stash record uninst.dat
("UninstallString=" + text + zero, written in text mode), a newer setup.zmf of its engine.
The planted leftovers are followed by a normal run, whose engine records what it sees and
writes a new log: the installation is set aside again during the run and everything is back
after it. Leftovers without a journal are not acted on. The last test cuts real runs short:
the launcher killed before, during and after its engine's run."""
import os
import subprocess
import time

import winehelp
from scenario import (ANSI, ENGINE_LOG, GUID, J_LOG, J_VALUE, NOKEY, ORIGINAL_LOG, PF_DIR,
                      PREFIX, RECORD, REG_EXPAND_SZ, REG_SZ, VALUE, ScenarioRun, env_text,
                      host, log_files, read, record_of, see_env, sz, text_mode,
                      upper_ascii)
from winehelp import PACKAGE_WIN, wine_env


def setUpModule():
    winehelp.make_prefix()


def tearDownModule():
    winehelp.drop_prefix()


OWN_DIR = "C:\\Brevane Apps\\Info\\" + GUID
INTERRUPTED_LOG = b"log of the interrupted run's engine\r\n"
STALE_LOG = b"a backup log of no run\r\n"
RELEASE = "C:\\temp\\release.txt"  # the engine under test waits for it before it ends
ENGINE_DONE = "C:\\temp\\engine_done.txt"  # and then writes this
TRACE = "C:\\temp\\launcher.log"
PUT_BACK_STOP = "Could not put back what an interrupted Setup set aside"
ASIDE_STOP = "Could not set the earlier installation aside"


class Installation:
    def __init__(self, log_dir, value, found_as=None):
        self.log_dir = log_dir
        self.value = value
        self.files = log_files(log_dir)
        self.paths = (self.files["zmf"], self.files["z_f"], self.files["dat"])
        # The journal's SetupLog: the log's path as the launcher spelled it.
        self.journal_log = sz((found_as or log_dir) + "\\setup.zmf")


def by_command(keyword, log_dir, tail, type_):
    return Installation(log_dir, sz(f'C:\\x\\{keyword} "{log_dir}\\bv_setup.exe"{tail}', type_),
                        upper_ascii(log_dir))


# Only through the journal does UninstallString name the own directory again.
OWN = by_command("LaunchSetup", OWN_DIR, " /u", REG_EXPAND_SZ)
PF_CMD = by_command("launchsetup", PF_DIR, " -u", REG_SZ)
PF = Installation(PF_DIR, sz("%ProgramFiles%\\Brevane\\unins000.exe /x", REG_EXPAND_SZ))


def stash_file(text_bytes):
    """uninst.dat as a run writes it: prefix, text, zero, through a text-mode stream."""
    return text_mode(PREFIX + text_bytes + b"\0")


def cut_states(inst):
    """What a run cut short leaves, step by step: (journal, files, UninstallString)."""
    both = {"SetupLog": inst.journal_log, VALUE: inst.value}
    aside = {inst.files["z_f"]: ORIGINAL_LOG}
    with_record = dict(aside, **{inst.files["dat"]: record_of(inst.value)})
    with_new_log = dict(with_record, **{inst.files["zmf"]: INTERRUPTED_LOG})
    meanwhile = sz(f'C:\\x\\LaunchSetup "{inst.log_dir}\\bv_setup.exe" /meanwhile')
    return {
        "log path journalled, nothing moved": ({"SetupLog": inst.journal_log},
                                               {inst.files["zmf"]: ORIGINAL_LOG}, inst.value),
        "log aside": ({"SetupLog": inst.journal_log}, aside, inst.value),
        "value copied, not yet deleted": (both, aside, inst.value),
        "value deleted, no record yet": (both, aside, None),
        "all aside": (both, with_record, None),
        "all aside, the engine wrote a new log": (both, with_new_log, None),
        "the engine wrote a new log and its own value": (both, with_new_log, meanwhile),
    }


class RecoveryRun(ScenarioRun):
    def normal_run(self, inst, restored):
        """A run whose engine writes a new log. restored: the value the recovery is to put
        back (None: none). Checks that the run set the recovered installation aside again and
        put it back."""
        code, boxes, (seen_files, seen_values) = self.run_scenario(
            inst.paths, BV_TEST_NEW_FILE=env_text(inst.files["zmf"]),
            BV_TEST_NEW_FILE_HEX=ENGINE_LOG.hex())
        trace = self.trace_text()
        self.assertEqual((0, []), (code, boxes), trace)
        self.assertEqual({inst.files["zmf"]: None, inst.files["z_f"]: ORIGINAL_LOG,
                          inst.files["dat"]: record_of(restored) if restored else PREFIX},
                         seen_files, "set aside again during the run\n" + trace)
        self.assertEqual({VALUE: None, J_VALUE: restored, J_LOG: inst.journal_log},
                         seen_values, "taken away during the run\n" + trace)
        self.assert_intact(inst.log_dir, restored, "after the run\n" + trace)

    def test_a_journal_puts_back_wherever_the_run_was_cut(self):
        cases = [(OWN, state) for state in cut_states(OWN)]
        cases += [(inst, "all aside, the engine wrote a new log") for inst in (PF_CMD, PF)]
        for inst, state in cases:
            with self.subTest(installation=inst.log_dir, cut=state):
                self.reset()
                journal, files, present = cut_states(inst)[state]
                self.plant({VALUE: present} if present else {}, files, journal)
                self.normal_run(inst, present or inst.value)

    def test_an_engine_that_removed_the_product_gets_no_key_back(self):
        """The log comes back, and the record and the journal go; no product key is made."""
        for inst in (OWN, PF):
            with self.subTest(installation=inst.log_dir):
                self.reset()
                journal, files, _ = cut_states(inst)["all aside, the engine wrote a new log"]
                self.plant(None, files, journal)
                code, boxes, _ = self.run_scenario(inst.paths)
                self.assertEqual((0, []), (code, boxes), self.trace_text())
                self.assert_intact(inst.log_dir, NOKEY, self.trace_text())

    def test_a_journal_without_a_copy_takes_the_value_from_the_record(self):
        """The record's text comes back as REG_SZ with a terminator; a record that holds no
        value restores nothing and goes."""
        cases = {
            "REG_EXPAND_SZ value": (stash_file(PF.value[1][:-1]), PF.value[1]),
            "text with a line feed": (stash_file(b"C:\\x\\u.exe\n/two"), b"C:\\x\\u.exe\n/two\0"),
            "no zero at the end": (PREFIX + b"C:\\u.exe", b"C:\\u.exe\0"),
            "bytes after the zero": (PREFIX + b"C:\\u.exe\0junk", b"C:\\u.exe\0"),
            "high bytes": (stash_file("C:\\Pr\u00fcf\\u.exe".encode(ANSI)),
                           "C:\\Pr\u00fcf\\u.exe".encode(ANSI) + b"\0"),
            "another name": (b"Something=else\0", None),
            "a text too long": (PREFIX + b"r" * 600 + b"\0", None),
            "the bare prefix": (PREFIX, None),
        }
        for name, (record, restored) in cases.items():
            with self.subTest(record=name):
                self.reset()
                self.plant({}, {PF.files["z_f"]: ORIGINAL_LOG, PF.files["dat"]: record,
                                PF.files["zmf"]: INTERRUPTED_LOG},
                           {"SetupLog": PF.journal_log})
                self.normal_run(PF, (REG_SZ, restored) if restored else None)

    def test_leftovers_without_a_journal_are_not_acted_on(self):
        """A backup log beside a setup log is stale and goes, the setup log stays; a record
        restores nothing; a backup log with no setup log is not found and stays as it is."""
        record = {PF.files["dat"]: stash_file(PF.value[1][:-1])}
        stale = dict(record, **{PF.files["zmf"]: ORIGINAL_LOG, PF.files["z_f"]: STALE_LOG})
        for present in (PF.value, None):
            with self.subTest(stale_backup_log=True, value=present is not None):
                self.reset()
                self.plant({VALUE: present} if present else {}, stale)
                self.normal_run(PF, present)
        with self.subTest(stale_backup_log=False):
            self.reset()
            self.plant({}, dict(record, **{PF.files["z_f"]: ORIGINAL_LOG}))
            before = self.state(PF.paths)
            code, boxes, _ = self.run_scenario(PF.paths)
            self.assertEqual((0, []), (code, boxes))
            self.assertIn("Log file (setup.zmf) NOT found", self.trace())
            self.assertEqual(before, self.state(PF.paths), self.trace_text())

    def test_what_cannot_be_put_back_or_set_aside_stops_the_run(self):
        """A box, exit code 1, no engine; the journal and the leftovers stay for a later run,
        the installation not set aside stays as it is."""
        both = {"SetupLog": PF.journal_log, VALUE: PF.value}
        leftovers = {PF.files["z_f"]: ORIGINAL_LOG, PF.files["dat"]: record_of(PF.value)}
        long_copy = (REG_SZ, b"C:\\u.exe /" + b"x" * 600 + b"\0")
        cases = {
            # name: (journal, files, a directory in a file's place (it reads as absent), box,
            # the files and values after the run)
            "a newer log that cannot be removed": (
                both, leftovers, PF.files["zmf"], PUT_BACK_STOP,
                dict(leftovers, **{PF.files["zmf"]: None}),
                {VALUE: PF.value, J_VALUE: PF.value, J_LOG: PF.journal_log}),
            "a journal copy too long to read": (
                dict(both, **{VALUE: long_copy}), leftovers, None, PUT_BACK_STOP,
                {PF.files["zmf"]: ORIGINAL_LOG, PF.files["z_f"]: None,
                 PF.files["dat"]: record_of(PF.value)},
                {VALUE: None, J_VALUE: long_copy, J_LOG: PF.journal_log}),
            "a stale backup log that cannot be removed": (
                None, {PF.files["zmf"]: ORIGINAL_LOG}, PF.files["z_f"], ASIDE_STOP,
                {PF.files["zmf"]: ORIGINAL_LOG, PF.files["z_f"]: None, PF.files["dat"]: None},
                {VALUE: PF.value, J_VALUE: NOKEY, J_LOG: NOKEY}),
        }
        for name, (journal, files, directory, box, stay_files, stay_values) in cases.items():
            with self.subTest(name):
                self.reset()
                self.plant({} if journal else {VALUE: PF.value}, files, journal)
                if directory:
                    os.makedirs(host(directory + "\\sub"))
                code, boxes = self.run_launcher("LOG", wait_all=False)
                trace = self.trace_text()
                self.assertEqual((1, [("Launcher Error", box, 0x10, "00000000")]),
                                 (code, boxes), trace)
                self.assertEqual(box + " - aborting", self.trace()[-1])
                self.assertFalse(os.path.exists(host(RECORD)), "no engine was started")
                self.assertEqual((stay_files, stay_values), self.state(PF.paths), trace)

    def test_killed_runs_are_put_back_by_the_next(self):
        """The launcher killed at a few moments of its run, its engine waiting to be released:
        then a normal run finds everything and puts it back. Where the moment is known, the
        killed run has left its journal and everything aside."""
        moments = {
            # name: (seconds after the trace log appears, or the text awaited in the engine
            # record or the trace; engine variables; how the engine ends)
            "as its trace log appears": (0.0, {}, None),
            "5 ms after its trace log appeared": (0.005, {}, None),
            "its engine running, then killed too": ("acted", {}, "killed"),
            "its engine running, then ending on its own": ("acted", {}, "released"),
            "waiting for its engine's copy, which then ends": (
                "Waiting for bv_setup.exe", {"BV_TEST_SPAWN_COPY_MS": "1"}, "released"),
        }
        for name, (kill_at, engine_env, engine_end) in moments.items():
            with self.subTest(killed=name):
                self.reset()
                self.plant({VALUE: OWN.value}, {OWN.files["zmf"]: ORIGINAL_LOG})
                self.kill_during_run(kill_at, engine_env, engine_end)
                if engine_end:
                    self.assertEqual(({OWN.files["zmf"]: INTERRUPTED_LOG,
                                       OWN.files["z_f"]: ORIGINAL_LOG,
                                       OWN.files["dat"]: record_of(OWN.value)},
                                      {VALUE: None, J_VALUE: OWN.value, J_LOG: OWN.journal_log}),
                                     self.state(OWN.paths), "what the killed run left")
                self.normal_run(OWN, OWN.value)

    def kill_during_run(self, kill_at, engine_env, engine_end):
        """Starts the traced launcher with an engine that writes a newer log and waits for its
        release, and kills the launcher at the given moment. Then the engine is killed too,
        released and awaited, or, at a moment not known exactly, the prefix's server is
        restarted."""
        for path in (RECORD, RELEASE, ENGINE_DONE, TRACE):
            if os.path.exists(host(path)):
                os.remove(host(path))
        env = dict(wine_env(), BV_TEST_RECORD=RECORD, BV_TEST_WAIT_FILE=RELEASE,
                   BV_TEST_WRITE_FILE=ENGINE_DONE, BV_TEST_NEW_FILE=env_text(OWN.files["zmf"]),
                   BV_TEST_NEW_FILE_HEX=INTERRUPTED_LOG.hex(), **see_env((), ()), **engine_env)
        launcher = subprocess.Popen(["wine", PACKAGE_WIN + "\\launcher.exe", "LOG"], env=env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        try:
            if engine_end is None:
                self.wait_until(lambda: os.path.exists(host(TRACE)), "no trace log")
                time.sleep(kill_at)
            else:
                watched = RECORD if kill_at == "acted" else TRACE
                self.wait_until(lambda: kill_at.encode() in read(watched),
                                f"{watched} never showed {kill_at!r}")
        finally:
            launcher.kill()  # the wine process is the Windows process: killed at once
            launcher.wait(timeout=60)
        if engine_end is None:
            # A kill inside CreateProcess leaves Wine a process that never starts, which the
            # launcher's guard sees until the server ends.
            self.restart_wine_server()
        elif engine_end == "killed":
            result = subprocess.run(["wine", "taskkill", "/f", "/im", "bv_setup.exe"],
                                    env=wine_env(), stdin=subprocess.DEVNULL,
                                    capture_output=True, timeout=60)
            self.assertEqual(0, result.returncode, result.stdout[-300:])
        else:
            with open(host(RELEASE), "w"):
                pass
            self.wait_until(lambda: os.path.exists(host(ENGINE_DONE)), "the engine never ended")


if __name__ == "__main__":
    winehelp.main()
