"""An earlier installation under Wine, planted with exact bytes, the launcher run with an engine
that looks and acts, the state read back with exact bytes.

The test engine doubles as the tool that plants and reads the registry (see its header
comment): it goes through RegSetValueExA and RegQueryValueExA, the calls the launcher makes, so
a value's type and ANSI bytes are compared as the launcher sees them. Its first key is the
product's uninstall key, its second the launcher's journal of what a run set aside. Files are
planted and read from the Linux side. Meanwhile the prefix's wineserver is kept alive, so each
Wine call costs a fraction of a second: an idle process (a copy of the engine under another
image name, which neither the launcher's guard nor its wait counts) keeps the server and Wine's
own system processes alive. Else each call would start them anew, with the call's output pipes
inherited, and wait seconds for them to end."""
import shutil
import subprocess

from winehelp import INFO_ROOT, JOURNAL_KEY, RECORD, TRACE, UNINSTALL_KEY

KEY = UNINSTALL_KEY.split("\\", 1)[1]  # the key paths under HKLM
JOURNAL = JOURNAL_KEY.split("\\", 1)[1]
GUID = "{E2E-GUID}"
PF_DIR = INFO_ROOT + "\\" + GUID  # the Program Files route's directory
OWN_DIR = "C:\\Brevane Apps\\Info\\" + GUID  # a directory named only by the uninstall command
VALUE = "UninstallString"
# The journal's values, named apart from the product key's by this mark.
J_VALUE, J_LOG = "journal:" + VALUE, "journal:SetupLog"
NAMES = (VALUE, J_VALUE, J_LOG)
REG_SZ, REG_EXPAND_SZ = 1, 2
PREFIX = b"UninstallString="
ORIGINAL_LOG = b"original log\r\n\x00\xfe binary \x1a tail\n"
ENGINE_LOG = b"engine's new log\r\n"
ANSI = "cp1252"  # the prefix's ANSI code page: Wine takes it from the (C) Unix locale
PROBE = "C:\\temp\\probe.txt"
NOKEY = "nokey"
NO_JOURNAL = {J_VALUE: NOKEY, J_LOG: NOKEY}  # how the journal reads when its key is gone
IDLE = "C:\\keepalive\\idle.exe"
# Directories that a scenario may plant: each test starts without them.
OTHER_ROOTS = ("C:\\Brevane Apps", "C:\\Pr\u00fcf Ordner")


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


def set_values(values):
    """BV_TEST_SET_VALUES for a {name: (type, bytes)} map; an empty map only creates the key."""
    return ";".join(f"{n}|{t}|{b.hex()}" for n, (t, b) in values.items()) or ";"


def new_log(path, data=ENGINE_LOG):
    """Engine variables that make it write a new setup log."""
    return {"BV_TEST_NEW_FILE": env_text(path), "BV_TEST_NEW_FILE_HEX": data.hex()}


class Installation:
    """An earlier installation: its setup log's directory, its UninstallString as (type, bytes)
    or None (with has_key False: no product key at all), and the directory the launcher is to
    find it by (as it spells it: upper-cased on the uninstall command route)."""

    def __init__(self, log_dir, value, found_as=None, has_key=True):
        self.log_dir, self.value, self.has_key = log_dir, value, has_key
        self.no_value = None if has_key else NOKEY  # what a missing value reads as
        self.found_as = found_as or log_dir
        self.zmf, self.z_f, self.dat = (log_dir + "\\" + n
                                        for n in ("setup.zmf", "setup.z_f", "uninst.dat"))
        self.paths = (self.zmf, self.z_f, self.dat)
        self.journal_log = sz(self.found_as + "\\setup.zmf")  # the journal's SetupLog
        # A value of up to 284 bytes (terminator included) fits the stash and is taken away.
        self.taken = value is not None and len(value[1]) <= 284

    def intact(self, value=...):
        """The state as planted: the setup log, the value (or the one given), nothing aside."""
        return ({self.zmf: ORIGINAL_LOG, self.z_f: None, self.dat: None},
                dict({VALUE: self.value or self.no_value if value is ... else value},
                     **NO_JOURNAL))


def by_command(keyword, log_dir, tail="", type_=REG_SZ, program="bv_setup.exe"):
    """An installation found by its uninstall command: the launcher cuts it at "LAUNCHSETUP"
    in any letter case and upper-cases what follows (a to z only)."""
    command = f'C:\\Brevane Apps\\{keyword} "{log_dir}\\{program}"{tail}'
    found_as = "".join(c.upper() if "a" <= c <= "z" else c for c in log_dir)
    return Installation(log_dir, sz(command, type_), found_as)


def parse_record(data, files, names):
    """(files {path: bytes or None}, values {name: (type, bytes), None or NOKEY}) of the last
    "see" lines in an engine record; the product key's values are seen before the journal's."""
    names = sorted(names, key=lambda n: n.startswith("journal:"))
    lines = data.replace(b"\r\n", b"\n").split(b"\n")  # the engine writes in text mode
    seen = []
    for kind, keys in ((b"file ", files), (b"value ", names)):
        found = [l.rpartition(b"=")[2].decode() for l in lines if l.startswith(kind)]
        found = found[len(found) - len(keys):] if keys else []
        seen.append({k: None if t == "absent" else NOKEY if t == NOKEY else
                     bytes.fromhex(t) if kind == b"file " else
                     (int(t.partition(":")[0]), bytes.fromhex(t.partition(":")[2]))
                     for k, t in zip(keys, found)})
    return tuple(seen)


def see_env(files, names=NAMES):
    """Engine variables that make it record the given files and values."""
    env = {"BV_TEST_KEY": KEY, "BV_TEST_KEY2": JOURNAL}
    product = [n for n in names if not n.startswith("journal:")]
    journal = [n[len("journal:"):] for n in names if n.startswith("journal:")]
    for var, items in (("BV_TEST_SEE_FILES", files), ("BV_TEST_SEE_VALUES", product),
                       ("BV_TEST_SEE_VALUES2", journal)):
        if items:
            env[var] = env_text("|".join(items)) if var.endswith("FILES") else "|".join(items)
    return env


class Earlier:
    """Plants an earlier installation and reads it back while the prefix's server is kept
    alive. Wine calls here make no output pipes and do not wait for the prefix to idle."""

    def __init__(self, pkg):
        self.pkg, self.prefix = pkg, pkg.prefix
        for root in OTHER_ROOTS:
            shutil.rmtree(self.prefix.host(root), ignore_errors=True)
        self.start_idle()

    def start_idle(self):
        self.prefix.write(IDLE, open(self.pkg.engine, "rb").read())
        self.idle = self.prefix.start(IDLE, BV_TEST_SLEEP_MS="3600000")

    def stop_idle(self):
        if self.idle.poll() is None:
            self.idle.kill()
        self.idle.wait(timeout=60)

    def restart_wine_server(self):
        """Ends every process of the prefix with its server (the registry is saved), and
        starts the idle process anew; the tool's run waits for Wine's own processes, so that
        no later call's output pipes are inherited by them."""
        self.stop_idle()
        subprocess.run(["wineserver", "-k"], env=self.prefix.env(), timeout=60)
        self.prefix.wait_idle()
        self.start_idle()
        self.tool()

    def tool(self, **engine_env):
        """Runs the test engine alone, as a tool; returns its record's bytes."""
        self.prefix.remove(PROBE)
        proc = self.prefix.start(self.pkg.engine, **{
            "BV_TEST_RECORD": PROBE, "BV_TEST_KEY": KEY, "BV_TEST_KEY2": JOURNAL, **engine_env})
        assert proc.wait(timeout=120) == 0
        return self.prefix.read(PROBE)

    def plant(self, values=None, files=None, journal=None):
        """Lays out files {windows path: bytes} and makes the product key and the journal key
        hold exactly the values {name: (type, bytes)}; None: no key at all."""
        for path, data in (files or {}).items():
            self.prefix.write(path, data)
        env = {"BV_TEST_DELETE_KEY": "1", "BV_TEST_DELETE_KEY2": "1"}
        if values is not None:
            env["BV_TEST_SET_VALUES"] = set_values(values)
        if journal is not None:
            env["BV_TEST_SET_VALUES2"] = set_values(journal)
        self.tool(**env)

    def install(self, inst):
        """The installation as it is before any launcher ran, checked as planted."""
        values = {VALUE: inst.value} if inst.value else {} if inst.has_key else None
        self.plant(values, {inst.zmf: ORIGINAL_LOG})
        assert self.state(inst.paths) == inst.intact(), "planted as meant"

    def state(self, files, names=NAMES):
        """What is there now, read the way the launcher reads it: ({path: bytes or None},
        {name: (type, bytes), None or NOKEY})."""
        return parse_record(self.tool(**see_env(files, names)), files, names)

    def run(self, files=(), names=NAMES, **engine_env):
        """Runs the traced launcher with an engine that first records the given files and
        values and then does what engine_env asks. Returns (exit code, boxes, what the engine
        saw as in state())."""
        self.prefix.remove(RECORD, TRACE)
        code, boxes = self.pkg.run("LOG", wait_all=False, **see_env(files, names), **engine_env)
        record = self.prefix.read(RECORD)
        assert record is not None, f"no engine ran: exit code {code}, boxes {boxes}"
        return code, boxes, parse_record(record, files, names)
