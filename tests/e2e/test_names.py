"""Folder names that the ANSI code page cannot spell: Cyrillic on the prefix's Western code page
(Wine takes it from the C locale). The launcher reaches its package folder and the TEMP folder
by their short (8.3) names, which Wine makes up for long names as Windows does. test_wow64.py
runs these tests on a 64-bit prefix too."""
import os
import shutil

import winehelp
from winehelp import PACKAGE_WIN, host, wine, wine_env

CYRILLIC_PACKAGE = "C:\\Установка пакета"
CYRILLIC_TEMP = "C:\\Временные"


def setUpModule():
    winehelp.make_prefix()


def tearDownModule():
    winehelp.drop_prefix()


def read_lines(path):
    with open(host(path), "rb") as f:
        return f.read().decode("latin-1").split("\r\n")[:-1]


class NamesRun(winehelp.LauncherRun):
    def test_package_folder_named_in_cyrillic(self):
        shutil.rmtree(host(CYRILLIC_PACKAGE), ignore_errors=True)
        shutil.copytree(host(PACKAGE_WIN), host(CYRILLIC_PACKAGE))
        self.addCleanup(shutil.rmtree, host(CYRILLIC_PACKAGE), True)
        env = dict(wine_env(), BV_TEST_RECORD="C:\\temp\\engine.txt")
        result = wine(CYRILLIC_PACKAGE + "\\launcher.exe", "LOG", env=env, check=False)
        self.assertEqual(0, result.returncode)
        lines = self.trace()
        launcher = lines[2].partition("Launcher path=")[2]
        short_dir = launcher.rpartition("\\")[0]
        self.assertRegex(short_dir, r"^C:\\[!-~]+~[!-~]+$", "one ASCII short name, no '?'")
        self.assertEqual("Data.tag path/name=" + short_dir + "\\data.tag", lines[3])
        self.assertEqual("cmdline=" + short_dir + "\\bv_setup.exe SAS LOG",
                         self.engine_record()[0], "the engine started from the package")
        self.assertEqual("End: WinMain().", lines[-1])

    def test_temp_folder_named_in_cyrillic(self):
        os.makedirs(host(CYRILLIC_TEMP), exist_ok=True)
        self.addCleanup(shutil.rmtree, host(CYRILLIC_TEMP), True)
        wine("reg", "add", "HKCU\\Environment", "/v", "TEMP", "/d", CYRILLIC_TEMP, "/f")
        self.addCleanup(wine, "reg", "add", "HKCU\\Environment", "/v", "TEMP", "/d", "C:\\temp",
                        "/f")
        code, boxes = self.run_launcher("LOG")
        self.assertEqual((0, []), (code, boxes))
        lines = read_lines(CYRILLIC_TEMP + "\\launcher.log")
        self.assertEqual(["Begin: WinMain().", "End: WinMain()."], [lines[0], lines[-1]])


if __name__ == "__main__":
    winehelp.main()
