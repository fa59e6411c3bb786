"""The single-instance guard and the drain wait under Wine on a prefix set to an old Windows
version (--windows nt40 or win98), and which enumeration route the launcher takes there: PSAPI
on NT 4, Toolhelp elsewhere.

The route is shown two ways:
- by behaviour: the routes match names by different rules (PSAPI: case-sensitive substring of
  any module path; Toolhelp: whole executable name, ASCII case folded), so a running
  C:\\Tools\\xbv_setup.exe or C:\\SETUP\\BV_SETUP.EXE stops the launcher on one route only;
- by Wine's relay trace of the calls made from launcher.exe's own code (RelayFromInclude).
Under Wine psapi's functions are small stubs over kernel32's K32 functions; the launcher's
calls show up as psapi.EnumProcesses and so on (a K32 name is accepted as the same call, in
case a Wine version forwards the exports instead)."""
import re
import shutil
import tempfile

import pytest

from winehelp import DEBUG_KEY, GUARD_TEXT, PACKAGE_WIN, RECORD, boxes, error_box

ROUTES = {  # the calls that only the version's route makes, and the names it refuses for
    "nt40": ("EnumProcesses", {"C:\\Tools\\xbv_setup.exe": True,
                               "C:\\SETUP\\BV_SETUP.EXE": False}),
    "win98": ("CreateToolhelp32Snapshot", {"C:\\Tools\\xbv_setup.exe": False,
                                           "C:\\SETUP\\BV_SETUP.EXE": True}),
}
RELAY_INCLUDE = ("user32.MessageBoxA;kernel32.LoadLibraryA;kernel32.CreateToolhelp32Snapshot;"
                 "psapi.EnumProcesses;kernel32.K32EnumProcesses")
CALL = re.compile(r"Call (\w+)\.(?:K32)?(\w+)\((.*)\) ret=")


@pytest.fixture
def version(request, pkg):
    """The prefix's Windows version; relay traces only launcher.exe's own calls (the default
    RelayFromExclude list would win over RelayFromInclude, so it goes)."""
    pkg.prefix.wine("reg", "add", DEBUG_KEY, "/v", "RelayInclude", "/d", RELAY_INCLUDE, "/f")
    pkg.prefix.wine("reg", "delete", DEBUG_KEY, "/v", "RelayFromExclude", "/f", check=False)
    pkg.prefix.wine("reg", "add", DEBUG_KEY, "/v", "RelayFromInclude", "/d", "launcher.exe",
                    "/f")
    version = request.config.getoption("--windows")
    assert version in ROUTES, f"--windows {version!r}: expected one of {sorted(ROUTES)}"
    return version


def run(pkg, version, at_end=lambda: None, **engine_env):
    """Runs the traced launcher; at_end is called when its own process ends, before the
    prefix's other processes are waited for. Returns (exit code, boxes, at_end's result)."""
    with tempfile.TemporaryFile("w+", errors="replace") as relay:
        proc = pkg.prefix.start(PACKAGE_WIN + "\\launcher.exe", "LOG", stderr=relay,
                                WINEDEBUG="+relay", BV_TEST_RECORD=RECORD, **engine_env)
        code = proc.wait(timeout=300)
        result = at_end()
        pkg.prefix.wait_idle()
        relay.seek(0)
        text = relay.read()
    calls = [m.groups() for m in CALL.finditer(text)]
    route, _ = ROUTES[version]
    other = ({"EnumProcesses", "CreateToolhelp32Snapshot"} - {route}).pop()
    funcs = {f for _, f, _ in calls}
    assert route in funcs and other not in funcs, f"the {route} route only"
    psapi = [args for _, f, args in calls if f == "LoadLibraryA" and "psapi" in args.lower()]
    if version == "nt40":
        assert psapi and all(re.search(r'"C:\\\\windows\\\\(system32|syswow64)\\\\psapi\.dll"',
                                       a, re.I) for a in psapi), \
            "psapi.dll is asked for by its full system-directory path"
    else:
        assert psapi == [], "psapi.dll is never loaded off NT 4"
    return code, boxes(text), result


def test_plain_run_takes_the_route(pkg, version):
    assert run(pkg, version)[:2] == (0, [])
    assert pkg.trace()[-1] == "End: WinMain()."


def test_guard_refuses_while_an_engine_runs(pkg, version):
    first = pkg.start_engine(BV_TEST_SLEEP_MS="8000")
    assert run(pkg, version, at_end=first.poll) == (1, [error_box(GUARD_TEXT)], None), \
        "refused, the running engine undisturbed"
    assert pkg.trace() == ["Begin: WinMain()."]
    assert pkg.prefix.read(RECORD) is None, "no engine started"
    assert first.wait(timeout=60) == 0


def test_wait_covers_the_engines_copy(pkg, version):
    marker = "C:\\temp\\copy_done.txt"
    assert run(pkg, version, BV_TEST_SPAWN_COPY_MS="2000", BV_TEST_WRITE_FILE=marker,
               at_end=lambda: pkg.prefix.read(marker) is not None) == (0, [], True), \
        "the copy had ended when the launcher's process ended"
    assert len([l for l in pkg.trace() if l.startswith("Waiting for bv_setup.exe")]) > 5


@pytest.mark.parametrize("image", ["C:\\Tools\\xbv_setup.exe", "C:\\SETUP\\BV_SETUP.EXE"])
def test_name_rule_of_the_route(pkg, version, image):
    pkg.prefix.write(image, open(pkg.engine, "rb").read())
    try:
        foreign = pkg.start_engine("C:\\temp\\foreign.txt", image, BV_TEST_SLEEP_MS="8000")
        code, shown, foreign_end = run(pkg, version, at_end=foreign.poll)
        assert foreign_end is None, "the foreign process still ran when the launcher ended"
        if ROUTES[version][1][image]:
            assert (code, shown, pkg.trace()) == (1, [error_box(GUARD_TEXT)],
                                                  ["Begin: WinMain()."])
        else:
            assert (code, shown, pkg.trace()[-1]) == (0, [], "End: WinMain().")
        assert foreign.wait(timeout=60) == 0
    finally:
        shutil.rmtree(pkg.prefix.host(image.rsplit("\\", 1)[0]), ignore_errors=True)
