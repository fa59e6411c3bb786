"""The 32-bit launcher on 64-bit Windows: a 64-bit Wine prefix (WINEARCH=win64, Debian's wine64
loader), where the launcher runs under WoW64. There it sees the registry's 32-bit view
(HKLM\\SOFTWARE is redirected to Wow6432Node) and ProgramFilesDir is C:\\Program Files (x86).

The tests that matter on that platform are borrowed from the 32-bit files, so they read the
same: a traced run, the guard, the drain wait, earlier installations on both routes, and the
folder names in Cyrillic. Each earlier installation has a native twin that only the 64-bit view
and C:\\Program Files name; the launcher must leave the twin alone."""
import re

import pytest

from scenario import GUID, ORIGINAL_LOG, OWN_DIR, Installation, by_command, sz
from test_launcher import (test_guard_refuses_while_an_engine_runs,  # noqa: F401
                           test_traced_run_without_installation, test_wait_covers_the_engines_copy)
from test_names import (cyrillic_package, cyrillic_temp,  # noqa: F401
                        test_package_folder_named_in_cyrillic, test_temp_folder_named_in_cyrillic)
from test_record import check
from winehelp import INFO_ROOT, UNINSTALL_KEY, X86_INFO_ROOT

PREFIX_KIND = (None, "win64")
X86_DIR = X86_INFO_ROOT + "\\" + GUID
NATIVE_DIR = "C:\\Native Apps\\" + GUID
NATIVE_COMMAND = 'C:\\Native Apps\\LaunchSetup "' + NATIVE_DIR + '\\bv_setup.exe" /u'
NATIVE_LOGS = (NATIVE_DIR + "\\setup.zmf", INFO_ROOT + "\\" + GUID + "\\setup.zmf")
INSTALLATIONS = {
    "uninstall command in the 32-bit view": by_command("LaunchSetup", OWN_DIR, " /u"),
    "Program Files (x86), other command":
        Installation(X86_DIR, sz('"C:\\Program Files (x86)\\Brevane\\unins000.exe" /x')),
    "Program Files (x86), no product key": Installation(X86_DIR, None, has_key=False),
}


def test_program_files_is_the_x86_folder(pkg):
    pkg.run("LOG")
    assert "ProgramFilesDir=C:\\Program Files (x86)" in pkg.trace()


@pytest.fixture
def twin(pkg):
    """The native twin: its value written before the keep-alive process starts (with that
    running, Wine calls make no output pipes), its setup logs, one under C:\\Program Files."""
    pkg.prefix.wine("reg", "add", UNINSTALL_KEY, "/v", "UninstallString", "/d", NATIVE_COMMAND,
                    "/reg:64", "/f")
    for path in NATIVE_LOGS:
        pkg.prefix.write(path, ORIGINAL_LOG)
    return pkg


@pytest.mark.parametrize("inst", INSTALLATIONS.values(), ids=INSTALLATIONS.keys())
@pytest.mark.parametrize("action", ["writes a new log", "deletes the value"])
def test_earlier_installations_in_the_32_bit_view(twin, earlier, inst, action):
    check(earlier, inst, action)
    assert [twin.prefix.read(path) for path in NATIVE_LOGS] == [ORIGINAL_LOG] * 2
    earlier.stop_idle()
    query = twin.prefix.wine("reg", "query", UNINSTALL_KEY, "/reg:64").stdout
    assert re.search(r"UninstallString\s+REG_SZ\s+" + re.escape(NATIVE_COMMAND), query)
