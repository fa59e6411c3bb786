"""The 32-bit launcher on 64-bit Windows: one 64-bit Wine prefix (WINEARCH=win64, Debian's
wine64 loader), where the launcher runs under WoW64. There it sees the registry's 32-bit view
(HKLM\\SOFTWARE is redirected to Wow6432Node) and ProgramFilesDir is C:\\Program Files (x86).

The tests that matter on that platform are borrowed from the 32-bit suites, so they read the
same: a traced run, the guard, the drain wait, earlier installations on both routes, and the
folder names in Cyrillic. Each earlier installation has a native twin that only the 64-bit view
and C:\\Program Files name; the launcher must leave the twin alone."""
import os
import re
import shutil
import subprocess
import tempfile

import test_launcher
import test_names
import test_record
import winehelp
from scenario import GUID, ORIGINAL_LOG, REG_SZ, ScenarioRun, sz
from winehelp import INFO_ROOT, UNINSTALL_KEY, host, wine, wine_env
from test_record import OWN_DIR, Installation, actions, by_command

X86_INFO_ROOT = "C:\\Program Files (x86)\\Brevane Installation Information"
X86_DIR = X86_INFO_ROOT + "\\" + GUID
NATIVE_DIR = "C:\\Native Apps\\" + GUID
NATIVE_COMMAND = 'C:\\Native Apps\\LaunchSetup "' + NATIVE_DIR + '\\bv_setup.exe" /u'
NATIVE_LOGS = (NATIVE_DIR + "\\setup.zmf", INFO_ROOT + "\\" + GUID + "\\setup.zmf")

INSTALLATIONS = {
    "uninstall command in the 32-bit view": by_command("LaunchSetup", OWN_DIR, " /u", REG_SZ),
    "Program Files (x86), other command":
        Installation(X86_DIR, sz('"C:\\Program Files (x86)\\Brevane\\unins000.exe" /x')),
    "Program Files (x86), no product key": Installation(X86_DIR, None, has_key=False),
}


def setUpModule():
    winehelp.make_prefix(arch="win64")


def tearDownModule():
    winehelp.drop_prefix()


class Wow64Run(winehelp.LauncherRun):
    def setUp(self):
        super().setUp()
        shutil.rmtree(host(X86_INFO_ROOT), ignore_errors=True)

    test_traced_run = test_launcher.LauncherRun.test_traced_run_without_installation
    test_guard = test_launcher.LauncherRun.test_guard_refuses_while_an_engine_runs
    test_drain_wait = test_launcher.LauncherRun.test_wait_covers_the_engines_copy
    test_package_folder_named_in_cyrillic = \
        test_names.NamesRun.test_package_folder_named_in_cyrillic
    test_temp_folder_named_in_cyrillic = test_names.NamesRun.test_temp_folder_named_in_cyrillic

    def test_program_files_is_the_x86_folder(self):
        self.run_launcher("LOG")
        self.assertIn("ProgramFilesDir=C:\\Program Files (x86)", self.trace())


class Wow64Record(ScenarioRun):
    check = test_record.RecordRun.check

    def setUp(self):
        winehelp.LauncherRun.setUp(self)
        # The twin's value, before the keep-alive process starts: with that running, Wine
        # calls are made without output pipes (see scenario.py).
        wine("reg", "add", UNINSTALL_KEY, "/v", "UninstallString", "/d", NATIVE_COMMAND,
             "/reg:64", "/f")
        self.keep_prefix_alive()
        self.reset()

    def reset(self):
        """Between scenarios: the 32-bit installation's folders emptied, the native twin's
        setup logs (one of them under C:\\Program Files) written afresh."""
        super().reset()
        shutil.rmtree(host(X86_INFO_ROOT), ignore_errors=True)
        for path in NATIVE_LOGS:
            os.makedirs(os.path.dirname(host(path)), exist_ok=True)
            with open(host(path), "wb") as f:
                f.write(ORIGINAL_LOG)

    def assert_native_twin_untouched(self):
        for path in NATIVE_LOGS:
            with open(host(path), "rb") as f:
                self.assertEqual(ORIGINAL_LOG, f.read(), path)
        with tempfile.TemporaryFile() as out:
            subprocess.run(["wine", "reg", "query", UNINSTALL_KEY, "/reg:64"],
                           env=wine_env(), stdin=subprocess.DEVNULL, stdout=out,
                           stderr=subprocess.DEVNULL, timeout=120, check=True)
            out.seek(0)
            text = out.read().decode("latin-1")
        self.assertRegex(text, r"UninstallString\s+REG_SZ\s+" + re.escape(NATIVE_COMMAND))

    def test_earlier_installations_in_the_32_bit_view(self):
        for name, inst in INSTALLATIONS.items():
            for action in ("writes a new log", "deletes the value"):
                with self.subTest(installation=name, engine=action):
                    self.check(inst, action, actions(inst)[action])
                    self.assert_native_twin_untouched()


if __name__ == "__main__":
    winehelp.main()
