"""Installation record scenarios under Wine: an earlier installation planted with exact bytes,
the launcher run with an engine that looks and acts, the state read back with exact bytes.

The test engine doubles as the tool that plants and reads the registry (see its header
comment): it goes through RegSetValueExA and RegQueryValueExA, the calls the launcher makes, so
a value's type and ANSI bytes are compared as the launcher sees them. Its first key is the
product's uninstall key, its second the launcher's journal of what a run set aside. Files are
planted and read from the Linux side. Between the runs of one test the prefix's wineserver is
kept alive, so each Wine call costs a fraction of a second: an idle process (a copy of the
engine under another image name, which neither the launcher's guard nor its wait counts) keeps
the server and Wine's own system processes alive. Else each call would start them anew, with
the call's output pipes inherited, and wait seconds for them to end."""
import os
import shutil
import subprocess
import time

import winehelp
from winehelp import ENGINE, INFO_ROOT, UNINSTALL_KEY, host, wine_env

KEY = UNINSTALL_KEY.split("\\", 1)[1]  # the key path under HKLM
GUID = "{E2E-GUID}"
JOURNAL_KEY = winehelp.JOURNAL_KEY.split("\\", 1)[1]
PF_DIR = INFO_ROOT + "\\" + GUID  # the Program Files route's directory
VALUE = "UninstallString"
# The journal's values, named apart from the product key's by this mark.
JOURNAL = "journal:"
J_VALUE, J_LOG = JOURNAL + VALUE, JOURNAL + "SetupLog"
NAMES = (VALUE, J_VALUE, J_LOG)
REG_SZ, REG_EXPAND_SZ = 1, 2
PREFIX = b"UninstallString="
ORIGINAL_LOG = b"original log\r\n\x00\xfe binary \x1a tail\n"
ENGINE_LOG = b"engine's new log\r\n"
ANSI = "cp1252"  # the prefix's ANSI code page: Wine takes it from the (C) Unix locale
PROBE = "C:\\temp\\probe.txt"
RECORD = "C:\\temp\\engine.txt"
NOKEY = "nokey"
NO_JOURNAL = {J_VALUE: NOKEY, J_LOG: NOKEY}  # how the journal reads when its key is gone
IDLE_DIR = "C:\\keepalive"
# Directories that a scenario may plant: each test starts without them.
OTHER_ROOTS = ("C:\\Brevane Apps", "C:\\Pr\u00fcf Ordner")


def upper_ascii(text):
    """The launcher's upper-casing of the uninstall command: a to z only."""
    return "".join(c.upper() if "a" <= c <= "z" else c for c in text)


def sz(text, type_=REG_SZ):
    """A string value as RegQueryValueExA delivers it under Wine: ANSI bytes and a zero."""
    return (type_, text.encode(ANSI) + b"\0")


def env_text(text):
    """An environment text for the engine that arrives byte for byte in the ANSI code page."""
    return "hex:" + text.encode(ANSI).hex()


def record_of(value):
    """The stash record of a value taken away: prefix, text, its zero; LF becomes CR LF."""
    text = value[1].split(b"\0", 1)[0] + b"\0"
    return PREFIX + text.replace(b"\n", b"\r\n")


def text_mode(data):
    """Bytes as the runtime writes them through a text-mode stream."""
    return data.replace(b"\n", b"\r\n")


def set_values_env(values):
    """BV_TEST_SET_VALUES for a {name: (type, bytes)} map; an empty map only creates the key."""
    return ";".join(f"{n}|{t}|{b.hex()}" for n, (t, b) in values.items()) or ";"


def split_names(names):
    """(the product key's names, the journal's names without their mark)."""
    return ([n for n in names if not n.startswith(JOURNAL)],
            [n[len(JOURNAL):] for n in names if n.startswith(JOURNAL)])


def parse_record(data, files, names):
    """(files {path: bytes or None}, values {name: (type, bytes), None or NOKEY}) of the last
    "see" lines in an engine record, in the order asked."""
    product, journal = split_names(names)
    names = product + [JOURNAL + n for n in journal]  # the order the engine sees them in
    lines = data.replace(b"\r\n", b"\n").split(b"\n")  # the engine writes in text mode
    file_lines = [l for l in lines if l.startswith(b"file ")]
    value_lines = [l for l in lines if l.startswith(b"value ")]
    seen_files, seen_values = {}, {}
    for path, line in zip(files, file_lines[len(file_lines) - len(files):] if files else []):
        text = line.rpartition(b"=")[2].decode("ascii")
        seen_files[path] = None if text == "absent" else bytes.fromhex(text)
    for name, line in zip(names, value_lines[len(value_lines) - len(names):] if names else []):
        text = line.rpartition(b"=")[2].decode("ascii")
        if text in ("absent", NOKEY):
            seen_values[name] = None if text == "absent" else NOKEY
        else:
            type_, _, hexbytes = text.partition(":")
            seen_values[name] = (int(type_), bytes.fromhex(hexbytes))
    return seen_files, seen_values


def see_env(files, names=NAMES):
    """Engine variables that make it record the given files and values."""
    env = {"BV_TEST_KEY": KEY, "BV_TEST_KEY2": JOURNAL_KEY}
    product, journal = split_names(names)
    if files:
        env["BV_TEST_SEE_FILES"] = env_text("|".join(files))
    if product:
        env["BV_TEST_SEE_VALUES"] = "|".join(product)
    if journal:
        env["BV_TEST_SEE_VALUES2"] = "|".join(journal)
    return env


def log_files(log_dir):
    return {"zmf": log_dir + "\\setup.zmf", "z_f": log_dir + "\\setup.z_f",
            "dat": log_dir + "\\uninst.dat"}


def read(path):
    """A file's bytes; none while it does not exist."""
    try:
        with open(host(path), "rb") as f:
            return f.read()
    except OSError:
        return b""


class ScenarioRun(winehelp.LauncherRun):
    """A LauncherRun whose tests run several scenarios each, resetting between them."""

    def setUp(self):
        super().setUp()
        self.keep_prefix_alive()
        self.reset()

    def keep_prefix_alive(self):
        """Starts the idle process; it is killed when the test ends, before winehelp's next
        wait for an idle prefix."""
        os.makedirs(host(IDLE_DIR), exist_ok=True)
        shutil.copy(ENGINE, host(IDLE_DIR + "\\idle.exe"))
        self.idle = subprocess.Popen(["wine", IDLE_DIR + "\\idle.exe"],
                                     env=dict(wine_env(), BV_TEST_SLEEP_MS="3600000"),
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop_idle)

    def stop_idle(self):
        if self.idle.poll() is None:
            self.idle.kill()
        self.idle.wait(timeout=60)

    def restart_wine_server(self):
        """Ends every process of the prefix with its server (the registry is saved), and
        starts the idle process anew; the tool's run waits for Wine's own processes, so that
        no later call's output pipes are inherited by them."""
        self.stop_idle()
        subprocess.run(["wineserver", "-k"], env=wine_env(), timeout=60)
        winehelp.wait_prefix_idle()
        self.keep_prefix_alive()
        self.tool()

    def reset(self):
        for root in (INFO_ROOT,) + OTHER_ROOTS:
            shutil.rmtree(host(root), ignore_errors=True)
        for path in (RECORD, PROBE, "C:\\temp\\launcher.log"):
            if os.path.exists(host(path)):
                os.remove(host(path))

    def tool(self, **engine_env):
        """Runs the test engine alone, as a tool; returns its record's bytes."""
        if os.path.exists(host(PROBE)):
            os.remove(host(PROBE))
        env = wine_env()
        env.update({"BV_TEST_RECORD": PROBE, "BV_TEST_KEY": KEY, "BV_TEST_KEY2": JOURNAL_KEY},
                   **engine_env)
        subprocess.run(["wine", ENGINE], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120,
                       check=True)
        with open(host(PROBE), "rb") as f:
            return f.read()

    def plant(self, values=None, files=None, journal=None):
        """Lays out files {windows path: bytes} and makes the product key and the journal key
        hold exactly the values {name: (type, bytes)}; None: no key at all."""
        for path, data in (files or {}).items():
            os.makedirs(os.path.dirname(host(path)), exist_ok=True)
            with open(host(path), "wb") as f:
                f.write(data)
        env = {"BV_TEST_DELETE_KEY": "1", "BV_TEST_DELETE_KEY2": "1"}
        if values is not None:
            env["BV_TEST_SET_VALUES"] = set_values_env(values)
        if journal is not None:
            env["BV_TEST_SET_VALUES2"] = set_values_env(journal)
        self.tool(**env)

    def state(self, files, names=NAMES):
        """What is there now, read the way the launcher reads it: ({path: bytes or None},
        {name: (type, bytes), None or NOKEY})."""
        record = self.tool(**see_env(files, names))
        return parse_record(record, files, names)

    def assert_intact(self, log_dir, value, msg=""):
        """The earlier installation as it was planted: its setup log, its UninstallString
        (None: absent), no backup log, no stash record, no journal."""
        files = log_files(log_dir)
        self.assertEqual(({files["zmf"]: ORIGINAL_LOG, files["z_f"]: None, files["dat"]: None},
                          dict({VALUE: value}, **NO_JOURNAL)),
                         self.state((files["zmf"], files["z_f"], files["dat"])), msg)

    def run_scenario(self, files=(), names=NAMES, **engine_env):
        """Runs the traced launcher with an engine that first records the given files and
        values and then does what engine_env asks. Returns (exit code, boxes, what the engine
        saw as in state())."""
        for path in (RECORD, "C:\\temp\\launcher.log"):
            if os.path.exists(host(path)):
                os.remove(host(path))
        env = see_env(files, names)
        env.update(engine_env)
        code, boxes = self.run_launcher("LOG", wait_all=False, **env)
        if not os.path.exists(host(RECORD)):
            self.fail(f"no engine ran: exit code {code}, boxes {boxes}\n{self.trace_text()}")
        with open(host(RECORD), "rb") as f:
            seen = parse_record(f.read(), files, names)
        return code, boxes, seen

    def wait_until(self, condition, message):
        """Polls condition every millisecond; fails after a minute."""
        deadline = time.monotonic() + 60
        while not condition():
            if time.monotonic() > deadline:
                self.fail(message)
            time.sleep(0.001)

    def trace_text(self):
        try:
            return "\n".join(self.trace())
        except OSError as e:
            return f"(no trace: {e})"
