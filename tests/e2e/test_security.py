"""The elevated launcher in a folder that anyone may write to, tried as an attacker would:
DLLs planted beside it, links planted as its trace log, a ProjectGUID that climbs out of its
folder; and no handle of the launcher's reaches the engine. Run on the default prefix and on
NT 4 (--windows nt40).

Wine has no KnownDLLs: a DLL named native-first in WINEDLLOVERRIDES is loaded from the
application's folder when it lies there, as on Windows any DLL that is not a KnownDLL would
be."""
import os
import shutil

import pytest

from scenario import PF_DIR, by_command
from winehelp import PACKAGE_WIN, RECORD, TRACE, error_box

PLANTED_NAMES = ("user32", "version", "uxtheme", "imm32", "gdi32", "dwmapi", "cryptbase",
                 "psapi")
MARKER = "C:\\temp\\planted.txt"
PRECIOUS = "C:\\precious.txt"  # stands for a file only the administrator may write
PRECIOUS_BYTES = b"[boot]\r\nshell=explorer.exe\r\n"
NO_GUID = error_box("Error reading GUID from DATA.TAG")


@pytest.fixture
def precious(pkg):
    pkg.prefix.write(PRECIOUS, PRECIOUS_BYTES)
    yield pkg
    pkg.prefix.remove(PRECIOUS)


def test_planted_dlls_stay_out_of_the_launcher(pkg, request):
    for name in PLANTED_NAMES:
        shutil.copy(request.config.getoption("--planted"),
                    pkg.prefix.host(PACKAGE_WIN + "\\" + name + ".dll"))
    env = {"WINEDLLOVERRIDES": "mscoree,mshtml=;" + ",".join(PLANTED_NAMES) + "=n,b",
           "BV_TEST_PLANT_MARKER": MARKER}
    pkg.write_tag("[TagInfo]\r\n")
    assert pkg.run("LOG", **env) == (1, [NO_GUID]), "the real user32 showed the box"
    # A whole run; the engine loads one of them by its bare name, so the test shows that the
    # planted DLLs do load where nothing restricts the search.
    pkg.write_tag("[TagInfo]\r\nProjectGUID=E2E-GUID\r\n")
    assert pkg.run("LOG", BV_TEST_LOAD_DLL="version.dll", **env) == (0, [])
    assert pkg.trace()[-1] == "End: WinMain()."
    loads = [tuple(l.split("|", 1)) for l in pkg.engine_record(MARKER)]
    assert [l for l in loads if l[0].lower().endswith("\\launcher.exe")] == []
    assert (PACKAGE_WIN + "\\bv_setup.exe", PACKAGE_WIN + "\\version.dll") in loads


def test_hard_link_as_the_trace_log_before_the_run(precious):
    os.link(precious.prefix.host(PRECIOUS), precious.prefix.host(TRACE))
    assert precious.run("LOG") == (0, [])
    assert precious.prefix.read(PRECIOUS) == PRECIOUS_BYTES
    lines = precious.trace()
    assert (lines[0], lines[-1]) == ("Begin: WinMain().", "End: WinMain().")


def test_hard_link_as_the_trace_log_during_the_engines_run(precious):
    assert precious.run("LOG", BV_TEST_HARDLINK=TRACE + "|" + PRECIOUS) == (
        0, [error_box("Could not re-open logfile for append - logging terminated")])
    assert precious.prefix.read(PRECIOUS) == PRECIOUS_BYTES
    assert os.stat(precious.prefix.host(TRACE)).st_nlink == 2, "the engine planted the link"


def test_climbing_guid_is_refused_and_the_folder_it_names_untouched(pkg):
    outside = "C:\\escape\\{}\\setup.zmf"
    pkg.prefix.write(outside, b"not the product's log\r\n")
    pkg.write_tag("[TagInfo]\r\nProjectGUID=x}\\..\\..\\..\\escape\\{\r\n")
    try:
        assert pkg.run("LOG") == (1, [NO_GUID])
        assert os.listdir(os.path.dirname(pkg.prefix.host(outside))) == ["setup.zmf"]
        assert pkg.prefix.read(outside) == b"not the product's log\r\n"
    finally:
        shutil.rmtree(pkg.prefix.host("C:\\escape"))


def test_engine_inherits_no_handle_of_the_launcher(earlier):
    # With an earlier installation, so that the stash record is written during the run.
    earlier.install(by_command("LaunchSetup", PF_DIR, " /u"))
    earlier.pkg.run("LOG", wait_all=False, BV_TEST_HANDLES="1")
    via_launcher = [l for l in earlier.pkg.engine_record() if l.startswith("handles=")]
    earlier.prefix.remove(RECORD)
    engine = earlier.prefix.start(PACKAGE_WIN + "\\bv_setup.exe", BV_TEST_HANDLES="1",
                                  BV_TEST_RECORD=RECORD)
    assert engine.wait(timeout=60) == 0
    direct = [l for l in earlier.pkg.engine_record() if l.startswith("handles=")]
    assert len(direct) == 1
    assert direct == via_launcher
