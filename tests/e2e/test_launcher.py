"""The real launcher.exe under Wine: the engine's command line, boxes and exit codes, the drain
wait, names the ANSI code page cannot spell, what is planted where anyone may write; nothing of an
earlier installation lost, whatever the engine does, with two launchers at once, after a run cut
short. Every run also checks the process enumeration of its platform (Wine.outcome)."""
import os
import re
import shutil
import time

import pytest

from wine import (ANSI, CYRILLIC, ENGINE_LOG, GUARD_TEXT, GUID, IDLE, INFO, JOURNAL, JOURNAL64, KEY,
                  LAUNCHER, NOKEY, ORIGINAL_LOG, PKG, RECORD, REG_EXPAND_SZ, REG_SZ, ROUTES, TAG,
                  TEMP, TRACE, VALUE, X86_INFO, Installation, act, by_command, record_of, sz,
                  wait_until)

BEGIN, END, NO_GUID = "Begin: WinMain().", "End: WinMain().", "Error reading GUID from DATA.TAG"
NO_RUN = "Could not run BV_SETUP.EXE"
MARK, RELEASE, ACTED, DONE = (TEMP + "\\" + name for name in ("mark", "release", "acted", "done"))
EVERY_KIND = pytest.mark.on("win32", "win64", "nt40", "win98")


@pytest.mark.parametrize("args, command", [
    (("LOG",), "SAS LOG"), ((), "SAS "), (("CATALOG",), "SAS CATALOG"),  # LOG in a word traces
    (('say "x"', "b c", "log"), 'SAS "say \\"x\\"" "b c" log'),  # lower-case log does not
])
def test_engine_command_line(pkg, args, command):
    assert pkg.run(*args, engine=["exit:3"]) == (3, []), "the engine's exit code passed on"
    record = pkg.record()
    assert (record["cmdline"], record["show"]) == (PKG + "\\bv_setup.exe " + command, "0")
    if "LOG" in "".join(args):
        lines = pkg.trace()
        assert (lines[0], lines[-1]) == (BEGIN, END) and "GUID=" + GUID in lines
    else:
        assert pkg.read(TRACE) is None


@pytest.mark.parametrize("unattended", [pytest.param(False, marks=EVERY_KIND, id="interactive"),
                                        pytest.param(True, id="unattended")])
@pytest.mark.parametrize("case, code, text", [  # what is arranged, the exit code, the box
    ("engine running", 1, GUARD_TEXT), ("no data.tag", 1, "Cannot find DATA.TAG"),
    ("no engine", 1, NO_RUN)], ids=["engine running", "no data.tag", "no engine"])
def test_box_exit_code_and_course(pkg, case, code, text, unattended):
    """Unattended: started (by an IDLE engine as a starter) on a window station without
    WSF_VISIBLE, as a service's is; no box, the same exit code and course, the text traced."""
    running = pkg.start_engine("sleep:6000") if case == "engine running" else None
    if not running:
        pkg.remove(TAG if case == "no data.tag" else PKG + "\\bv_setup.exe")
    starter = [act("desktop", "Unattended\\Default", f'"{LAUNCHER}" LOG')] * unattended
    assert pkg.run("LOG", exe=IDLE if unattended else LAUNCHER, engine=starter) == (
        code, [] if unattended else [text])
    assert pkg.calls, "the relay trace covers the launcher, also when a starter starts it"
    shown = ["Box not shown, no interactive window station: " + text] * unattended
    lines = pkg.trace()
    if running:
        assert running.poll() is None, "the running engine is undisturbed"
        assert lines == [BEGIN, *shown] and running.wait(timeout=60) == 0
    else:
        # No engine is no stop: the run goes on to put back what it set aside, and ends.
        last = END if case == "no engine" else text + " - aborting"
        assert set(shown) <= set(lines) and lines[-1] == last


def started(pkg, *engine):
    """A run whose starter (IDLE) reads the exit code whole, as a shell under Wine cannot."""
    _, boxes = pkg.run(exe=IDLE, engine=[act("desktop", "", f'"{LAUNCHER}" LOG'), *engine])
    return int(pkg.record()["exit"]), boxes


@pytest.mark.on("win32", "win64")
@pytest.mark.parametrize("engine, code, boxes", [
    *(pytest.param(f"exit:{c}", c, [], id=f"{c:#x}") for c in (
        0, 3010, 1603, 259, 0xC0000005, 0xFFFFFFFF)),
    pytest.param(None, 1, [NO_RUN], id="no engine"),
    pytest.param(b"no program at all\r\n", 1, [NO_RUN], id="not a program")])
def test_exit_code_as_its_caller_reads_it(pkg, engine, code, boxes):
    if not isinstance(engine, str):
        pkg.remove(PKG + "\\bv_setup.exe")
        if engine:
            pkg.write(PKG + "\\bv_setup.exe", engine)
    assert started(pkg, *([engine] if isinstance(engine, str) else [])) == (code, boxes)
    assert pkg.trace()[-1] == END


@EVERY_KIND
def test_engine_inherits_no_handle_and_its_copy_is_waited_for(pkg):
    """An earlier installation (its stash record is written during the run); the engine's copy
    outlives it by 2 s and writes its own setup log last: the original must win."""
    inst = by_command("LaunchSetup", INFO + GUID, " /u")
    pkg.install(inst.state())
    engine = ["handles", "spawn", "sleep:2000", act("write", inst.zmf, ENGINE_LOG),
              act("write", MARK, "")]
    assert pkg.run("LOG", engine=engine) == (0, [])
    assert pkg.tool("handles")["handles"] == pkg.record()["handles"]
    assert pkg.read(MARK) is not None, "the launcher ended before the engine's copy"
    assert pkg.look(inst.items) == inst.state(), "put back before the copy wrote its log"
    lines = pkg.trace()
    assert lines[-1] == END
    rounds = [line for line in lines if line.startswith("Waiting for bv_setup.exe")]
    assert len(rounds) == 2, "one scan finds the copy, one wait on its handle, one scan none"
    assert ROUTES & {f for _, f, _ in pkg.calls}, "processes enumerated"
    assert pkg.psapi or pkg.kind != "nt40", "psapi.dll loaded on NT 4"


@pytest.mark.on("win32", "win64")
def test_package_and_temp_folders_named_in_cyrillic(pkg):
    """Both reached by their short (8.3) names, which Wine makes up as Windows does."""
    shutil.copytree(pkg.host(PKG), pkg.host(CYRILLIC + "\\Пакет"))
    pkg.set_temp(CYRILLIC + "\\Временные")
    assert pkg.run("LOG", exe=CYRILLIC + "\\Пакет\\launcher.exe") == (0, [])
    lines = pkg.trace(CYRILLIC + "\\Временные\\launcher.log")
    short = lines[2].partition("Launcher path=")[2].rpartition("\\")[0]
    assert re.fullmatch(r"C:\\[!-~]+~[!-~]+\\[!-~]+~[!-~]+", short), "an ASCII short name"
    assert "Data.tag path/name=" + short + "\\data.tag" in lines and lines[-1] == END
    assert pkg.record()["cmdline"] == short + "\\bv_setup.exe SAS LOG"


# Wine has no KnownDLLs: a DLL named native-first is loaded from the application's folder when
# it lies there, as any DLL that is not a KnownDLL on Windows.
PLANTED = ("user32", "version", "uxtheme", "imm32", "gdi32", "dwmapi", "cryptbase", "psapi")
PRECIOUS, ESCAPE = "C:\\precious.txt", "C:\\escape\\{}\\setup.zmf"


@pytest.mark.on("win32", "nt40")  # the defences run on NT 4 too
def test_what_is_planted_in_its_folder_or_temp_is_not_used(pkg, request):
    """DLLs beside the launcher under system DLLs' names; a hard link as its trace log to a file
    only the administrator may write, before the run and while the engine runs; a ProjectGUID
    that climbs out of its folder to another product's setup log."""
    for name in PLANTED:
        shutil.copy(request.config.getoption("--planted"), pkg.host(f"{PKG}\\{name}.dll"))
    env = {"WINEDLLOVERRIDES": "mscoree,mshtml=;" + ",".join(PLANTED) + "=n,b",
           "WINEDEBUG": "+pid,+relay,+loaddll"}
    for path in PRECIOUS, ESCAPE:
        pkg.write(path, path.encode())
    os.link(pkg.host(PRECIOUS), pkg.host(TRACE))
    pkg.write(TAG, b"[TagInfo]\r\nProjectGUID=x}\\..\\..\\..\\escape\\{\r\n")
    assert pkg.run("LOG", **env) == (1, [NO_GUID]), "the real user32 showed the box"
    assert pkg.loaded == {(True, "launcher.exe")}
    assert pkg.trace()[-1] == NO_GUID + " - aborting"
    assert os.listdir(pkg.host(ESCAPE.rpartition("\\")[0])) == ["setup.zmf"]
    # A whole run, whose engine loads one of the DLLs by its bare name (so they do load where
    # nothing restricts the search) and plants the link while the trace log is closed.
    pkg.write(TAG, b"[TagInfo]\r\nProjectGUID=E2E-GUID\r\n")
    assert pkg.run("LOG", engine=["load:version.dll", act("link", TRACE, PRECIOUS)], **env) == (
        0, ["Could not re-open logfile for append - logging terminated"])
    assert pkg.loaded == {(True, "launcher.exe"), (False, "bv_setup.exe"), (False, "version.dll")}
    assert os.stat(pkg.host(TRACE)).st_nlink == 2, "the engine planted the link"
    assert [pkg.read(path) for path in (PRECIOUS, ESCAPE)] == [PRECIOUS.encode(), ESCAPE.encode()]


@pytest.mark.on("win32", "win64")
@pytest.mark.parametrize("linked", ["trace log", "TEMP"])
def test_trace_log_only_where_temp_really_lies(pkg, linked):
    """A launcher.log that is a symbolic link to another file leaves that file untouched and the
    run untraced; a TEMP that is a link to another folder gets its trace log there."""
    real = "C:\\escape\\real temp"
    pkg.write(PRECIOUS, b"precious")
    os.makedirs(pkg.host(real))
    if linked == "TEMP":
        pkg.remove(TEMP)
    os.symlink(pkg.host(PRECIOUS if linked == "trace log" else real), pkg.host(
        TRACE if linked == "trace log" else TEMP))
    assert pkg.run("LOG") == (0, [])
    assert pkg.read(PRECIOUS) == b"precious" and os.path.islink(pkg.host(TRACE)) == (
        linked == "trace log")
    assert linked == "trace log" or pkg.trace(real + "\\launcher.log")[-1] == END


PF_DIR, OWN_DIR = INFO + GUID, "C:\\Brevane Apps\\Info\\" + GUID  # OWN: named by commands only
HIGH_DIR = "C:\\Pr\u00fcf Ordner\\Info \u00e9 " + GUID  # blanks and bytes from 0x80 up
NEWER_LOG = b"log of the interrupted run's engine\r\n"
OWN = by_command("LaunchSetup", OWN_DIR, " /u", REG_EXPAND_SZ)
SLASHED = by_command("LaunchSetup", OWN_DIR.replace("\\", "/"), " /u", sep="/")  # as Windows takes
PF = Installation(PF_DIR, sz("%ProgramFiles%\\Brevane\\unins000.exe /x", REG_EXPAND_SZ))
INSTALLATIONS = {
    "LaunchSetup, REG_SZ": by_command("LaunchSetup", OWN_DIR, " /u"),
    "lAuNcHsEtUp, REG_EXPAND_SZ, blanks and high bytes": by_command(
        "lAuNcHsEtUp", HIGH_DIR, " -u /s", REG_EXPAND_SZ, "Bv_Setup.exe"),
    "LAUNCHSETUP to Program Files": by_command("LAUNCHSETUP", PF_DIR, "", program="SETUP.EXE"),
    "Program Files, REG_EXPAND_SZ": PF,
    # The stash record through the runtime's text stream.
    "Program Files, a line feed": Installation(PF_DIR, sz("C:\\x\\uninstall.exe\n/second line")),
    "no product key": Installation(PF_DIR, NOKEY),
    "a command with slashes": SLASHED,
}
X86 = {  # under WoW64: the registry's 32-bit view, ProgramFilesDir C:\Program Files (x86)
    "uninstall command": by_command("LaunchSetup", OWN_DIR, " /u"),
    "Program Files (x86)": Installation(X86_INFO + GUID, sz("C:\\Brevane\\unins000.exe /x")),
    "Program Files (x86), no product key": Installation(X86_INFO + GUID, NOKEY),
    "uninstall command with slashes": SLASHED,
}


def grid(installations, *marks):  # as planted; the engine writes a new log
    for key, inst in installations.items():
        engine = [act("write", inst.zmf, ENGINE_LOG)]
        yield pytest.param(inst, inst.state(), engine, ..., ..., id=key, marks=marks)


def no_copy(name, text):
    """A journal without a copy of the value: the stash record is it, read back through the
    runtime's text stream, coming back as REG_SZ."""
    planted = PF.aside(zmf=NEWER_LOG, dat=record_of((REG_SZ, text)), j_value=None)
    value = (REG_SZ, text)
    return pytest.param(PF, planted, [act("write", PF.zmf, ENGINE_LOG)], value, value,
                        id="no copy, " + name)


# The host sweeps run every installation with every engine and every step a run may be cut
# short at; Wine runs what only it can judge: real registry types and bytes, real files, the
# runtime's text stream, WoW64's view.
CASES = [
    *grid(INSTALLATIONS), *grid(X86, pytest.mark.on("win64")),
    no_copy("line feed", b"C:\\u.exe\n/2\0"),
    no_copy("high bytes", "C:\\Pr\u00fcf\\u.exe\0".encode(ANSI)),
]


@pytest.mark.parametrize("inst, planted, engine, held, after", CASES)
def test_installation_comes_through(pkg, inst, planted, engine, held, after):
    pkg.install(planted)
    comes_through(pkg, inst, engine, held, after)


def comes_through(pkg, inst, engine, held, after):
    """A traced run whose engine does what engine lists: the installation, its key holding held
    (...: as planted), is aside during it and back after it, the value after; a gone key stays."""
    assert pkg.run("LOG", engine=[*(act("see", i) for i in inst.items), *engine]) == (0, [])
    if held is not NOKEY:  # not removed by the engine of a cut run
        assert pkg.look(inst.items, pkg.record()) == inst.aside(held)
        assert "Log file (setup.zmf) found at:" + inst.found_zmf in pkg.trace()
    assert pkg.look(inst.items) == inst.state(value=after), "\n".join(pkg.trace())


@pytest.mark.on("win64")
@pytest.mark.parametrize("inst", [
    by_command("LaunchSetup", OWN_DIR, " /u", REG_EXPAND_SZ, journal=JOURNAL64),
    Installation(PF_DIR, sz("C:\\Brevane\\unins000.exe /x"), journal=JOURNAL64),
], ids=["uninstall command", "Program Files"])
def test_a_64_bit_engine_has_its_installation_in_the_64_bit_view(pkg, inst):
    """A real 64-bit engine over an earlier installation in the registry's 64-bit view (and, by
    its ProgramFilesDir, under C:\\Program Files): aside while it runs, back byte for byte."""
    engine64 = pkg.engine64
    pkg.write(PKG + "\\bv_setup.exe", open(engine64, "rb").read())
    pkg.install(inst.state(), tool=engine64)
    view = JOURNAL64 + "\\UninstallKeyView"
    see = [act("see", i) for i in (*inst.items, view)]
    assert pkg.run("LOG", engine=[*see, act("write", inst.zmf, ENGINE_LOG)]) == (0, [])
    record = pkg.look((*inst.items, view), pkg.record())
    assert record == {**inst.aside(), view: (4, b"\x40\0\0\0")}, "aside, in the 64-bit view"
    assert pkg.look(inst.items, tool=engine64) == inst.state()
    assert {"engine_view=64-bit", "Log file (setup.zmf) found at:" + inst.found_zmf} <= set(
        pkg.trace())


CHANGED = ("The files of this Setup package were changed or damaged.  Please get the package "
           "again.")


@pytest.mark.on("win32", "win64")
@pytest.mark.parametrize("replaced", [False, True], ids=["as stamped", "replaced"])
def test_a_stamped_launcher_starts_only_the_engine_it_was_stamped_for(pkg, replaced):
    """Stamped for the package's engine; then that engine replaced by another program, which
    must never run: the box, exit code 1, and nothing of the earlier installation set aside."""
    engine = pkg.read(PKG + "\\bv_setup.exe")
    pkg.stamp(engine)
    if replaced:
        pkg.write(PKG + "\\bv_setup.exe", engine + b"another program")
    pkg.install(OWN.state())
    assert pkg.run("LOG", engine=["exit:7"]) == ((1, [CHANGED]) if replaced else (7, []))
    assert (pkg.read(RECORD) is None) == replaced, "the replacement never ran"
    assert ("Engine not as stamped: its SHA-256 is another" if replaced else
            "Engine verified: its SHA-256 is the one stamped") in pkg.trace()
    assert pkg.look(OWN.items) == OWN.state()


@pytest.mark.on("win32", "win64")
def test_the_engine_cannot_be_written_while_the_launcher_checks_it(pkg):
    """A large stamped engine keeps the launcher hashing for a while: another process that opens
    it for writing meanwhile gets a sharing violation (32)."""
    engine = pkg.read(PKG + "\\bv_setup.exe") + bytes(200 << 20)  # still a program
    pkg.write(PKG + "\\bv_setup.exe", engine)
    pkg.stamp(engine)
    launcher = pkg.run("LOG", wait=False)
    fds = f"/proc/{launcher.pid}/fd"
    held = os.path.realpath(pkg.host(PKG + "\\bv_setup.exe"))

    def holds():
        try:
            return any(os.path.realpath(os.path.join(fds, fd)) == held for fd in os.listdir(fds))
        except OSError:  # the process ended, or an fd went meanwhile
            return launcher.poll() is not None
    wait_until(holds, "the launcher never opened its engine")
    assert pkg.tool(act("writable", PKG + "\\bv_setup.exe"))["writable"] == "32"
    assert pkg.outcome(launcher) == (0, []) and "Engine verified" in " ".join(pkg.trace())


@pytest.mark.on("win32", "win64")
def test_an_engine_that_rewrites_its_folder_keeps_its_log(pkg):
    """The engine deletes the backup log with the rest of its folder and writes its own log: no
    backup is there to put back, so its log stays, and the run ends with the engine's code."""
    pkg.install(OWN.state())
    engine = [act("del", OWN.z_f), act("write", OWN.zmf, ENGINE_LOG), "exit:3010"]
    assert started(pkg, *engine) == (3010, [])
    assert pkg.look(OWN.items) == OWN.state(zmf=ENGINE_LOG)
    assert "Backup log gone: the setup log there stays" in pkg.trace()


def wide_value(pkg):  # UninstallString as the wide call reads it: type, UTF-16 bytes
    type_, _, data = pkg.tool(act("wsee", VALUE))[VALUE].rpartition(":")
    return int(type_), bytes.fromhex(data)


@pytest.mark.on("win32", "win64")
@pytest.mark.parametrize("killed", [False, True], ids=["run", "killed, then a run"])
@pytest.mark.parametrize("folder", [OWN_DIR, CYRILLIC + "\\Info\\" + GUID],
                         ids=["plain folder", "Cyrillic folder"])
def test_names_outside_the_code_page_come_through_byte_for_byte(pkg, folder, killed):
    """A Cyrillic product name, Western prefix: back byte for byte, also after a killed run."""
    command = f'C:\\Brevane Apps\\LaunchSetup "{folder}\\bv_setup.exe" /u Программа'
    value = (REG_EXPAND_SZ, command.encode("utf-16-le") + b"\0\0")
    zmf, z_f = folder + "\\setup.zmf", folder + "\\setup.z_f"
    pkg.write(zmf, ORIGINAL_LOG)
    pkg.tool(act("delkey", KEY), act("delkey", JOURNAL), act("wset", VALUE, *value))
    assert wide_value(pkg) == value, "planted as meant"
    launcher = pkg.run("LOG", wait=False, engine=[
        act("write", ACTED, ""), act("wait", RELEASE), act("write", DONE, "")])
    wait_until(lambda: pkg.read(ACTED) is not None, "the engine never ran")
    assert (pkg.read(zmf), pkg.read(z_f)) == (None, ORIGINAL_LOG), "set aside"
    if killed:  # the wine process is the Windows process: killed at once
        launcher.kill() or launcher.wait(timeout=60)
    pkg.write(RELEASE, b"")
    if killed:
        wait_until(lambda: pkg.read(DONE) is not None, "the engine never ended")
        assert pkg.run("LOG") == (0, [])
    else:
        assert pkg.outcome(launcher) == (0, [])
    assert (pkg.read(zmf), pkg.read(z_f)) == (ORIGINAL_LOG, None)
    assert wide_value(pkg) == value


@pytest.mark.parametrize("planted, in_the_way, box, stays", [
    (PF.aside(), PF.zmf, "Could not put back what an interrupted Setup set aside",
     PF.aside(value=PF.value)),
    (PF.state(), PF.z_f, "Could not set the earlier installation aside", PF.state()),
], ids=["a newer log that cannot be removed", "a stale backup log that cannot be removed"])
def test_what_cannot_be_put_back_or_set_aside_stops_the_run(pkg, planted, in_the_way, box, stays):
    """A folder in the way of a file that must go; what stays is left for a later run."""
    pkg.install(planted)
    os.makedirs(pkg.host(in_the_way + "\\sub"))
    assert pkg.run("LOG") == (1, [box]) and pkg.trace()[-1] == box + " - aborting"
    assert pkg.read(RECORD) is None, "no engine was started"
    assert pkg.look(PF.items) == stays


@pytest.mark.on("win32", "nt40")
@pytest.mark.parametrize("second", [0, 0.03, 0.15, "once the engine runs"])
def test_two_launchers_at_once(pkg, second):
    """The engine waits until the refused launcher has ended, so the runs overlap whatever the
    timing. On NT 4 psapi.dll is off: the guard enumerates nothing, the run lock keeps one out."""
    env = {"WINEDLLOVERRIDES": "mscoree,mshtml=;psapi=d"} if pkg.kind == "nt40" else {}
    pkg.install(OWN.state())
    engine, launchers = [act("write", OWN.zmf, ENGINE_LOG), act("wait", RELEASE)], []
    for _ in range(2):
        launchers.append(pkg.run("LOG", engine=engine, wait=False, **env))
        if second == "once the engine runs":
            wait_until(lambda: pkg.read(RECORD), "the first engine never ran")
        else:
            time.sleep(second)
    wait_until(lambda: any(l.poll() is not None for l in launchers), "neither ended")
    pkg.write(RELEASE, b"")
    outcomes = [(pkg.outcome(l), {f for _, f, _ in pkg.calls}) for l in launchers]
    assert sorted(o for o, _ in outcomes) == [(0, []), (1, [GUARD_TEXT])]
    assert not env or all("EnumProcesses" not in calls for _, calls in outcomes), "not blind"
    assert pkg.read(RECORD).count(b"cmdline=") == 1, "engines started"
    lines = pkg.trace()
    assert (lines[0], lines[-1], lines.count(lines[0])) == (BEGIN, END, 1)
    assert pkg.look(OWN.items) == OWN.state()


@pytest.mark.on("win32", "nt40")
def test_a_squatter_on_the_run_lock_name_lets_no_launcher_run(pkg):
    """An event of the run lock's name, which any process may make (Wine has no private
    namespaces, as Windows before Vista): two launchers started together both refuse."""
    name = ("" if pkg.kind == "nt40" else "Global\\") + "Brevane.SetupLauncher.RunLock"
    pkg.install(OWN.state())
    pkg.write("C:\\escape\\squatter.exe", pkg.read(PKG + "\\bv_setup.exe"))  # not an engine
    squatter = pkg.start_engine(act("event", name), "sleep:600000", image="C:\\escape\\squatter.exe")
    wait_until(lambda: "event" in pkg.record("C:\\up"), "no squatter")
    assert pkg.record("C:\\up")["event"] == "made"
    launchers = [pkg.run("LOG", wait=False) for _ in range(2)]
    assert [pkg.outcome(launcher) for launcher in launchers] == [(1, [GUARD_TEXT])] * 2
    squatter.kill()
    assert pkg.read(RECORD) is None and pkg.look(OWN.items) == OWN.state()


@pytest.mark.parametrize("awaited, seconds", [(TRACE, 0), (TRACE, 0.005), (ACTED, 0),
                                              ("Waiting for bv_setup.exe", 0)],
                         ids=["as its trace log appears", "5 ms after", "its engine running",
                              "waiting for its engine's copy"])
def test_killed_runs_are_put_back_by_the_next(pkg, awaited, seconds):
    """The launcher killed once what is awaited shows, and seconds after. Where the moment is
    known, the killed run has left its journal and everything aside."""
    pkg.install(OWN.state())
    copy = ["spawn"] if awaited.startswith("Waiting") else []
    launcher = pkg.run("LOG", wait=False, engine=[
        act("write", OWN.zmf, NEWER_LOG), act("write", ACTED, ""), *copy, act("wait", RELEASE),
        act("write", DONE, "")])
    try:
        wait_until(lambda: pkg.read(awaited) is not None if awaited.startswith("C:")
                   else awaited.encode() in (pkg.read(TRACE) or b""), f"no {awaited}")
        time.sleep(seconds)
    finally:
        launcher.kill()  # the wine process is the Windows process: killed at once
        launcher.wait(timeout=60)
    if awaited == TRACE:
        # A kill inside CreateProcess leaves Wine a process that never starts, which the
        # launcher's guard sees until the server ends.
        pkg.stop(keep_alive=True)
    else:
        pkg.write(RELEASE, b"")
        wait_until(lambda: pkg.read(DONE) is not None, "the engine never ended")
        assert pkg.look(OWN.items) == OWN.aside(zmf=NEWER_LOG), "left aside"
    comes_through(pkg, OWN, [act("write", OWN.zmf, ENGINE_LOG)], OWN.value, OWN.value)
