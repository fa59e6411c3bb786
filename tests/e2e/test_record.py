"""Nothing of an earlier installation is lost: its setup log and its UninstallString under Wine,
a real registry and real files, whatever the engine does during its run.

Each installation is found by one of the two routes (the uninstall command's "LAUNCHSETUP" cut
in any letter case, or ProgramFilesDir); for each the engine writes a new setup log or none,
deletes the value, writes its own or deletes the whole key. During the run the engine records
what it sees; after it the log's bytes and the value's type and bytes are compared with what
they were before, and the journal of what the run set aside is gone."""
import winehelp
from scenario import (ENGINE_LOG, GUID, J_LOG, J_VALUE, NO_JOURNAL, NOKEY, ORIGINAL_LOG,
                      PF_DIR, PREFIX, REG_EXPAND_SZ, REG_SZ, VALUE, ScenarioRun, env_text,
                      log_files, record_of, sz, upper_ascii)


def setUpModule():
    winehelp.make_prefix()


def tearDownModule():
    winehelp.drop_prefix()


OWN_DIR = "C:\\Brevane Apps\\Info\\" + GUID  # a directory named only by the uninstall command
HIGH_DIR = "C:\\Pr\u00fcf Ordner\\Info \u00e9 " + GUID  # blanks and bytes from 0x80 up


class Installation:
    """An earlier installation: its setup log's directory, its UninstallString as
    (type, bytes) or None (no product key at all), and the directory the launcher is to find
    it by (as it spells it: upper-cased on the uninstall command route)."""

    def __init__(self, log_dir, value, found_as=None, has_key=True):
        self.log_dir = log_dir
        self.value = value
        self.has_key = has_key
        self.no_value = None if has_key else NOKEY  # what a missing value reads as
        self.found_as = found_as or log_dir
        self.files = log_files(log_dir)
        self.paths = (self.files["zmf"], self.files["z_f"], self.files["dat"])
        # A value of up to 284 bytes (terminator included) fits the stash and is taken away.
        self.taken = value is not None and len(value[1]) <= 284
        # The stash record: the value's text, or the bare prefix when nothing was taken; with
        # no key there is none.
        self.record_during_run = (record_of(value) if self.taken else
                                  PREFIX if has_key else None)


def by_command(keyword, log_dir, tail, type_, program="bv_setup.exe"):
    command = f'C:\\Brevane Apps\\{keyword} "{log_dir}\\{program}"{tail}'
    return Installation(log_dir, sz(command, type_), upper_ascii(log_dir))


INSTALLATIONS = {
    "LaunchSetup, REG_SZ": by_command("LaunchSetup", OWN_DIR, " /u", REG_SZ),
    "launchsetup, REG_EXPAND_SZ": by_command("launchsetup", OWN_DIR, " -u /s", REG_EXPAND_SZ,
                                             "Bv_Setup.exe"),
    "LAUNCHSETUP, SETUP.EXE, Program Files dir": by_command("LAUNCHSETUP", PF_DIR, "", REG_SZ,
                                                            "SETUP.EXE"),
    "lAuNcHsEtUp, blanks and high bytes": by_command("lAuNcHsEtUp", HIGH_DIR, " /u",
                                                     REG_EXPAND_SZ),
    "Program Files route, other command, REG_SZ":
        Installation(PF_DIR, sz('"C:\\Program Files\\Brevane\\unins000.exe" /x')),
    "Program Files route, REG_EXPAND_SZ with a reference":
        Installation(PF_DIR, sz("%ProgramFiles%\\Brevane\\uninstall.exe /x", REG_EXPAND_SZ)),
}

# Program Files route: a value too long for the uninstall command route (over 260 bytes).
LONG_HEAD = f'C:\\x\\LaunchSetup "{PF_DIR}\\bv_setup.exe" /u '
EDGE_INSTALLATIONS = {
    "value with a line feed": Installation(PF_DIR, sz("C:\\x\\uninstall.exe\n/second line")),
    "value of 284 bytes, the most the stash takes":
        Installation(PF_DIR, sz(LONG_HEAD.ljust(283, "a"))),
    "value of 285 bytes, left in place": Installation(PF_DIR, sz(LONG_HEAD.ljust(284, "b"))),
    "key without UninstallString": Installation(PF_DIR, None),
}

OWN_VALUE = sz('C:\\Brevane Apps\\LaunchSetup "C:\\Brevane Apps\\New\\bv_setup.exe" /engine')


def actions(inst):
    """What the engine does during its run, by name, as engine variables."""
    new_log = {"BV_TEST_NEW_FILE": env_text(inst.files["zmf"]),
               "BV_TEST_NEW_FILE_HEX": ENGINE_LOG.hex()}
    return {
        "writes a new log": new_log,
        "writes no log": {},
        "deletes the value": dict(new_log, BV_TEST_DELETE_VALUES=VALUE),
        "writes its own value": dict(new_log, BV_TEST_SET_VALUES=(
            f"{VALUE}|{OWN_VALUE[0]}|{OWN_VALUE[1].hex()}")),
        "deletes the whole key": dict(new_log, BV_TEST_DELETE_KEY="1"),
    }


class RecordRun(ScenarioRun):
    def check(self, inst, action, engine_env):
        self.reset()
        files = {inst.files["zmf"]: ORIGINAL_LOG}
        values = {VALUE: inst.value} if inst.value else {} if inst.has_key else None
        self.plant(values, files)
        before = self.state(inst.paths)
        no_value = inst.no_value
        self.assertEqual(({inst.files["zmf"]: ORIGINAL_LOG, inst.files["z_f"]: None,
                           inst.files["dat"]: None},
                          dict({VALUE: inst.value or no_value}, **NO_JOURNAL)),
                         before, "planted as meant")

        code, boxes, (seen_files, seen_values) = self.run_scenario(inst.paths, **engine_env)
        trace = self.trace_text()
        self.assertEqual((0, []), (code, boxes), trace)
        self.assertIn("Log file (setup.zmf) found at:" + inst.found_as + "\\setup.zmf",
                      self.trace(), trace)

        # During the run: the log aside and its path journalled, the value away and its copy
        # journalled, the record written.
        self.assertEqual({inst.files["zmf"]: None, inst.files["z_f"]: ORIGINAL_LOG,
                          inst.files["dat"]: inst.record_during_run},
                         seen_files, trace)
        during = {J_LOG: sz(inst.found_as + "\\setup.zmf")}
        if inst.taken:
            during.update({VALUE: None, J_VALUE: inst.value})
        else:
            during.update({VALUE: inst.value or no_value, J_VALUE: None})
        self.assertEqual(during, seen_values, trace)

        # After it: the log's bytes and the value's type and bytes as before.
        after_files, after_values = self.state(inst.paths)
        self.assertEqual({inst.files["zmf"]: ORIGINAL_LOG, inst.files["z_f"]: None,
                          inst.files["dat"]: None}, after_files, trace)
        if action == "deletes the whole key":
            expected = NOKEY
        elif action == "writes its own value":
            expected = OWN_VALUE
        elif action == "deletes the value" and not inst.taken:
            expected = no_value
        else:
            expected = inst.value or no_value
        self.assertEqual(dict({VALUE: expected}, **NO_JOURNAL), after_values, trace)

    def check_all(self, installations, action_names=None):
        for inst_name, inst in installations.items():
            for action, engine_env in actions(inst).items():
                if action_names is None or action in action_names:
                    with self.subTest(installation=inst_name, engine=action):
                        self.check(inst, action, engine_env)

    def test_uninstall_command_route(self):
        self.check_all({k: v for k, v in INSTALLATIONS.items() if "Program Files route" not in k})

    def test_program_files_route(self):
        self.check_all({k: v for k, v in INSTALLATIONS.items() if "Program Files route" in k})

    def test_edge_values(self):
        self.check_all(EDGE_INSTALLATIONS, ("writes a new log", "writes its own value"))

    def test_no_product_key(self):
        """Only the log goes aside and comes back; no key is made up."""
        inst = Installation(PF_DIR, None, has_key=False)
        self.check_all({"no product key": inst},
                       ("writes a new log", "writes no log", "deletes the whole key"))


if __name__ == "__main__":
    winehelp.main()
