"""Unattended runs: a deployment tool starts the launcher as SYSTEM in a session that nobody
sees, on a window station without WSF_VISIBLE. A box there would never be answered; the launcher
shows none (no MessageBoxA call in the relay trace), goes on as after OK and traces the text.

Under Wine a process started with STARTUPINFO.lpDesktop naming a window station that does not
exist gets that station, made without WSF_VISIBLE, as a service's is. The test engine, copied
under another image name, is the starter."""
import pytest

from winehelp import GUARD_TEXT, PACKAGE_WIN

STARTER = "C:\\tools\\starter.exe"
NOT_SHOWN = "Box not shown, no interactive window station: "


@pytest.mark.parametrize("text, arrange, exit_code, next_line", [
    (GUARD_TEXT, "engine running", 1, None),
    ("Cannot find DATA.TAG", "data.tag", 1, "Cannot find DATA.TAG - aborting"),
    ("Could not run BV_SETUP.EXE", "bv_setup.exe", 0,
     "Waiting for bv_setup.exe to terminate: 5 seconds elapsed"),
])
def test_no_box_the_same_course_and_the_text_traced(pkg, text, arrange, exit_code, next_line):
    running = None
    if arrange == "engine running":
        running = pkg.start_engine(BV_TEST_SLEEP_MS="6000")
    else:
        pkg.prefix.remove(PACKAGE_WIN + "\\" + arrange)
    pkg.prefix.write(STARTER, open(pkg.engine, "rb").read())
    result = pkg.run(exe=STARTER, wait_all=running is None,
                     BV_TEST_START_ON_DESKTOP="Unattended\\Default",
                     BV_TEST_START_COMMAND=f'"{PACKAGE_WIN}\\launcher.exe" LOG')
    assert result == (exit_code, [])
    lines = pkg.trace()
    at = lines.index(NOT_SHOWN + text)
    assert (lines[at + 1] if at + 1 < len(lines) else None) == next_line
    if exit_code == 0:
        assert lines[-1] == "End: WinMain()."
    if running is not None:
        assert running.wait(timeout=60) == 0, "the running engine goes on"
