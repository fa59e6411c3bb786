"""The single-instance guard and the drain wait under Wine on a prefix set to one Windows
version, given as the third argument ("nt40" or "win98"), and which enumeration route the
launcher takes there: PSAPI on NT 4, Toolhelp elsewhere.

The route is shown two ways:
- by behaviour: the routes match names by different rules (PSAPI: case-sensitive substring of
  any module path; Toolhelp: whole executable name, ASCII case folded), so a running
  C:\\Tools\\xbv_setup.exe or C:\\SETUP\\BV_SETUP.EXE stops the launcher on one route only;
- by Wine's relay trace of the calls made from launcher.exe's own code (RelayFromInclude),
  with +loaddll for the file that psapi.dll is really loaded from.
Under Wine psapi's functions are small stubs over kernel32's K32 functions; the launcher's
calls show up as psapi.EnumProcesses and so on (a K32 name is accepted as the same call, in
case a Wine version forwards the exports instead)."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import winehelp
from winehelp import PACKAGE_WIN, host, wine, wine_env

VERSION = sys.argv[3] if len(sys.argv) > 3 else None

# What each version must look like. getversion: (NT family, major, minor) as GetVersion gives
# them to the launcher; refuses: whether a running foreign image of that name stops it.
EXPECT = {
    "nt40": {
        "getversion": (True, 4, 0),
        "route": "psapi",
        "refuses": {"C:\\Tools\\xbv_setup.exe": True, "C:\\SETUP\\BV_SETUP.EXE": False},
    },
    "win98": {
        "getversion": (False, 4, 10),
        "route": "toolhelp",
        "refuses": {"C:\\Tools\\xbv_setup.exe": False, "C:\\SETUP\\BV_SETUP.EXE": True},
    },
}

GUARD_TEXT = ("An instance of this Setup is already running.  Please close all Setups before "
              "running this one.")
PSAPI_NAMES = {"EnumProcesses", "EnumProcessModules", "GetModuleFileNameExA"}
TOOLHELP_NAMES = {"CreateToolhelp32Snapshot", "Process32First", "Process32Next",
                  "Module32First", "Module32Next"}
ROUTE_FUNCS = PSAPI_NAMES | TOOLHELP_NAMES
RELAY_INCLUDE = ";".join(
    ["user32.MessageBoxA", "msvcrt.strstr"]
    + ["kernel32." + f for f in ("GetVersion", "LoadLibraryA", "GetProcAddress", "FreeLibrary",
                                 "OpenProcess", "CloseHandle", "CreateProcessA", "Sleep")]
    + ["kernel32." + f for f in sorted(TOOLHELP_NAMES)]
    + ["psapi." + f for f in sorted(PSAPI_NAMES)]
    + ["kernel32.K32" + f for f in sorted(PSAPI_NAMES)])
DEBUG_KEY = "HKCU\\Software\\Wine\\Debug"

CALL = re.compile(r"^([0-9a-f]+):Call (\w+)\.(\w+)\((.*)\) ret=[0-9a-f]+$")
RET = re.compile(r"^([0-9a-f]+):Ret  (\w+)\.(\w+)\(\) retval=([0-9a-f]+) ret=[0-9a-f]+$")
LOADED = re.compile(r'^([0-9a-f]+):trace:loaddll:\w+ Loaded L"(.*)" at [0-9A-Fa-f]+: \w+')
QUOTED = re.compile(r'L?"((?:[^"\\]|\\.)*)"')


def unescape(text):
    return re.sub(r"\\(.)", r"\1", text)


class Call:
    """One relayed call: dll, function (a K32 prefix dropped), string and number arguments."""

    def __init__(self, tid, dll, func, raw):
        self.tid, self.dll, self.raw = tid, dll.lower(), raw
        self.func = func[3:] if func.startswith("K32") else func
        self.strs = [unescape(s) for s in QUOTED.findall(raw)]
        self.nums = [int(t.split()[0], 16) if t.split() else None
                     for t in QUOTED.sub("", raw).split(",")]
        self.retval = None

    def __repr__(self):
        return f"{self.dll}.{self.func}({self.raw}) = {self.retval}"


class Enumeration:
    """One IsImageRunning call: the route library loaded, the calls made, the library freed."""

    def __init__(self, load):
        self.load, self.calls, self.free = load, [], None

    def of(self, *funcs):
        return [c for c in self.calls if c.func in funcs]


def parse_relay(text):
    """The launcher's relayed calls in order, with their return values, and the files that
    its thread loaded. Only launcher.exe's own calls are relayed (RelayFromInclude); the
    launcher's thread is the one that asks GetVersion."""
    calls, stacks = [], {}
    for line in text.splitlines():
        m = CALL.match(line)
        if m:
            call = Call(*m.groups())
            calls.append(call)
            stacks.setdefault(call.tid, []).append(call)
            continue
        m = RET.match(line)
        if m:
            tid, _, func, retval = m.groups()
            func = func[3:] if func.startswith("K32") else func
            stack = stacks.get(tid, [])
            for i in range(len(stack) - 1, -1, -1):
                if stack[i].func == func:
                    stack[i].retval = int(retval, 16)
                    del stack[i:]
                    break
    tids = {c.tid for c in calls if c.func == "GetVersion"}
    if len(tids) != 1:
        raise AssertionError(f"GetVersion asked by threads {tids}, expected one launcher")
    tid = tids.pop()
    loaded = [unescape(m.group(2)) for m in map(LOADED.match, text.splitlines())
              if m and m.group(1) == tid]
    return [c for c in calls if c.tid == tid], loaded


def split_enumerations(calls):
    """The calls of each enumeration, and the calls made outside any."""
    enums, outside, current = [], [], None
    for call in calls:
        if current is None:
            if (call.func == "LoadLibraryA" and call.strs and
                    re.search(r"(^|\\)(psapi|kernel32)\.dll$", call.strs[0], re.I)):
                current = Enumeration(call)
                if not call.retval:
                    raise AssertionError(f"route library not loaded: {call}")
            else:
                outside.append(call)
        elif call.func == "FreeLibrary" and call.nums[0] == current.load.retval:
            current.free = call
            enums.append(current)
            current = None
        else:
            current.calls.append(call)
    if current is not None:
        raise AssertionError(f"route library never freed: {current.load}")
    return enums, outside


def system_directory():
    wow = "C:\\windows\\syswow64"
    return wow if os.path.isdir(host(wow)) else "C:\\windows\\system32"


def setUpModule():
    if VERSION not in EXPECT:
        raise SystemExit(f"test_platforms.py: unknown Windows version {VERSION!r}, "
                         f"expected one of {sorted(EXPECT)}")
    winehelp.make_prefix(VERSION)
    # Relay only launcher.exe's own calls: the default RelayFromExclude list would win over
    # RelayFromInclude, so it goes.
    wine("reg", "add", DEBUG_KEY, "/v", "RelayInclude", "/d", RELAY_INCLUDE, "/f")
    wine("reg", "delete", DEBUG_KEY, "/v", "RelayFromExclude", "/f", check=False)
    wine("reg", "add", DEBUG_KEY, "/v", "RelayFromInclude", "/d", "launcher.exe", "/f")


def tearDownModule():
    winehelp.drop_prefix()


class Platform(winehelp.LauncherRun):
    def setUp(self):
        super().setUp()
        self.expect = EXPECT[VERSION]
        self.scratch = tempfile.mkdtemp(prefix="launcher-platforms-")
        self.addCleanup(shutil.rmtree, self.scratch, True)

    # --- running things -------------------------------------------------------------------

    def run_traced(self, *args, **engine_env):
        """Runs the launcher under relay; its end is taken when its own process ends, not
        when the last process holding its stderr does. at_end (a function) is called at that
        moment, before the prefix's other processes are waited for. Returns a dict: code,
        boxes, calls, loaded, enums, outside, seconds, and at_end's result."""
        at_end = engine_env.pop("at_end", lambda: None)
        env = wine_env(relay=True)
        env["WINEDEBUG"] = "+relay,+loaddll"
        env["BV_TEST_RECORD"] = "C:\\temp\\engine.txt"
        env.update(engine_env)
        err_path = os.path.join(self.scratch, f"relay{len(os.listdir(self.scratch))}.txt")
        start = time.monotonic()
        with open(err_path, "w") as err:
            proc = subprocess.Popen(["wine", PACKAGE_WIN + "\\launcher.exe", *args], env=env,
                                    stdout=subprocess.DEVNULL, stderr=err)
            try:
                code = proc.wait(timeout=300)
            finally:
                if proc.poll() is None:
                    proc.kill()
            seconds = time.monotonic() - start
            at_end_result = at_end()
            winehelp.wait_prefix_idle()
        with open(err_path, encoding="latin-1") as f:
            text = f.read()
        boxes = [(m.group(3), m.group(2), int(m.group(4), 16), m.group(1))
                 for m in winehelp.BOX.finditer(text)]
        calls, loaded = parse_relay(text)
        enums, outside = split_enumerations(calls)
        return {"code": code, "boxes": boxes, "calls": calls, "loaded": loaded,
                "enums": enums, "outside": outside, "seconds": seconds, "at_end": at_end_result}

    def start_engine(self, image_win, record, **engine_env):
        """Starts a test engine under the given path, left running; returns once it has
        recorded its start."""
        env = dict(wine_env(), BV_TEST_RECORD=record, **engine_env)
        proc = subprocess.Popen(["wine", image_win], env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        deadline = time.monotonic() + 60
        while not os.path.exists(host(record)) and time.monotonic() < deadline:
            self.assertIsNone(proc.poll(), f"{image_win} ended before it recorded its start")
            time.sleep(0.1)
        self.assertTrue(os.path.exists(host(record)), f"{image_win} never started")
        return proc

    # --- the route's marks in the relay trace ---------------------------------------------

    def check_run(self, run):
        """One GetVersion call with the version's bits before any enumeration, every
        enumeration of the version's route, no route function called outside one. Returns
        the hit flag of each enumeration."""
        nt, major, minor = self.expect["getversion"]
        self.assertTrue(run["enums"], "IsImageRunning loaded its route's library")
        versions = [c for c in run["calls"] if c.func == "GetVersion"]
        self.assertEqual(1, len(versions), "GetVersion is asked once per run")
        value = versions[0].retval
        self.assertEqual((nt, major, minor),
                         ((value & 0x80000000) == 0, value & 0xFF, (value >> 8) & 0xFF),
                         f"GetVersion gave {value:#010x}")
        self.assertLess(run["calls"].index(versions[0]),
                        run["calls"].index(run["enums"][0].load))
        self.assertEqual([], [c for c in run["outside"] if c.func in ROUTE_FUNCS or
                              (c.func == "GetProcAddress" and c.strs and
                               c.strs[0] in ROUTE_FUNCS)],
                         "route functions are used only inside an enumeration")
        check = self.check_psapi if self.expect["route"] == "psapi" else self.check_toolhelp
        hits = [check(e) for e in run["enums"]]
        psapi_loads = [p for p in run["loaded"] if p.lower().endswith("\\psapi.dll")]
        if self.expect["route"] == "psapi":
            self.assertEqual({system_directory().lower() + "\\psapi.dll"},
                             {p.lower() for p in psapi_loads},
                             "psapi.dll is loaded from the system directory")
        else:
            self.assertEqual([], psapi_loads, "psapi.dll is never loaded off NT 4")
        return hits

    def check_lookups(self, enum, names):
        lookups = enum.of("GetProcAddress")
        self.assertEqual(sorted(names), sorted(c.strs[0] for c in lookups))
        for c in lookups:
            self.assertEqual(enum.load.retval, c.nums[0], f"looked up in the route's library: {c}")
            self.assertTrue(c.retval, f"found: {c}")

    def check_psapi(self, enum):
        self.assertEqual(system_directory().lower() + "\\psapi.dll", enum.load.strs[0].lower(),
                         "psapi.dll is asked for by its full system-directory path")
        self.check_lookups(enum, PSAPI_NAMES)
        walks = enum.of("EnumProcesses")
        self.assertEqual(1, len(walks))
        self.assertTrue(walks[0].retval)
        opens = enum.of("OpenProcess")
        self.assertTrue(opens, "processes are opened")
        self.assertEqual(sorted(c.retval for c in opens if c.retval),
                         sorted(c.nums[0] for c in enum.of("CloseHandle")),
                         "every opened process is closed")
        searches = [c for c in enum.of("strstr") if c.strs[1:] == ["bv_setup.exe"]]
        self.assertTrue(searches, "module paths are searched for bv_setup.exe")
        hits = [c for c in searches if c.retval]
        if hits:
            rest = enum.calls[enum.calls.index(hits[0]) + 1:]
            self.assertEqual(["CloseHandle"], [c.func for c in rest],
                             "the first hit ends the walk")
        return bool(hits)

    def check_toolhelp(self, enum):
        self.assertEqual("kernel32.dll", enum.load.strs[0].lower())
        self.check_lookups(enum, TOOLHELP_NAMES)
        snaps = enum.of("CreateToolhelp32Snapshot")
        self.assertEqual(1, len(snaps))
        snapshot = snaps[0].retval
        self.assertNotEqual(0xFFFFFFFF, snapshot)
        walk = enum.of("Process32First", "Process32Next")
        self.assertEqual("Process32First", walk[0].func)
        self.assertEqual(["Process32Next"] * (len(walk) - 1), [c.func for c in walk[1:]])
        self.assertEqual({snapshot}, {c.nums[0] for c in walk})
        self.assertEqual([snapshot], [c.nums[0] for c in enum.of("CloseHandle")])
        self.assertEqual("CloseHandle", enum.calls[-1].func, "the snapshot is closed last")
        # The walk breaks off at a match: its last step then still delivered an entry.
        return bool(walk[-1].retval)

    # --- the tests ------------------------------------------------------------------------

    def test_plain_run_takes_the_route(self):
        run = self.run_traced("LOG")
        self.assertEqual((0, []), (run["code"], run["boxes"]))
        hits = self.check_run(run)
        self.assertGreaterEqual(len(hits), 2, "the guard and at least one wait poll")
        self.assertEqual([False] * len(hits), hits, "no engine ran at any poll")
        self.assertEqual("End: WinMain().", self.trace()[-1])

    def test_guard_refuses_while_an_engine_runs(self):
        first = self.start_engine(PACKAGE_WIN + "\\bv_setup.exe", "C:\\temp\\first.txt",
                                  BV_TEST_SLEEP_MS="8000",
                                  BV_TEST_WRITE_FILE="C:\\temp\\first_done.txt")
        run = self.run_traced("LOG", at_end=first.poll)
        self.assertIsNone(run["at_end"], "the running engine is undisturbed")
        self.assertEqual(1, run["code"])
        self.assertEqual([("Launcher Error", GUARD_TEXT, 0x10, "00000000")], run["boxes"])
        self.assertEqual(["Begin: WinMain()."], self.trace())
        self.assertEqual([True], self.check_run(run), "one enumeration, and it found the engine")
        self.assertEqual([], [c for c in run["calls"] if c.func == "CreateProcessA"])
        self.assertFalse(os.path.exists(host("C:\\temp\\engine.txt")), "no engine started")
        if self.expect["route"] == "psapi":
            hit = [c for c in run["enums"][0].of("strstr") if c.retval]
            self.assertEqual(PACKAGE_WIN + "\\bv_setup.exe", hit[0].strs[0])
        self.assertEqual(0, first.wait(timeout=60))
        self.assertTrue(os.path.exists(host("C:\\temp\\first_done.txt")),
                        "the engine ran to its end")
        self.assertEqual(3, len(self.engine_record_of("C:\\temp\\first.txt")))

    def test_wait_covers_the_engines_copy(self):
        marker = "C:\\temp\\copy_done.txt"
        run = self.run_traced("LOG", BV_TEST_SPAWN_COPY_MS="2000", BV_TEST_WRITE_FILE=marker,
                              at_end=lambda: os.path.exists(host(marker)))
        self.assertTrue(run["at_end"], "the copy had ended when the launcher's process ended")
        self.assertEqual((0, []), (run["code"], run["boxes"]))
        self.assertGreaterEqual(run["seconds"], 2.0)
        hits = self.check_run(run)
        self.assertFalse(hits[0], "no engine ran at the guard")
        waits = hits[1:]
        self.assertGreater(sum(waits), 0, "wait polls found the copy while it lived")
        self.assertFalse(waits[-1], "the wait ended at the first poll that found none")
        self.assertEqual([True] * (len(waits) - 1), waits[:-1],
                         "every poll before the last found the copy")
        lines = [l for l in self.trace() if l.startswith("Waiting for bv_setup.exe")]
        self.assertEqual(len(waits), len(lines), "one traced wait line per poll")
        launch = next(i for i, c in enumerate(run["calls"]) if c.func == "CreateProcessA")
        sleeps = [c for c in run["calls"][launch:] if c.func == "Sleep"]
        self.assertEqual([5] * len(waits), [c.nums[0] for c in sleeps],
                         "5 ms before each poll")
        self.assertEqual(3, len(self.engine_record_of("C:\\temp\\engine.txt")),
                         "one engine started by the launcher; the copy records nothing")

    def test_name_rule_of_the_route(self):
        for image, refuses in sorted(self.expect["refuses"].items()):
            with self.subTest(image=image):
                self.addCleanup(shutil.rmtree, host(image.rsplit("\\", 1)[0]), True)
                os.makedirs(host(image.rsplit("\\", 1)[0]), exist_ok=True)
                shutil.copy(winehelp.ENGINE, host(image))
                for name in ("launcher.log", "engine.txt", "foreign.txt"):
                    if os.path.exists(host("C:\\temp\\" + name)):
                        os.remove(host("C:\\temp\\" + name))
                foreign = self.start_engine(image, "C:\\temp\\foreign.txt",
                                            BV_TEST_SLEEP_MS="8000")
                run = self.run_traced("LOG", at_end=foreign.poll)
                self.assertIsNone(run["at_end"],
                                  "the foreign process still ran when the launcher ended")
                if refuses:
                    self.assertEqual(1, run["code"])
                    self.assertEqual([("Launcher Error", GUARD_TEXT, 0x10, "00000000")],
                                     run["boxes"])
                    self.assertEqual(["Begin: WinMain()."], self.trace())
                    self.assertEqual([True], self.check_run(run))
                    if self.expect["route"] == "psapi":
                        hit = [c for c in run["enums"][0].of("strstr") if c.retval]
                        self.assertEqual(image, hit[0].strs[0])
                else:
                    self.assertEqual((0, []), (run["code"], run["boxes"]))
                    self.assertEqual("End: WinMain().", self.trace()[-1])
                    hits = self.check_run(run)
                    self.assertEqual([False] * len(hits), hits,
                                     "neither the guard nor the wait saw it")
                self.assertEqual(0, foreign.wait(timeout=60))
                winehelp.wait_prefix_idle()

    def engine_record_of(self, path):
        with open(host(path), encoding="latin-1") as f:
            return f.read().splitlines()


if __name__ == "__main__":
    winehelp.main()
