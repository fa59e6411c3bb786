"""Folder names that the ANSI code page cannot spell: Cyrillic on the prefix's Western code page
(Wine takes it from the C locale). The launcher reaches its package folder and the TEMP folder
by their short (8.3) names, which Wine makes up for long names as Windows does. test_wow64.py
runs these tests on a 64-bit prefix too."""
import re
import shutil

import pytest

from winehelp import PACKAGE_WIN

CYRILLIC_PACKAGE = "C:\\Установка пакета"
CYRILLIC_TEMP = "C:\\Временные"


@pytest.fixture
def cyrillic_package(pkg):
    shutil.rmtree(pkg.prefix.host(CYRILLIC_PACKAGE), ignore_errors=True)
    shutil.copytree(pkg.prefix.host(PACKAGE_WIN), pkg.prefix.host(CYRILLIC_PACKAGE))
    yield pkg
    shutil.rmtree(pkg.prefix.host(CYRILLIC_PACKAGE), ignore_errors=True)


def test_package_folder_named_in_cyrillic(cyrillic_package):
    pkg = cyrillic_package
    code, _ = pkg.run("LOG", exe=CYRILLIC_PACKAGE + "\\launcher.exe")
    assert code == 0
    lines = pkg.trace()
    short_dir = lines[2].partition("Launcher path=")[2].rpartition("\\")[0]
    assert re.fullmatch(r"C:\\[!-~]+~[!-~]+", short_dir), "one ASCII short name, no '?'"
    assert "Data.tag path/name=" + short_dir + "\\data.tag" in lines
    assert pkg.engine_record()[0] == "cmdline=" + short_dir + "\\bv_setup.exe SAS LOG", \
        "the engine started from the package"
    assert lines[-1] == "End: WinMain()."


@pytest.fixture
def cyrillic_temp(pkg):
    pkg.prefix.write(CYRILLIC_TEMP + "\\x", b"")
    pkg.prefix.set_temp(CYRILLIC_TEMP)
    yield pkg
    pkg.prefix.set_temp("C:\\temp")
    shutil.rmtree(pkg.prefix.host(CYRILLIC_TEMP), ignore_errors=True)


def test_temp_folder_named_in_cyrillic(cyrillic_temp):
    assert cyrillic_temp.run("LOG") == (0, [])
    lines = cyrillic_temp.trace(CYRILLIC_TEMP + "\\launcher.log")
    assert (lines[0], lines[-1]) == ("Begin: WinMain().", "End: WinMain().")
