"""The elevated launcher in a folder that anyone may write to, tried as an attacker would:
DLLs planted beside it, links planted as its trace log, a ProjectGUID that climbs out of its
folder; and no handle of the launcher's reaches the engine.

Arguments: the launcher, the test engine, the planted DLL, and optionally a Windows version for
the prefix ("nt40"). Wine has no KnownDLLs: a DLL named native-first in WINEDLLOVERRIDES is
loaded from the application's folder when it lies there, as on Windows any DLL that is not a
KnownDLL would be."""
import os
import shutil
import sys

import winehelp
from winehelp import PACKAGE_WIN, host, wine

PLANTED = sys.argv[3]
VERSION = sys.argv[4] if len(sys.argv) > 4 else None
PLANTED_NAMES = ("user32", "version", "uxtheme", "imm32", "gdi32", "dwmapi", "cryptbase",
                 "psapi")
MARKER = "C:\\temp\\planted.txt"
PRECIOUS = "C:\\precious.txt"  # stands for a file only the administrator may write
PRECIOUS_BYTES = b"[boot]\r\nshell=explorer.exe\r\n"
LOG = "C:\\temp\\launcher.log"
REOPEN_BOX = ("Launcher Error", "Could not re-open logfile for append - logging terminated",
              0x10, "00000000")


def setUpModule():
    winehelp.make_prefix(VERSION)


def tearDownModule():
    winehelp.drop_prefix()


class Security(winehelp.LauncherRun):
    def setUp(self):
        super().setUp()
        for path in (PRECIOUS, MARKER):
            if os.path.exists(host(path)):
                os.remove(host(path))
        with open(host(PRECIOUS), "wb") as f:
            f.write(PRECIOUS_BYTES)

    def precious(self):
        with open(host(PRECIOUS), "rb") as f:
            return f.read()

    def plant_dlls(self):
        for name in PLANTED_NAMES:
            shutil.copy(PLANTED, host(PACKAGE_WIN + "\\" + name + ".dll"))
        return {"WINEDLLOVERRIDES": "mscoree,mshtml=;" + ",".join(PLANTED_NAMES) + "=n,b",
                "BV_TEST_PLANT_MARKER": MARKER}

    def markers(self):
        """(process, dll) of every load of a planted DLL."""
        if not os.path.exists(host(MARKER)):
            return []
        with open(host(MARKER), encoding="latin-1") as f:
            return [tuple(line.split("|", 1)) for line in f.read().splitlines()]

    def test_planted_dlls_stay_out_of_the_launcher(self):
        env = self.plant_dlls()
        # A box: the data tag without a GUID.
        self.write_tag("[TagInfo]\r\n")
        code, boxes = self.run_launcher("LOG", **env)
        self.assertEqual(1, code)
        self.assertEqual([("Launcher Error", "Error reading GUID from DATA.TAG", 0x10,
                           "00000000")], boxes, "the real user32 showed the box")
        # A whole run; the engine loads one of them by its bare name, so the test shows that
        # the planted DLLs do load where nothing restricts the search.
        self.write_tag("[TagInfo]\r\nProjectGUID=E2E-GUID\r\n")
        code, boxes = self.run_launcher("LOG", BV_TEST_LOAD_DLL="version.dll", **env)
        self.assertEqual((0, []), (code, boxes))
        self.assertEqual("End: WinMain().", self.trace()[-1])
        loads = self.markers()
        self.assertEqual([], [l for l in loads if l[0].lower().endswith("\\launcher.exe")])
        self.assertIn((PACKAGE_WIN + "\\bv_setup.exe", PACKAGE_WIN + "\\version.dll"), loads)

    def test_hard_link_as_the_trace_log_before_the_run(self):
        os.link(host(PRECIOUS), host(LOG))
        code, boxes = self.run_launcher("LOG")
        self.assertEqual((0, []), (code, boxes))
        self.assertEqual(PRECIOUS_BYTES, self.precious())
        self.assertEqual("Begin: WinMain().", self.trace()[0])
        self.assertEqual("End: WinMain().", self.trace()[-1])

    def test_hard_link_as_the_trace_log_during_the_engines_run(self):
        code, boxes = self.run_launcher("LOG", BV_TEST_HARDLINK=LOG + "|" + PRECIOUS)
        self.assertEqual((0, [REOPEN_BOX]), (code, boxes))
        self.assertEqual(PRECIOUS_BYTES, self.precious())
        self.assertEqual(2, os.stat(host(LOG)).st_nlink, "the engine planted the link")

    def test_climbing_guid_is_refused_and_the_folder_it_names_untouched(self):
        outside = "C:\\escape\\{}\\setup.zmf"
        os.makedirs(os.path.dirname(host(outside)), exist_ok=True)
        with open(host(outside), "wb") as f:
            f.write(b"not the product's log\r\n")
        self.write_tag("[TagInfo]\r\nProjectGUID=x}\\..\\..\\..\\escape\\{\r\n")
        code, boxes = self.run_launcher("LOG")
        self.assertEqual((1, [("Launcher Error", "Error reading GUID from DATA.TAG", 0x10,
                               "00000000")]), (code, boxes))
        self.assertEqual(["setup.zmf"], os.listdir(os.path.dirname(host(outside))))
        with open(host(outside), "rb") as f:
            self.assertEqual(b"not the product's log\r\n", f.read())
        shutil.rmtree(host("C:\\escape"))

    def test_engine_inherits_no_handle_of_the_launcher(self):
        # With an earlier installation, so that the stash record is written during the run.
        info = winehelp.INFO_ROOT + "\\{E2E-GUID}"
        os.makedirs(host(info), exist_ok=True)
        with open(host(info + "\\setup.zmf"), "wb") as f:
            f.write(b"original log\r\n")
        wine("reg", "add", winehelp.UNINSTALL_KEY, "/v", "UninstallString", "/d",
             'C:\\x\\LaunchSetup "' + info + '\\bv_setup.exe" /u', "/f")
        self.run_launcher("LOG", BV_TEST_HANDLES="1")
        via_launcher = [l for l in self.engine_record() if l.startswith("handles=")]
        os.remove(host("C:\\temp\\engine.txt"))
        env = winehelp.wine_env()
        env.update(BV_TEST_HANDLES="1", BV_TEST_RECORD="C:\\temp\\engine.txt")
        wine(PACKAGE_WIN + "\\bv_setup.exe", env=env)
        direct = [l for l in self.engine_record() if l.startswith("handles=")]
        self.assertEqual(1, len(direct))
        self.assertEqual(direct, via_launcher)


if __name__ == "__main__":
    winehelp.main()
