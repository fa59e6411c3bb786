"""pytest fixtures of the Wine tests. The built launcher and test engine (and the DLL that the
security tests plant) are given as options; --windows sets the Windows version of the prefix a
test file uses by default (a file may name its own kind in PREFIX_KIND). One prefix per kind
is made for the whole session; the package is laid out afresh for each test."""
import pytest

from scenario import Earlier
from winehelp import Package, Prefix


def pytest_addoption(parser):
    parser.addoption("--launcher", required=True)
    parser.addoption("--engine", required=True)
    parser.addoption("--planted", help="the DLL the security tests plant")
    parser.addoption("--windows", help="Windows version of the prefix, e.g. nt40 or win98")


@pytest.fixture(scope="session")
def prefixes():
    made = {}

    def get(version, arch):
        if (version, arch) not in made:
            made[version, arch] = Prefix(version, arch)
        return made[version, arch]

    yield get
    for prefix in made.values():
        prefix.drop()


@pytest.fixture
def prefix(request, prefixes):
    kind = getattr(request.module, "PREFIX_KIND", (request.config.getoption("--windows"), "win32"))
    return prefixes(*kind)


@pytest.fixture
def pkg(request, prefix):
    return Package(prefix, request.config.getoption("--launcher"),
                   request.config.getoption("--engine"))


@pytest.fixture
def earlier(pkg):
    """An earlier installation planted and read back through the engine, the prefix's server
    kept alive meanwhile."""
    helper = Earlier(pkg)
    yield helper
    helper.stop_idle()
