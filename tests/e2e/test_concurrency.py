"""Two launchers at once under Wine: the run lock lets one run and refuses the other with a
box, exit code 1 and no trace line, and the earlier installation comes through whole.

The engine writes a new setup log and then waits to be released; the test releases it only
once the refused launcher has ended, so that the two runs overlap whatever the timing. On
NT 4 with psapi.dll disabled the launcher's engine guard sees no process at all: there the
run lock alone keeps the second launcher out."""
import tempfile
import time

import pytest

from scenario import GUID, PF_DIR, REG_EXPAND_SZ, by_command, new_log
from winehelp import GUARD_TEXT, PACKAGE_WIN, RECORD, boxes, error_box, wait_until

INST = by_command("LaunchSetup", PF_DIR, " /u", REG_EXPAND_SZ)
RELEASE = "C:\\temp\\release.txt"
NO_PSAPI = {"WINEDLLOVERRIDES": "mscoree,mshtml=;psapi=d"}


@pytest.fixture
def installed(earlier):
    earlier.install(INST)
    return earlier


def start(earlier, **extra_env):
    """A traced launcher whose engine writes a new log and waits to be released; its relay
    trace goes to a file of its own. Returns a function that waits for its outcome."""
    relay = tempfile.TemporaryFile("w+", errors="replace")
    launcher = earlier.prefix.start(
        PACKAGE_WIN + "\\launcher.exe", "LOG", stderr=relay, WINEDEBUG="+relay",
        BV_TEST_RECORD=RECORD, BV_TEST_WAIT_FILE=RELEASE, **new_log(INST.zmf), **extra_env)

    def outcome():
        launcher.wait(timeout=120)
        relay.seek(0)
        return launcher.returncode, boxes(relay.read())
    return launcher, outcome


def check_one_run_and_intact(earlier):
    """One engine ran, the running launcher's trace is whole, the installation intact."""
    assert earlier.prefix.read(RECORD).count(b"cmdline=") == 1, "engines started"
    lines = earlier.pkg.trace()
    assert (lines[0], lines[-1]) == ("Begin: WinMain().", "End: WinMain().")
    assert lines.count("Begin: WinMain().") == 1
    assert "GUID=" + GUID in lines
    assert earlier.state(INST.paths) == INST.intact()


@pytest.mark.parametrize("offset", [0, 0.03, 0.15])
def test_launchers_started_together(installed, offset):
    runs = [start(installed)]
    time.sleep(offset)
    runs.append(start(installed))
    wait_until(lambda: any(r.poll() is not None for r, _ in runs), "neither launcher ended")
    installed.prefix.write(RELEASE, b"")
    assert sorted(outcome() for _, outcome in runs) == [(0, []), (1, [error_box(GUARD_TEXT)])]
    check_one_run_and_intact(installed)


@pytest.fixture
def nt40(pkg):
    version = pkg.prefix.wine("winecfg", "-v").stdout.strip()
    pkg.prefix.wine("winecfg", "-v", "nt40")
    yield pkg
    pkg.prefix.wine("winecfg", "-v", version)


def test_nt4_without_psapi_the_run_lock_alone_refuses(nt40, installed):
    # The engine guard is blind here: a launcher started beside an engine runs.
    engine = nt40.start_engine("C:\\temp\\bare_engine.txt", BV_TEST_WAIT_FILE=RELEASE)
    code_boxes = nt40.run(wait_all=False, **NO_PSAPI)
    nt40.prefix.write(RELEASE, b"")
    engine.wait(timeout=60)
    assert code_boxes == (0, []), "the guard saw the engine"

    nt40.prefix.remove(RELEASE, RECORD)
    installed.install(INST)
    first, outcome = start(installed, **NO_PSAPI)
    wait_until(lambda: b"acted" in (nt40.prefix.read(RECORD) or b""),
               "the first launcher's engine never ran")
    second = nt40.run("LOG", wait_all=False, **NO_PSAPI)
    nt40.prefix.write(RELEASE, b"")
    assert [outcome(), second] == [(0, []), (1, [error_box(GUARD_TEXT)])]
    check_one_run_and_intact(installed)
