"""Every run first puts back what an interrupted earlier run set aside, under Wine with a real
registry and real files.

An interrupted run leaves its journal, the key HKLM\\SOFTWARE\\Brevane\\Setup Launcher\\{GUID}:
SetupLog, the setup log's path, written before the log went aside, and UninstallString, an
exact copy of the value, written before the value was deleted. Where it was cut decides what
else is left: the original setup log as setup.z_f, the value gone, the stash record uninst.dat
("UninstallString=" + text + zero, written in text mode), a newer setup.zmf of its engine.
The planted leftovers are followed by a normal run, whose engine records what it sees and
writes a new log: the installation is set aside again during the run and everything is back
after it. Leftovers without a journal are not acted on. The kill sweep cuts real runs short:
the launcher killed before, during and after its engine's run."""
import os
import time

import pytest

from scenario import (ANSI, J_LOG, J_VALUE, NOKEY, ORIGINAL_LOG, OWN_DIR, PF_DIR, PREFIX,
                      REG_EXPAND_SZ, REG_SZ, VALUE, Installation, by_command, new_log,
                      record_of, see_env, sz)
from winehelp import PACKAGE_WIN, RECORD, TRACE, error_box, wait_until

INTERRUPTED_LOG = b"log of the interrupted run's engine\r\n"
STALE_LOG = b"a backup log of no run\r\n"
RELEASE = "C:\\temp\\release.txt"  # the engine under test waits for it before it ends
ENGINE_DONE = "C:\\temp\\engine_done.txt"  # and then writes this
PUT_BACK_STOP = "Could not put back what an interrupted Setup set aside"
ASIDE_STOP = "Could not set the earlier installation aside"

# Only through the journal does UninstallString name the own directory again.
OWN = by_command("LaunchSetup", OWN_DIR, " /u", REG_EXPAND_SZ)
PF_CMD = by_command("launchsetup", PF_DIR, " -u")
PF = Installation(PF_DIR, sz("%ProgramFiles%\\Brevane\\unins000.exe /x", REG_EXPAND_SZ))
ALL_ASIDE = "all aside, the engine wrote a new log"


def stash_file(text_bytes):
    """uninst.dat as a run writes it: prefix, text, zero, through a text-mode stream."""
    return (PREFIX + text_bytes + b"\0").replace(b"\n", b"\r\n")


def cut_states(inst):
    """What a run cut short leaves, step by step: (journal, files, UninstallString)."""
    both = {"SetupLog": inst.journal_log, VALUE: inst.value}
    aside = {inst.z_f: ORIGINAL_LOG}
    with_record = dict(aside, **{inst.dat: record_of(inst.value)})
    with_new_log = dict(with_record, **{inst.zmf: INTERRUPTED_LOG})
    meanwhile = sz(f'C:\\x\\LaunchSetup "{inst.log_dir}\\bv_setup.exe" /meanwhile')
    return {
        "log path journalled, nothing moved": ({"SetupLog": inst.journal_log},
                                               {inst.zmf: ORIGINAL_LOG}, inst.value),
        "log aside": ({"SetupLog": inst.journal_log}, aside, inst.value),
        "value copied, not yet deleted": (both, aside, inst.value),
        "value deleted, no record yet": (both, aside, None),
        "all aside": (both, with_record, None),
        ALL_ASIDE: (both, with_new_log, None),
        "the engine wrote a new log and its own value": (both, with_new_log, meanwhile),
    }


def normal_run(earlier, inst, restored):
    """A run whose engine writes a new log. restored: the value the recovery is to put back
    (None: none). The recovered installation is set aside again and put back."""
    code, boxes, seen = earlier.run(inst.paths, **new_log(inst.zmf))
    assert (code, boxes) == (0, [])
    assert seen == ({inst.zmf: None, inst.z_f: ORIGINAL_LOG,
                     inst.dat: record_of(restored) if restored else PREFIX},
                    {VALUE: None, J_VALUE: restored, J_LOG: inst.journal_log}), \
        "set aside again during the run"
    assert earlier.state(inst.paths) == inst.intact(restored), "\n".join(earlier.pkg.trace())


@pytest.mark.parametrize("inst, cut", [(OWN, cut) for cut in cut_states(OWN)]
                         + [(PF_CMD, ALL_ASIDE), (PF, ALL_ASIDE)])
def test_a_journal_puts_back_wherever_the_run_was_cut(earlier, inst, cut):
    journal, files, present = cut_states(inst)[cut]
    earlier.plant({VALUE: present} if present else {}, files, journal)
    normal_run(earlier, inst, present or inst.value)


@pytest.mark.parametrize("inst", [OWN, PF])
def test_an_engine_that_removed_the_product_gets_no_key_back(earlier, inst):
    """The log comes back, and the record and the journal go; no product key is made."""
    journal, files, _ = cut_states(inst)[ALL_ASIDE]
    earlier.plant(None, files, journal)
    code, boxes, _ = earlier.run(inst.paths)
    assert (code, boxes) == (0, [])
    assert earlier.state(inst.paths) == inst.intact(NOKEY)


@pytest.mark.parametrize("record, restored", [
    (stash_file(PF.value[1][:-1]), PF.value[1]),  # a REG_EXPAND_SZ value comes back as REG_SZ
    (stash_file(b"C:\\x\\u.exe\n/two"), b"C:\\x\\u.exe\n/two\0"),
    (PREFIX + b"C:\\u.exe", b"C:\\u.exe\0"),  # no zero at the end
    (PREFIX + b"C:\\u.exe\0junk", b"C:\\u.exe\0"),
    (stash_file("C:\\Pr\u00fcf\\u.exe".encode(ANSI)), "C:\\Pr\u00fcf\\u.exe".encode(ANSI) + b"\0"),
    (b"Something=else\0", None),  # a record that holds no value restores nothing and goes
    (PREFIX + b"r" * 600 + b"\0", None),
    (PREFIX, None),
], ids=["REG_EXPAND_SZ", "line feed", "no zero", "bytes after the zero", "high bytes",
        "another name", "too long", "bare prefix"])
def test_a_journal_without_a_copy_takes_the_value_from_the_record(earlier, record, restored):
    earlier.plant({}, {PF.z_f: ORIGINAL_LOG, PF.dat: record, PF.zmf: INTERRUPTED_LOG},
                  {"SetupLog": PF.journal_log})
    normal_run(earlier, PF, (REG_SZ, restored) if restored else None)


@pytest.mark.parametrize("present", [PF.value, None], ids=["value", "no value"])
def test_a_stale_backup_log_without_a_journal_goes(earlier, present):
    """A backup log beside a setup log is stale and goes; a record restores nothing."""
    earlier.plant({VALUE: present} if present else {},
                  {PF.dat: stash_file(PF.value[1][:-1]), PF.zmf: ORIGINAL_LOG,
                   PF.z_f: STALE_LOG})
    normal_run(earlier, PF, present)


def test_a_backup_log_alone_is_not_found_and_stays(earlier):
    earlier.plant({}, {PF.dat: stash_file(PF.value[1][:-1]), PF.z_f: ORIGINAL_LOG})
    before = earlier.state(PF.paths)
    assert earlier.run(PF.paths)[:2] == (0, [])
    assert "Log file (setup.zmf) NOT found" in earlier.pkg.trace()
    assert earlier.state(PF.paths) == before


LEFTOVERS = {PF.z_f: ORIGINAL_LOG, PF.dat: record_of(PF.value)}
BOTH = {"SetupLog": PF.journal_log, VALUE: PF.value}
LONG_COPY = (REG_SZ, b"C:\\u.exe /" + b"x" * 600 + b"\0")


@pytest.mark.parametrize("journal, files, directory, box, stay", [
    (BOTH, LEFTOVERS, PF.zmf, PUT_BACK_STOP,
     (dict(LEFTOVERS, **{PF.zmf: None}),
      {VALUE: PF.value, J_VALUE: PF.value, J_LOG: PF.journal_log})),
    (dict(BOTH, **{VALUE: LONG_COPY}), LEFTOVERS, None, PUT_BACK_STOP,
     ({PF.zmf: ORIGINAL_LOG, PF.z_f: None, PF.dat: record_of(PF.value)},
      {VALUE: None, J_VALUE: LONG_COPY, J_LOG: PF.journal_log})),
    (None, {PF.zmf: ORIGINAL_LOG}, PF.z_f, ASIDE_STOP, PF.intact()),
], ids=["a newer log that cannot be removed", "a journal copy too long to read",
        "a stale backup log that cannot be removed"])
def test_what_cannot_be_put_back_or_set_aside_stops_the_run(earlier, journal, files, directory,
                                                            box, stay):
    """A box, exit code 1, no engine; the journal and the leftovers stay for a later run, the
    installation not set aside stays as it is. A directory in a file's place reads as absent."""
    earlier.plant({} if journal else {VALUE: PF.value}, files, journal)
    if directory:
        os.makedirs(earlier.prefix.host(directory + "\\sub"))
    assert earlier.pkg.run("LOG", wait_all=False) == (1, [error_box(box)])
    assert earlier.pkg.trace()[-1] == box + " - aborting"
    assert earlier.prefix.read(RECORD) is None, "no engine was started"
    assert earlier.state(PF.paths) == stay


@pytest.mark.parametrize("kill_at, engine_env, engine_end", [
    # seconds after the trace log appears, or the text awaited in the engine record or the
    # trace; engine variables; how the engine ends
    (0.0, {}, None),
    (0.005, {}, None),
    ("acted", {}, "killed"),
    ("acted", {}, "released"),
    ("Waiting for bv_setup.exe", {"BV_TEST_SPAWN_COPY_MS": "1"}, "released"),
], ids=["as its trace log appears", "5 ms after", "its engine running, killed too",
        "its engine running, ending on its own", "waiting for its engine's copy"])
def test_killed_runs_are_put_back_by_the_next(earlier, kill_at, engine_env, engine_end):
    """The launcher killed at a moment of its run, its engine waiting to be released: then a
    normal run finds everything and puts it back. Where the moment is known, the killed run
    has left its journal and everything aside."""
    prefix = earlier.prefix
    earlier.plant({VALUE: OWN.value}, {OWN.zmf: ORIGINAL_LOG})
    prefix.remove(RECORD, RELEASE, ENGINE_DONE, TRACE)
    launcher = prefix.start(PACKAGE_WIN + "\\launcher.exe", "LOG", BV_TEST_RECORD=RECORD,
                            BV_TEST_WAIT_FILE=RELEASE, BV_TEST_WRITE_FILE=ENGINE_DONE,
                            **new_log(OWN.zmf, INTERRUPTED_LOG), **see_env((), ()), **engine_env)
    try:
        if engine_end is None:
            wait_until(lambda: prefix.read(TRACE) is not None, "no trace log")
            time.sleep(kill_at)
        else:
            watched = RECORD if kill_at == "acted" else TRACE
            wait_until(lambda: kill_at.encode() in (prefix.read(watched) or b""),
                       f"{watched} never showed {kill_at!r}")
    finally:
        launcher.kill()  # the wine process is the Windows process: killed at once
        launcher.wait(timeout=60)
    if engine_end is None:
        # A kill inside CreateProcess leaves Wine a process that never starts, which the
        # launcher's guard sees until the server ends.
        earlier.restart_wine_server()
    elif engine_end == "killed":
        assert prefix.start("taskkill", "/f", "/im", "bv_setup.exe").wait(timeout=60) == 0
    else:
        prefix.write(RELEASE, b"")
        wait_until(lambda: prefix.read(ENGINE_DONE) is not None, "the engine never ended")
    if engine_end:
        assert earlier.state(OWN.paths) == (
            {OWN.zmf: INTERRUPTED_LOG, OWN.z_f: ORIGINAL_LOG, OWN.dat: record_of(OWN.value)},
            {VALUE: None, J_VALUE: OWN.value, J_LOG: OWN.journal_log}), "what the killed run left"
    normal_run(earlier, OWN, OWN.value)
