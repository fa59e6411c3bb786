"""Nothing of an earlier installation is lost: its setup log and its UninstallString under Wine,
a real registry and real files, whatever the engine does during its run.

Each installation is found by one of the two routes (the uninstall command's "LAUNCHSETUP" cut
in any letter case, or ProgramFilesDir); the engine writes a new setup log or none, deletes the
value, writes its own or deletes the whole key. During the run the engine records what it
sees; after it the log's bytes and the value's type and bytes are as before, and the journal
of what the run set aside is gone."""
import pytest

from scenario import (GUID, J_LOG, J_VALUE, NOKEY, ORIGINAL_LOG, OWN_DIR, PF_DIR, PREFIX,
                      REG_EXPAND_SZ, VALUE, Installation, by_command, new_log, record_of, sz)

HIGH_DIR = "C:\\Pr\u00fcf Ordner\\Info \u00e9 " + GUID  # blanks and bytes from 0x80 up
OWN_VALUE = sz('C:\\Brevane Apps\\LaunchSetup "C:\\Brevane Apps\\New\\bv_setup.exe" /engine')
LONG_HEAD = f'C:\\x\\LaunchSetup "{PF_DIR}\\bv_setup.exe" /u '  # too long for the command route

INSTALLATIONS = {
    "LaunchSetup, REG_SZ": by_command("LaunchSetup", OWN_DIR, " /u"),
    "launchsetup, REG_EXPAND_SZ": by_command("launchsetup", OWN_DIR, " -u /s", REG_EXPAND_SZ,
                                             "Bv_Setup.exe"),
    "LAUNCHSETUP, SETUP.EXE, Program Files dir": by_command("LAUNCHSETUP", PF_DIR, "",
                                                            program="SETUP.EXE"),
    "lAuNcHsEtUp, blanks and high bytes": by_command("lAuNcHsEtUp", HIGH_DIR, " /u",
                                                     REG_EXPAND_SZ),
    "Program Files, other command": Installation(
        PF_DIR, sz('"C:\\Program Files\\Brevane\\unins000.exe" /x')),
    "Program Files, REG_EXPAND_SZ with a reference": Installation(
        PF_DIR, sz("%ProgramFiles%\\Brevane\\uninstall.exe /x", REG_EXPAND_SZ)),
}
EDGE_INSTALLATIONS = {
    "value with a line feed": Installation(PF_DIR, sz("C:\\x\\uninstall.exe\n/second line")),
    "value of 284 bytes, the most the stash takes": Installation(
        PF_DIR, sz(LONG_HEAD.ljust(283, "a"))),
    "value of 285 bytes, left in place": Installation(PF_DIR, sz(LONG_HEAD.ljust(284, "b"))),
    "key without UninstallString": Installation(PF_DIR, None),
}
NO_KEY = Installation(PF_DIR, None, has_key=False)
ACTIONS = ("writes a new log", "writes no log", "deletes the value", "writes its own value",
           "deletes the whole key")


def actions(inst):
    """What the engine does during its run, by name, as engine variables."""
    log = new_log(inst.zmf)
    return {
        "writes a new log": log,
        "writes no log": {},
        "deletes the value": dict(log, BV_TEST_DELETE_VALUES=VALUE),
        "writes its own value": dict(log, BV_TEST_SET_VALUES=(
            f"{VALUE}|{OWN_VALUE[0]}|{OWN_VALUE[1].hex()}")),
        "deletes the whole key": dict(log, BV_TEST_DELETE_KEY="1"),
    }


def check(earlier, inst, action):
    """The installation set aside during the run and whole after it, whatever the engine
    did. Also used by the WoW64 tests."""
    earlier.install(inst)
    code, boxes, (seen_files, seen_values) = earlier.run(inst.paths, **actions(inst)[action])
    assert (code, boxes) == (0, [])
    lines = earlier.pkg.trace()
    assert "Log file (setup.zmf) found at:" + inst.found_as + "\\setup.zmf" in lines

    # During the run: the log aside and its path journalled, the value away and its copy
    # journalled, the stash record written (the bare prefix when nothing was taken).
    assert seen_files == {inst.zmf: None, inst.z_f: ORIGINAL_LOG,
                          inst.dat: record_of(inst.value) if inst.taken else
                          PREFIX if inst.has_key else None}
    during = {J_LOG: inst.journal_log, VALUE: None, J_VALUE: inst.value}
    if not inst.taken:
        during.update({VALUE: inst.value or inst.no_value, J_VALUE: None})
    assert seen_values == during

    # After it: the log's bytes and the value's type and bytes as before, unless the engine
    # made its own.
    after = {"deletes the whole key": NOKEY, "writes its own value": OWN_VALUE}.get(action, ...)
    if action == "deletes the value" and not inst.taken:
        after = inst.no_value
    assert earlier.state(inst.paths) == inst.intact(after), "\n".join(lines)


def grid(installations, names=ACTIONS):
    return [pytest.param(inst, action, id=f"{key}, {action}")
            for key, inst in installations.items() for action in names]


@pytest.mark.parametrize("inst, action", grid(INSTALLATIONS)
                         + grid(EDGE_INSTALLATIONS, ("writes a new log", "writes its own value"))
                         + grid({"no product key": NO_KEY}, ("writes a new log", "writes no log",
                                                             "deletes the whole key")))
def test_installation_comes_through(earlier, inst, action):
    check(earlier, inst, action)
