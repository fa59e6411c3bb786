"""The Wine tests' helpers: a prefix with the package laid out in it, the test engine's action
list (tests/engine/bv_setup.cpp), an earlier installation planted and read back: a state, a dict
of files (bytes; None: absent) and values KEY\\NAME under HKLM ((type, bytes) as the launcher's
ANSI calls read them; None: absent; NOKEY: no key). A session runs on one prefix kind; a test
names its kinds with @pytest.mark.on (none: win32) and is deselected on the others."""
import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

PKG, TEMP = "C:\\Setup Package", "C:\\temp"
LAUNCHER, TRACE, RECORD = PKG + "\\launcher.exe", TEMP + "\\launcher.log", TEMP + "\\engine.txt"
TAG, GUID = PKG + "\\data.tag", "{E2E-GUID}"
IDLE = "C:\\keepalive\\idle.exe"  # the engine, by a name neither the guard nor the wait counts
KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + GUID
JOURNAL = "SOFTWARE\\Brevane\\Setup Launcher\\" + GUID  # what a run set aside
JOURNAL64 = "SOFTWARE\\WOW6432Node\\Brevane\\Setup Launcher\\" + GUID  # as 64-bit programs see it
VALUE = KEY + "\\UninstallString"
INFO = "C:\\Program Files\\Brevane Installation Information\\"
X86_INFO = "C:\\Program Files (x86)\\Brevane Installation Information\\"  # under WoW64
CYRILLIC = "C:\\Установка пакета"  # a folder name the prefix's ANSI code page cannot spell
SCRATCH = ("C:\\Brevane Apps", "C:\\Pr\u00fcf Ordner", "C:\\escape", CYRILLIC)  # by the tests
GUARD_TEXT = ("An instance of this Setup is already running.  Please close all Setups before "
              "running this one.")
NOKEY, REG_SZ, REG_EXPAND_SZ = "nokey", 1, 2
ANSI = "cp1252"  # the prefix's ANSI code page: Wine takes it from the (C) Unix locale
ORIGINAL_LOG, ENGINE_LOG = b"original log\r\n\x00\xfe binary \x1a tail\n", b"engine's log\r\n"
RELAY = {"RelayFromInclude": "launcher.exe",  # its boxes, DLL loads and process enumeration
         "RelayInclude": "user32.MessageBoxA;kernel32.LoadLibraryA;psapi.EnumProcesses;"
                         "kernel32.K32EnumProcesses;kernel32.CreateToolhelp32Snapshot"}
ROUTES = {"EnumProcesses", "CreateToolhelp32Snapshot"}  # PSAPI on NT 4, Toolhelp elsewhere
KINDS = {"win32": None, "win64": None, "nt40": "nt40", "win98": "win98"}  # Windows versions
# Debian's wine cannot make a 64-bit prefix, yet runs 32-bit programs in it under WoW64.
WINE64 = "/usr/lib/wine/wine64"  # the loader to make it, and for what they start
STAMP = str(Path(__file__).resolve().parents[2] / "scripts" / "stamp-engine")


def act(verb, *args):
    """One action of the engine's list; an argument the list cannot carry goes in hex."""
    def arg(a):
        a = a.encode(ANSI) if isinstance(a, str) else str(a).encode() if isinstance(a, int) else a
        return a.decode() if re.fullmatch(rb"[ -:<-{}~]*", a) else "hex:" + a.hex()
    return verb + (":" + "|".join(map(arg, args)) if args else "")


def sz(text, type_=REG_SZ):
    """A string value as RegQueryValueExA delivers it under Wine: ANSI bytes and a zero."""
    return (type_, text.encode(ANSI) + b"\0")


def record_of(value):
    """uninst.dat of a value taken away (of none: the bare head), written in text mode."""
    text = value[1].split(b"\0", 1)[0] + b"\0" if value else b""
    return b"UninstallString=" + text.replace(b"\n", b"\r\n")


def wait_until(condition, message):
    deadline = time.monotonic() + 60
    while not condition():
        assert time.monotonic() < deadline, message
        time.sleep(0.001)


class Wine:
    """A prefix of one kind, made once per session, and the package: launcher.exe, bv_setup.exe
    and data.tag laid out afresh for each test, an empty TEMP, no product or journal key."""

    def __init__(self, root, kind, launcher, engine, engine64):
        self.kind, self.arch = kind, "win64" if kind == "win64" else "win32"
        self.launcher, self.engine, self.engine64, self.idle = launcher, engine, engine64, None
        self.path = tempfile.mkdtemp(prefix=kind + "-", dir=os.path.abspath(root))
        subprocess.run([WINE64 if kind == "win64" else "wine", "wineboot", "-i"], env=self.env(),
                       capture_output=True, timeout=300)
        if KINDS[kind]:
            self.wine("winecfg", "-v", KINDS[kind])
        for name, value in RELAY.items():
            self.wine("reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", name, "/d", value, "/f")
        self.stop(keep_alive=True)

    def stop(self, keep_alive=False):
        """Ends every process of the prefix. An IDLE engine keeps Wine's processes alive, so that
        no call waits seconds for them."""
        if self.idle:
            self.idle.kill()
        subprocess.run(["wineserver", "-k"], env=self.env(), timeout=60)
        subprocess.run(["wineserver", "-w"], env=self.env(), timeout=120)
        if keep_alive:
            self.write(IDLE, Path(self.engine).read_bytes())
            self.idle = self.start_engine("sleep:3600000", image=IDLE)

    def stamp(self, engine):
        """launcher.exe of the package stamped with the SHA-256 of engine (bytes), as a packager
        stamps it before signing."""
        with tempfile.TemporaryDirectory() as scratch:
            launcher, program = Path(scratch, "launcher.exe"), Path(scratch, "bv_setup.exe")
            launcher.write_bytes(Path(self.launcher).read_bytes())
            program.write_bytes(engine)
            subprocess.run([STAMP, str(launcher), str(program)], check=True, capture_output=True)
            self.write(LAUNCHER, launcher.read_bytes())

    def lay_out(self):
        self.remove(PKG, TEMP, INFO, X86_INFO, *SCRATCH)
        self.write(LAUNCHER, Path(self.launcher).read_bytes())
        self.write(PKG + "\\bv_setup.exe", Path(self.engine).read_bytes())
        self.write(TAG, b"[TagInfo]\r\nProjectGUID=E2E-GUID\r\n")
        self.set_temp(TEMP)
        self.tool(act("delkey", KEY), act("delkey", JOURNAL))

    def env(self, **extra):
        # C.UTF-8: the ANSI code page is the Western one whatever the machine's locale, and
        # Unix file names and arguments reach Wine as UTF-8, Cyrillic ones too.
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WINELOADER")}
        return {**env, **({"WINELOADER": WINE64} if self.arch == "win64" else {}),
                "WINEPREFIX": self.path, "WINEARCH": self.arch, "LC_ALL": "C.UTF-8",
                "WINEDLLOVERRIDES": "mscoree,mshtml=", "WINEDEBUG": "-all", **extra}

    def wine(self, *args):
        assert self.start(*args).wait(timeout=120) == 0, f"wine {args}"

    def start(self, *args, stderr=subprocess.DEVNULL, **env):
        return subprocess.Popen(["wine", *args], env=self.env(**env), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=stderr)

    def set_temp(self, path):  # an empty folder, the TEMP of the processes started from now on
        self.remove(path)
        os.makedirs(self.host(path))
        self.wine("reg", "add", "HKCU\\Environment", "/v", "TEMP", "/d", path, "/f")

    def host(self, path):
        return os.path.join(self.path, "drive_c", *path[3:].split("\\"))

    def read(self, path):
        return Path(self.host(path)).read_bytes() if os.path.isfile(self.host(path)) else None

    def write(self, path, data):
        os.makedirs(os.path.dirname(self.host(path)), exist_ok=True)
        Path(self.host(path)).write_bytes(data)

    def remove(self, *paths):
        for path in map(self.host, paths):
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            elif os.path.lexists(path):
                os.remove(path)

    def run(self, *args, exe=LAUNCHER, engine=(), wait=True, **env):
        """Runs the launcher (or exe), its engine recording, then doing what engine lists."""
        relay = tempfile.TemporaryFile("w+", errors="replace")
        proc = self.start(exe, *args, stderr=relay, **{"WINEDEBUG": "+relay", **env},
                          BV_TEST=";".join([act("rec", RECORD), *engine]))
        proc.relay = relay
        return self.outcome(proc) if wait else proc

    def outcome(self, proc):
        """The exit code and the error boxes' texts; kept: the calls, psapi.dll's loads, the DLLs
        loaded from files ((by launcher.exe, name), with +pid,+loaddll). In every run the launcher
        enumerates processes only by its platform's route, loads psapi.dll on NT 4 only, by path."""
        code = proc.wait(timeout=300)
        proc.relay.seek(0)
        text = proc.relay.read()
        self.calls = re.findall(r"Call (\w+)\.(?:K32)?(\w+)\((.*)\) ret=", text)
        found = re.findall(r'(?m)^(\w+):\w+:trace:loaddll:\w+ Loaded L"(.*)" at \w+: native', text)
        launcher = {pid for pid, path in found if path.endswith("launcher.exe")}
        self.loaded = {(pid in launcher, path.rpartition("\\")[2]) for pid, path in found}
        route = "EnumProcesses" if self.kind == "nt40" else "CreateToolhelp32Snapshot"
        assert {f for _, f, _ in self.calls} & ROUTES <= {route}
        self.psapi = [a for _, f, a in self.calls if f == "LoadLibraryA" and "psapi" in a.lower()]
        assert not self.psapi or self.kind == "nt40"
        assert all(a.lower().endswith(r'"c:\\windows\\system32\\psapi.dll"') for a in self.psapi)
        boxes = re.findall(r'Call user32\.MessageBoxA\((\w+),\w+ "(.*)",\w+ "(.*)",(\w+)\)', text)
        assert {(box[0], *box[2:]) for box in boxes} <= {("00000000", "Launcher Error", "00000010")}
        return code, [box[1] for box in boxes]

    def start_engine(self, *actions, image=PKG + "\\bv_setup.exe"):  # left running, started
        self.remove("C:\\up")
        proc = self.start(image, BV_TEST=";".join(["rec:C:\\up", *actions]))
        wait_until(lambda: self.read("C:\\up") or proc.poll() is not None, "no engine started")
        return proc

    def trace(self, path=TRACE):
        data = self.read(path)
        assert data is not None and b"\n" not in data.replace(b"\r\n", b""), "CR LF lines"
        return data.decode("latin-1").split("\r\n")[:-1]

    def record(self, path=RECORD):  # the engine's record: {name: text}, each name's last line
        return dict(line.rsplit("=", 1) for line in self.read(path).decode(ANSI).splitlines())

    def tool(self, *actions, image=None):  # by the test engine, or by another build of it
        assert self.start_engine(*actions, image=image or self.engine).wait(timeout=120) == 0
        return self.record("C:\\up")

    def install(self, state, tool=None):  # made so, both keys anew with its values, and checked
        for item, data in state.items():
            if item.startswith("C:"):
                self.remove(item) if data is None else self.write(item, data)
        self.tool(act("delkey", KEY), act("delkey", JOURNAL),
                  *(act("set", i, *(d or ())) for i, d in state.items()
                    if not i.startswith("C:") and d is not NOKEY), image=tool)
        assert self.look(state, tool=tool) == state, "planted as meant"

    def look(self, items, record=None, tool=None):  # the items' state now, or in the record
        record, state = record or self.tool(*(act("see", i) for i in items), image=tool), {}
        for item in items:
            type_, _, data = record[item].rpartition(":")  # a value's type, then its bytes
            state[item] = (None if data == "absent" else NOKEY if data == NOKEY else
                           (int(type_), bytes.fromhex(data)) if type_ else bytes.fromhex(data))
        return state


class Installation:
    """An earlier installation: its setup log's folder, its UninstallString (None: no value;
    NOKEY: no product key), the folder as the launcher is to spell it when it finds it, and the
    separator it puts before the log's name."""

    def __init__(self, log_dir, value, found_as=None, sep="\\", journal=JOURNAL):
        self.log_dir, self.value, self.found_as = log_dir, value, found_as or log_dir
        self.zmf, self.z_f, self.dat = (log_dir + "\\" + n
                                        for n in ("setup.zmf", "setup.z_f", "uninst.dat"))
        self.j_value, self.j_log = journal + "\\UninstallString", journal + "\\SetupLog"
        self.items = (self.zmf, self.z_f, self.dat, VALUE, self.j_value, self.j_log)
        self.found_zmf = self.found_as + sep + "setup.zmf"
        self.journal_log = sz(self.found_zmf)

    def state(self, zmf=ORIGINAL_LOG, z_f=None, dat=None, value=..., j_value=..., j_log=...):
        """By default as planted: the setup log and the value in place, no journal key."""
        journal = None if (j_value, j_log) != (..., ...) else NOKEY
        return {self.zmf: zmf, self.z_f: z_f, self.dat: dat,
                VALUE: self.value if value is ... else value,
                self.j_value: journal if j_value is ... else j_value,
                self.j_log: journal if j_log is ... else j_log}

    def aside(self, held=..., **changes):
        """While a run has it aside, the key having held that value (...: the planted one): the
        log renamed and journalled, the value taken into the journal and uninst.dat if it fits."""
        held = self.value if held is ... else held
        taken = held not in (None, NOKEY) and len(held[1]) <= 284
        return self.state(**dict(dict(
            zmf=None, z_f=ORIGINAL_LOG, j_log=self.journal_log, value=None if taken else held,
            j_value=held if taken else None,
            dat=None if held is NOKEY else record_of(held if taken else None)), **changes))


def by_command(keyword, log_dir, tail="", type_=REG_SZ, program="bv_setup.exe", sep="\\",
               journal=JOURNAL):
    """Found by its uninstall command, cut at "LAUNCHSETUP" in any case and upper-cased."""
    found_as = "".join(c.upper() if "a" <= c <= "z" else c for c in log_dir)
    command = f'C:\\Brevane Apps\\{keyword} "{log_dir}{sep}{program}"{tail}'
    return Installation(log_dir, sz(command, type_), found_as, sep, journal)


def pytest_addoption(parser):
    for name in ("--launcher", "--engine", "--engine64", "--planted", "--prefixes"):
        parser.addoption(name, required=True)
    parser.addoption("--kind", default="win32", choices=sorted(KINDS))


def pytest_configure(config):
    config.addinivalue_line("markers", "on(*kinds): the prefix kinds a test runs on")


def pytest_collection_modifyitems(config, items):
    kind = config.getoption("--kind")
    chosen = [i for i in items if kind in getattr(i.get_closest_marker("on"), "args", ["win32"])]
    config.hook.pytest_deselected(items=[i for i in items if i not in chosen])
    items[:] = chosen


@pytest.fixture(scope="session")
def prefix(request):
    option = request.config.getoption
    made = Wine(option("--prefixes"), option("--kind"), option("--launcher"), option("--engine"),
                option("--engine64"))
    yield made
    made.stop()
    shutil.rmtree(made.path, ignore_errors=True)


@pytest.fixture
def pkg(prefix):
    prefix.lay_out()
    return prefix
