"""The real launcher.exe under Wine: a real registry, real processes, real files."""
import pytest

from scenario import PF_DIR, REG_EXPAND_SZ, by_command
from winehelp import GUARD_TEXT, PACKAGE_WIN, TRACE, error_box


def test_traced_run_without_installation(pkg):
    assert pkg.run("LOG") == (0, [])
    lines = pkg.trace()
    assert (lines[0], lines[-1]) == ("Begin: WinMain().", "End: WinMain().")
    for line in ("Launcher path=C:\\Setup Package\\launcher.exe", "GUID={E2E-GUID}",
                 "Log file (setup.zmf) NOT found", "Command line args:  SAS LOG",
                 "Launch of BV setup: return from LaunchApp(): 1"):
        assert line in lines


@pytest.mark.parametrize("args, command, traced", [
    ((), "SAS ", False),
    (("/a", "b c"), 'SAS /a "b c"', False),
    (('say "x"', "log"), 'SAS "say \\"x\\"" log', False),  # lower-case log does not trace
    (("CATALOG",), "SAS CATALOG", True),  # LOG inside a word does
])
def test_engine_command_line(pkg, args, command, traced):
    assert pkg.run(*args) == (0, [])
    record = pkg.engine_record()
    assert record[0] == "cmdline=C:\\Setup Package\\bv_setup.exe " + command
    assert "show=0" in record, "the engine is started hidden"
    assert (pkg.prefix.read(TRACE) is not None) == traced


def test_engine_result_is_only_traced(pkg):
    assert pkg.run("LOG", BV_TEST_EXIT_CODE="3") == (0, [])
    assert "Launch of BV setup: return from LaunchApp(): 0" in pkg.trace()


def test_engine_missing_shows_a_box_and_goes_on(pkg):
    pkg.prefix.remove(PACKAGE_WIN + "\\bv_setup.exe")
    assert pkg.run("LOG") == (0, [error_box("Could not run BV_SETUP.EXE")])
    assert "Launch of BV setup: return from LaunchApp(): -1" in pkg.trace()


@pytest.mark.parametrize("tag, text", [
    ("[TagInfo]\r\nOther=1\r\n", "Error reading GUID from DATA.TAG"),
    (None, "Cannot find DATA.TAG"),
])
def test_data_tag_stops(pkg, tag, text):
    if tag is None:
        pkg.prefix.remove(PACKAGE_WIN + "\\data.tag")
    else:
        pkg.write_tag(tag)
    assert pkg.run("LOG") == (1, [error_box(text)])
    assert pkg.trace()[-1] == text + " - aborting"


def test_wait_covers_the_engines_copy(pkg):
    code, _ = pkg.run("LOG", wait_all=False, BV_TEST_SPAWN_COPY_MS="1500",
                      BV_TEST_WRITE_FILE="C:\\temp\\copy_done.txt")
    assert pkg.prefix.read("C:\\temp\\copy_done.txt") is not None, \
        "the copy had ended when the launcher returned"
    pkg.prefix.wait_idle()
    assert code == 0
    waits = [l for l in pkg.trace() if l.startswith("Waiting for bv_setup.exe")]
    assert len(waits) > 5, "the launcher polled while the copy lived"


def test_guard_refuses_while_an_engine_runs(pkg):
    first = pkg.start_engine(BV_TEST_SLEEP_MS="6000")
    assert pkg.run("LOG", wait_all=False) == (1, [error_box(GUARD_TEXT)])
    assert first.poll() is None, "the running engine is undisturbed"
    assert pkg.trace() == ["Begin: WinMain()."]
    assert first.wait(timeout=60) == 0


def test_earlier_installation_survives(earlier):
    inst = by_command("LaunchSetup", PF_DIR, " /u", REG_EXPAND_SZ)
    earlier.install(inst)
    code, boxes, _ = earlier.run()
    assert (code, boxes) == (0, [])
    assert earlier.state(inst.paths) == inst.intact()
